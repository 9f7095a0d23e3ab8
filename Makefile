# The two commands of the README: `make demo` and `make test`. Both do all
# set-up on a fresh Debian 12 machine first (scripts/bootstrap.sh).
.PHONY: all bootstrap bootstrap-demo native win32 win64 asan test test-native test-asan test-win \
        demo demo-gui demo-build fuzz-smoke bench package test-package clean

JOBS ?= 2
# How 32-bit Windows programs run here (native, lane or none): decided once by
# scripts/wine-run, after the bootstrap has installed what it needs.
HOW = $$(scripts/wine-run --how)
XVFB = xvfb-run -a -s "-screen 0 1024x768x24"

all: native win32 win64

bootstrap:
	@scripts/bootstrap.sh

bootstrap-demo:
	@scripts/bootstrap.sh demo

native win32 win64 asan: bootstrap
	@cmake --preset $@ >/dev/null
	@cmake --build --preset $@ -j$(JOBS)

test-native: native
	ctest --preset native -j$(JOBS)

test-asan: asan
	ctest --preset asan -j$(JOBS)

# The shipped 32-bit build runs its whole Windows suite (natively or through
# the lane); the 64-bit build of the same sources runs its unit tests.
test-win: win32 win64
	@how=$(HOW); export KZ_WINE_HOW=$$how; \
	if [ "$$how" = none ]; then \
	  echo "note: 32-bit programs cannot run here (no 32-bit code, no user-namespace binfmt_misc);" \
	       "the 32-bit build is checked statically"; \
	  ctest --preset win32 -L static; \
	else \
	  echo "32-bit Windows programs run here: $$how"; \
	  $(XVFB) scripts/with-wine ctest --preset win32; \
	fi
	$(XVFB) scripts/with-wine ctest --preset win64 -LE e2e

test: test-native test-win fuzz-smoke
	@echo "all test suites passed"

# Every fuzz target for 20 s, two at a time (scripts/fuzz.sh runs longer ones).
fuzz-smoke: bootstrap
	KZ_FUZZ_PARALLEL=2 scripts/fuzz.sh 20

# The demo builds only what it runs: the native kzpack, the 32-bit stub and
# the demo's setup program (the 64-bit ones where 32-bit programs cannot run).
demo-build: bootstrap-demo
	@cmake --preset native >/dev/null
	@cmake --build --preset native -j$(JOBS) --target kzpack
	@preset=$$(test $(HOW) = none && echo win64 || echo win32); \
	cmake --preset $$preset >/dev/null && \
	cmake --build --preset $$preset -j$(JOBS) --target Stub demo_setup

demo: demo-build
	scripts/with-wine demo/run-demo.sh

demo-gui: demo-build
	DEMO_MODE=gui scripts/with-wine demo/run-demo.sh

# What a vendor installs (scripts/package.sh): build/package/kzpack_<version>-1_amd64.deb
# and kzpack-<version>-win64.zip, from the three builds' shipped programs only.
package: bootstrap
	@for preset in native win32 win64; do cmake --preset $$preset >/dev/null || exit 1; done
	@cmake --build --preset native -j$(JOBS) --target kzpack
	@cmake --build --preset win32 -j$(JOBS) --target Stub
	@cmake --build --preset win64 -j$(JOBS) --target kzpack
	scripts/package.sh

# The packages tried as a new user would: only what they hold, under wine.
test-package: package
	@cmake --build --preset win32 -j$(JOBS) --target demo_setup
	$(XVFB) scripts/with-wine python3 tests/package/package_test.py --deb build/package/kzpack_*_amd64.deb \
	  --zip build/package/kzpack-*-win64.zip --setup build/win32/demo/setup/setup.exe --keys keys \
	  --wine-run scripts/wine-run --work build/package/test

# Installer benchmark against NSIS and the floors, then the micro-benchmarks
# (bench/run.sh; WORKLOAD=w2 for the quick one, BENCH_BASE=COMMIT for before/after).
WORKLOAD ?= w1,w3
RUNS ?= 7
bench:
	bench/run.sh $(WORKLOAD) $(RUNS)

clean:
	rm -rf build
