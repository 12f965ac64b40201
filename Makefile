# Set-up, build, tests and demo of xv4tool. Every target installs what is missing first.
BUILD      ?= build
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

# Compiler cache entries are shared between checkouts in other directories (a fresh clone
# builds from the cache of the last one).
export CCACHE_BASEDIR   := $(CURDIR)
export CCACHE_NOHASHDIR := 1

.PHONY: all deps build run test test-asan test-tsan fuzz bench screenshots format check-format clean

all: build

deps:
	@./scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# Builds only the programs it runs and starts the printer simulator on 127.0.0.1 with the window
# against it (xv4tool, xv4sim; xv4ctl too, for the README's examples); without a display, xv4ctl's
# operations against it (xv4ctl, xv4sim).
RUN_TARGETS := xv4ctl xv4sim $(if $(DISPLAY)$(WAYLAND_DISPLAY),xv4tool)
run: deps
	@cmake -S . -B $(BUILD) $(CMAKE_GEN) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target $(RUN_TARGETS)
	@./scripts/run.sh $(BUILD)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Every test under AddressSanitizer + UndefinedBehaviorSanitizer.
test-asan: deps
	@cmake -S . -B build-asan $(CMAKE_GEN) -DXV4_SANITIZE=address >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The threaded tests (label "threaded") under ThreadSanitizer.
test-tsan: deps
	@cmake -S . -B build-tsan $(CMAKE_GEN) -DXV4_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L threaded

# Coverage-guided fuzzing (libFuzzer, clang, ASan + UBSan): builds build-fuzz and runs every
# harness for FUZZ_SECONDS on a working copy of its seed corpus. FUZZ_TARGETS="ini_file ..."
# picks harnesses.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS ?=
fuzz:
	@./scripts/deps.sh fuzz
	@cmake -S . -B build-fuzz $(CMAKE_GEN) -DCMAKE_CXX_COMPILER=clang++ -DXV4_FUZZ=ON >/dev/null
	@cmake --build build-fuzz -j $(JOBS) --target xv4_fuzzers
	@./scripts/fuzz.sh build-fuzz $(FUZZ_SECONDS) $(FUZZ_TARGETS)

bench: build
	@./scripts/deps.sh bench || echo "lrzsz could not be installed: bench_link skips its ZMODEM baseline"
	@./scripts/bench.sh $(BUILD)

screenshots: build
	@./scripts/screenshots.sh $(BUILD)

# The Debian package of the build, checked by lintian: build/package/xv4tool_<version>_<arch>.deb.
.PHONY: deb check-deb
deb: build
	@./scripts/deps.sh package
	@./scripts/deb.sh $(BUILD)

# Installs that package on this machine (root or sudo), runs the installed programs with a fresh
# home directory, removes the package and checks that nothing is left behind.
check-deb: deb
	@./scripts/check-deb.sh $(BUILD)/package/xv4tool_*.deb

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

check-format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
