# make test  — install what is missing, build natively with sanitizers and for Windows, run every test
# make demo  — run the whole system end to end on Linux in a fresh platform root under build/
# make bench — Google Benchmark programs;  make fuzz — libFuzzer targets for a bounded time
# make tsan  — the host and policy tests under ThreadSanitizer
# make package — the Debian package build/package/zelmarusb_<version>_amd64.deb (Release, no tests)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
LINUX_BUILD := build/linux
WINDOWS_BUILD := build/windows

.PHONY: all deps linux windows test test-linux test-windows tsan demo package bench fuzz clean

all: linux

deps:
	@scripts/install-deps

linux: deps
	cmake -S . -B $(LINUX_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELMUSB_SANITIZE=ON
	cmake --build $(LINUX_BUILD) -j $(JOBS)

windows: deps
	cmake -S . -B $(WINDOWS_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

test-linux: linux
	cd $(LINUX_BUILD) && ctest --output-on-failure -j $(JOBS)

test-windows: windows
	cd $(WINDOWS_BUILD) && ZELMUSB_WINE_BUILD=$(CURDIR)/$(WINDOWS_BUILD) ctest --output-on-failure

# Both legs always run; the summary names each, and any failure fails the whole.
test: deps
	@set +e; \
	$(MAKE) --no-print-directory test-linux; linux=$$?; \
	$(MAKE) --no-print-directory test-windows; windows=$$?; \
	echo "leg linux (native, ASan+UBSan): $$([ $$linux = 0 ] && echo passed || echo FAILED)"; \
	echo "leg windows (MinGW-w64 under Wine): $$([ $$windows = 0 ] && echo passed || echo FAILED)"; \
	[ $$linux = 0 ] && [ $$windows = 0 ]

# The host and policy tests (the listener, reloads racing decisions, the suite's programs as real
# processes) under ThreadSanitizer; any report fails the run.
tsan: deps
	cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZELMUSB_TSAN=ON
	cmake --build build/tsan -j $(JOBS) --target test_host test_policy
	cd build/tsan && TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1" \
	  ctest --output-on-failure -R '^test_(host|policy)$$'

# Only what the demo runs, optimised and without the tests: the program, the driver, the
# suite's monitor and menu, reg, sc and usbsim.
DEMO_BUILD := build/demo-bin
DEMO_TARGETS := zelmarusb linux_driver halvarmon halvarmenu reg sc usbsim
demo:
	@scripts/install-deps demo
	cmake -S . -B $(DEMO_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMUSB_TESTS=OFF
	cmake --build $(DEMO_BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	scripts/demo $(DEMO_BUILD)

# Only what the package holds, optimised and without the tests, then CPack.
package:
	@scripts/install-deps package
	JOBS=$(JOBS) scripts/build-package build/package

bench: deps
	cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DZELMUSB_TESTS=OFF -DZELMUSB_BENCH=ON
	cmake --build build/bench -j $(JOBS)
	scripts/run-benchmarks build/bench

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZELMUSB_TESTS=OFF -DZELMUSB_FUZZ=ON
	cmake --build build/fuzz -j $(JOBS)
	scripts/run-fuzzers build/fuzz

clean:
	rm -rf build
