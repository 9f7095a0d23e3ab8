# The two commands of the README: `make demo` and `make test`. Both do all
# set-up on a fresh Debian 12 machine first (scripts/bootstrap.sh).
.PHONY: all bootstrap native win32 win64 asan test test-native test-asan test-win demo demo-gui fuzz-smoke bench clean

JOBS ?= 2
# 32-bit Windows programs run only where the machine executes 32-bit code;
# elsewhere the 64-bit build of the same sources runs the Windows tests.
CAN_RUN_32 := $(shell /usr/lib/wine/wine --version >/dev/null 2>&1 && echo 1)

all: native win32 win64

bootstrap:
	@scripts/bootstrap.sh

native win32 win64 asan: bootstrap
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j$(JOBS)

test-native: native
	ctest --preset native -j$(JOBS)

test-asan: asan
	ctest --preset asan -j$(JOBS)

test-win: win32 win64
ifeq ($(CAN_RUN_32),1)
	scripts/with-wine ctest --preset win32
else
	@echo "note: this machine cannot execute 32-bit code; the 32-bit build is checked statically and its tests run as the 64-bit build"
	ctest --preset win32 -L static
endif
	# Under a virtual display, so the window tests run instead of skipping.
	xvfb-run -a -s "-screen 0 1024x768x24" scripts/with-wine ctest --preset win64

test: test-native test-win fuzz-smoke
	@echo "all test suites passed"

# Every fuzz target for 20 s, two at a time (scripts/fuzz.sh runs longer ones).
fuzz-smoke: bootstrap
	KZ_FUZZ_PARALLEL=2 scripts/fuzz.sh 20

demo: native win32 win64
	scripts/with-wine demo/run-demo.sh

demo-gui: native win32 win64
	DEMO_MODE=gui scripts/with-wine demo/run-demo.sh

# Installer benchmark against NSIS and the floor, then the micro-benchmarks
# (bench/run.sh; WORKLOAD=w2 for the quick one).
bench:
	bench/run.sh $(or $(WORKLOAD),w1) $(or $(RUNS),5)

clean:
	rm -rf build
