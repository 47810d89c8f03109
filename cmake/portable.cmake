# The shipped library: libstdc++ and libgcc inside it, only the intended symbols exported, the
# entry point also under the generic name a renamed file falls back to, and (glibc x86-64 and
# aarch64) the oldest versions of the few C library symbols that have newer ones.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Sanitizer builds bind to the current versions: the runtimes intercept those, not the old
  # __fxstat (whose answer ThreadSanitizer's interceptor garbles).
  if(NOT VORNEL_SANITIZE AND NOT VORNEL_TSAN)
    target_sources(vornel PRIVATE "${CMAKE_SOURCE_DIR}/cmake/glibc_floor.c")
    set_source_files_properties("${CMAKE_SOURCE_DIR}/cmake/glibc_floor.c" PROPERTIES COMPILE_OPTIONS "-fno-builtin")
  endif()
  set_target_properties(vornel PROPERTIES LINK_DEPENDS "${CMAKE_SOURCE_DIR}/cmake/vornel.map")
  target_link_options(vornel PRIVATE -Wl,--version-script=${CMAKE_SOURCE_DIR}/cmake/vornel.map
                      -Wl,--defsym=sqlite3_extension_init=sqlite3_vornel_init)
  # Sanitizer builds load into a sanitised host and keep the runtimes it shares with them.
  if(NOT VORNEL_SANITIZE AND NOT VORNEL_TSAN)
    target_link_options(vornel PRIVATE -static-libstdc++ -static-libgcc)
  endif()
elseif(WIN32)
  # vornel.dll and sqlite3.exe carry their runtimes: no MinGW DLL has to travel with them. The
  # .def file names the exports (ELF visibility attributes mean nothing to the PE linker).
  set_target_properties(vornel PROPERTIES PREFIX "" SUFFIX ".dll")
  target_sources(vornel PRIVATE "${CMAKE_SOURCE_DIR}/cmake/vornel.def")
  target_link_options(vornel PRIVATE -static -static-libstdc++ -static-libgcc)
  target_compile_options(vornel_objs PRIVATE -Wno-attributes)
  set_target_properties(sqlite_host PROPERTIES LINK_LIBRARIES "" INTERFACE_LINK_LIBRARIES "")
  target_link_options(sqlite3_shell PRIVATE -static -municode) # the shell enters at wmain
endif()
