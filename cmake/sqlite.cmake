# Locates the pinned SQLite 3.52.0 amalgamation: either a local folder given with
# -DVORNEL_SQLITE_DIR=... (offline builds), or the archive bundled in the npm package
# sqlite3@6.0.1, fetched with `npm pack` into the build folder and verified by SHA-256.
set(VORNEL_NPM_PACKAGE "sqlite3@6.0.1")
set(VORNEL_NPM_TGZ "sqlite3-6.0.1.tgz")
set(VORNEL_NPM_SHA256 "ab8d044a93e05bd031d7ea75547c7fa60387cdc259d27f93c0e3e2832c4b1df9")
set(VORNEL_AMALG_TGZ "sqlite-autoconf-3520000.tar.gz")
set(VORNEL_AMALG_SHA256 "f6b50b0c103392af32a8be15b2b9d25959de9a00a70c3979128aafeaa5338b3f")

set(VORNEL_SQLITE_DIR "" CACHE PATH "Folder holding sqlite3.c, sqlite3.h, sqlite3ext.h and shell.c (skips the download)")

function(vornel_check_amalgamation dir)
  foreach(f sqlite3.c sqlite3.h sqlite3ext.h shell.c)
    if(NOT EXISTS "${dir}/${f}")
      message(FATAL_ERROR "SQLite amalgamation folder ${dir} lacks ${f}")
    endif()
  endforeach()
endfunction()

function(vornel_verify file expected)
  file(SHA256 "${file}" actual)
  if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "SHA-256 mismatch for ${file}: expected ${expected}, got ${actual}. "
                        "Delete it and configure again, or pass -DVORNEL_SQLITE_DIR=<folder>.")
  endif()
endfunction()

if(VORNEL_SQLITE_DIR)
  vornel_check_amalgamation("${VORNEL_SQLITE_DIR}")
  set(SQLITE_SRC_DIR "${VORNEL_SQLITE_DIR}")
else()
  set(cache "${CMAKE_BINARY_DIR}/_deps")
  set(SQLITE_SRC_DIR "${cache}/sqlite-autoconf-3520000")
  if(NOT EXISTS "${SQLITE_SRC_DIR}/sqlite3.c")
    file(MAKE_DIRECTORY "${cache}")
    if(NOT EXISTS "${cache}/${VORNEL_NPM_TGZ}")
      find_program(NPM npm)
      if(NOT NPM)
        message(FATAL_ERROR "The SQLite 3.52.0 amalgamation is needed: install npm (it fetches "
                            "${VORNEL_NPM_PACKAGE}) or pass -DVORNEL_SQLITE_DIR=<folder with sqlite3.c>.")
      endif()
      execute_process(COMMAND "${NPM}" pack ${VORNEL_NPM_PACKAGE} --silent
                      WORKING_DIRECTORY "${cache}" RESULT_VARIABLE rc OUTPUT_QUIET)
      if(NOT rc EQUAL 0 OR NOT EXISTS "${cache}/${VORNEL_NPM_TGZ}")
        message(FATAL_ERROR "npm pack ${VORNEL_NPM_PACKAGE} failed (${rc}); without network pass "
                            "-DVORNEL_SQLITE_DIR=<folder with sqlite3.c>.")
      endif()
    endif()
    vornel_verify("${cache}/${VORNEL_NPM_TGZ}" ${VORNEL_NPM_SHA256})
    file(ARCHIVE_EXTRACT INPUT "${cache}/${VORNEL_NPM_TGZ}" DESTINATION "${cache}/npm"
         PATTERNS "package/deps/${VORNEL_AMALG_TGZ}")
    set(inner "${cache}/npm/package/deps/${VORNEL_AMALG_TGZ}")
    vornel_verify("${inner}" ${VORNEL_AMALG_SHA256})
    file(ARCHIVE_EXTRACT INPUT "${inner}" DESTINATION "${cache}")
  endif()
  vornel_check_amalgamation("${SQLITE_SRC_DIR}")
endif()
message(STATUS "SQLite amalgamation: ${SQLITE_SRC_DIR}")
file(WRITE "${CMAKE_BINARY_DIR}/sqlite-dir.txt" "${SQLITE_SRC_DIR}")
