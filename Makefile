# Front door over CMake. `make` builds the extension and the pinned shell; `make test` builds
# and runs every test; `make demo` runs the main job on the bundled example database.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
PREFIX ?= /usr/local

.PHONY: all configure test test-asan demo bench clean format

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan:
	cmake -S . -B $(ASAN_BUILD) -DVORNEL_SANITIZE=ON -DVORNEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

demo: all
	sh examples/demo.sh $(BUILD)

bench: all
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

format:
	clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp')

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
