# Front door for newcomers: `make demo` and `make test`. Both install missing
# Debian packages, configure and build with CMake, then run.

BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps configure build test bench demo demo-protocol demo-station format format-check sanitize tsan fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The line-rate benchmark: a paced 1 MiB update phase by phase, the host's
# cost per byte, and the time from plug-in to the version alert (a few minutes).
bench: configure
	@cmake --build $(BUILD) -j $(JOBS) --target qrb-bench
	@$(BUILD)/bench/qrb-bench

# The real qrb-updater against an emulated board: on your display when there
# is one, otherwise on a virtual one, with screenshots in $(BUILD)/demo/screenshots/.
demo: build
	@./scripts/demo-updater.sh $(BUILD)

# The bootloader protocol alone, in the terminal: the host's functions against
# the simulated board.
demo-protocol: build
	@./scripts/demo.sh $(BUILD)

# The station qrb-flash on three emulated boards at once, in the terminal.
demo-station: build
	@./scripts/demo-station.sh $(BUILD)

# The whole suite once more under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize:
	@$(MAKE) test BUILD=$(BUILD)-asan CMAKE_FLAGS="-DQRB_SANITIZE=ON"

# The threaded tests (ctest label "threaded", cmake/TestLabels.cmake) once
# more under ThreadSanitizer; the first report fails the test. The
# suppressions cover the uninstrumented system libraries only.
tsan:
	@$(MAKE) build BUILD=$(BUILD)-tsan CMAKE_FLAGS="-DQRB_TSAN=ON"
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 \
	    suppressions=$(CURDIR)/tests/tsan-system-libraries.supp $${TSAN_OPTIONS:-}" \
	    ctest --test-dir $(BUILD)-tsan --output-on-failure -j $(JOBS) -L threaded

# Each fuzz target for FUZZ_SECONDS seconds: a clang build with libFuzzer,
# AddressSanitizer and UBSan in $(BUILD)-fuzz; see scripts/run-fuzzers.sh.
FUZZ_SECONDS ?= 60
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
fuzz: deps
	@CC=$(FUZZ_CC) CXX=$(FUZZ_CXX) cmake -S . -B $(BUILD)-fuzz -G Ninja -DQRB_FUZZ=ON \
	    -DQRB_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(BUILD)-fuzz -j $(JOBS) --target qrb-fuzzers
	@./scripts/run-fuzzers.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

format: deps
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

format-check: deps
	@git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run -Werror

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-tsan $(BUILD)-fuzz
