# Front door over CMake. `make` builds the extension and the pinned shell; `make test` builds
# and runs every test; `make demo` runs the main job on the bundled example database.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
PREFIX ?= /usr/local

.PHONY: all configure test test-asan test-tsan demo bench clean format format-check install dist fuzz \
        deps-clients plot cross wheel npm check-dist scale-out

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Reuses the amalgamation that the normal build fetched, when there is one.
test-asan:
	cmake -S . -B $(ASAN_BUILD) -DVORNEL_SANITIZE=ON -DVORNEL_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug \
	  $$([ -f $(BUILD)/sqlite-dir.txt ] && echo -DVORNEL_SQLITE_DIR=$$(cat $(BUILD)/sqlite-dir.txt)) $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer over the concurrency tests.
TSAN_BUILD ?= build-tsan
test-tsan:
	cmake -S . -B $(TSAN_BUILD) -DVORNEL_TSAN=ON -DVORNEL_BENCH=OFF \
	  $$([ -f $(BUILD)/sqlite-dir.txt ] && echo -DVORNEL_SQLITE_DIR=$$(cat $(BUILD)/sqlite-dir.txt)) $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target test_concurrency
	cd $(TSAN_BUILD) && ctest --output-on-failure -R '^concurrency$$'

demo: all
	sh examples/demo.sh $(BUILD)

bench: all
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done

# Node.js client for the client tests: better-sqlite3 12 (it builds from source on Node 20).
deps-clients:
	@[ -d .deps/node/node_modules/better-sqlite3 ] || \
	  (mkdir -p .deps/node && npm install --silent --no-audit --no-fund --prefix .deps/node better-sqlite3@12)
	@[ ! -f $(BUILD)/CMakeCache.txt ] || cmake $(BUILD) > /dev/null

FUZZ_SECONDS ?= 10
fuzz: all
	sh tests/fuzz/run.sh $(FUZZ_SECONDS) "$$(cat $(BUILD)/sqlite-dir.txt)"

plot: all
	python3 examples/plot.py $(BUILD) docs/img

VERSION_TEXT := $(shell cat VERSION)
install: all
	install -D -m 644 $(BUILD)/vornel.so $(DESTDIR)$(PREFIX)/lib/vornel/vornel.so
	install -d $(DESTDIR)$(PREFIX)/share/doc/vornel
	install -m 644 README.md docs/*.md $(DESTDIR)$(PREFIX)/share/doc/vornel/

# What ships: per-platform archives, wheels and the npm package in $(DIST), with SHA256SUMS.
# The aarch64 and Windows libraries and pinned shells are cross-built (Debian's
# g++-aarch64-linux-gnu and mingw-w64); check-dist tests the exact files under qemu-user and wine.
DIST ?= $(BUILD)/dist
A64_BUILD ?= build-aarch64-linux
WIN_BUILD ?= build-win64
CROSS_ARGS = -DVORNEL_TESTS=OFF -DVORNEL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  $$([ -f $(BUILD)/sqlite-dir.txt ] && echo -DVORNEL_SQLITE_DIR=$$(cat $(BUILD)/sqlite-dir.txt))

cross: all
	[ -f $(A64_BUILD)/CMakeCache.txt ] || \
	  cmake -S . -B $(A64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-aarch64-linux.cmake $(CROSS_ARGS)
	cmake --build $(A64_BUILD) -j $(JOBS)
	[ -f $(WIN_BUILD)/CMakeCache.txt ] || \
	  cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-win64.cmake $(CROSS_ARGS)
	cmake --build $(WIN_BUILD) -j $(JOBS)

wheel: all
	/usr/bin/python3 packaging/make_wheel.py $(BUILD)/vornel.so manylinux_2_28_x86_64 $(VERSION_TEXT) $(DIST)

# The npm package holds every library built so far (make cross adds aarch64 and Windows).
npm: all
	sh packaging/make_npm.sh $(DIST) $(VERSION_TEXT) linux-x64=$(BUILD)/vornel.so \
	  $$([ -f $(A64_BUILD)/vornel.so ] && echo linux-arm64=$(A64_BUILD)/vornel.so) \
	  $$([ -f $(WIN_BUILD)/vornel.dll ] && echo win32-x64=$(WIN_BUILD)/vornel.dll)

dist: all cross
	sh packaging/make_dist.sh $(DIST) $(BUILD) $(A64_BUILD) $(WIN_BUILD)

check-dist: dist
	sh packaging/check_dist.sh $(DIST) $(BUILD) $(A64_BUILD) $(WIN_BUILD)

# Forecast and backtest a sharded panel on a local dask.distributed cluster (Debian's
# python3-distributed); SCALE_ARGS=--series 20000 --days 365 is the full-size run.
SCALE_ARGS ?= --series 2000 --days 365
scale-out: wheel
	sh examples/scale-out/run.sh $(DIST)/vornel-*-manylinux_2_28_x86_64.whl $(BUILD)/scale-out $(SCALE_ARGS)

# The style is .clang-format; `make format` rewrites, `make format-check` (run by CI) only checks.
FORMAT_FILES = $$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')
format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(A64_BUILD) $(WIN_BUILD)
