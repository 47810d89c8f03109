# Front door over CMake. `make` builds the extension and the pinned shell; `make test` builds
# and runs every test; `make demo` runs the main job on the bundled example database.
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
PREFIX ?= /usr/local

.PHONY: all configure test test-asan test-tsan demo bench clean format format-check install dist fuzz deps-clients plot

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

dist: all
	rm -rf $(BUILD)/dist && mkdir -p $(BUILD)/dist/vornel-$(VERSION_TEXT)
	cp -r $(BUILD)/vornel.so README.md VERSION docs examples $(BUILD)/dist/vornel-$(VERSION_TEXT)/
	rm -f $(BUILD)/dist/vornel-$(VERSION_TEXT)/examples/example.db
	tar -C $(BUILD)/dist -czf $(BUILD)/vornel-$(VERSION_TEXT).tar.gz vornel-$(VERSION_TEXT)
	@echo "$(BUILD)/vornel-$(VERSION_TEXT).tar.gz"

# The style is .clang-format; `make format` rewrites, `make format-check` (run by CI) only checks.
FORMAT_FILES = $$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')
format:
	clang-format -i $(FORMAT_FILES)

format-check:
	clang-format --dry-run --Werror $(FORMAT_FILES)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
