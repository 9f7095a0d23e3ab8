#!/bin/sh
# The installer benchmark in one command (also `make bench`):
#   bench/run.sh [w1|w2] [runs]
# builds the 64-bit stub, kzpack and the micro-benchmarks in their own build
# folders, writes the workload (W1: setup + 16 x 4 MiB; W2: 4 files), makes
# our installer with kzpack and the same files as an NSIS zlib installer,
# runs ours, NSIS and the floor program alternately under wine64 and prints
# medians, ranges, per-round ratios and each process's peak working set,
# then the micro-benchmarks natively.
#
# The native comparison is 64-bit: the 64-bit build of the stub's sources
# against NSIS's amd64-unicode stub. Where 32-bit programs run
# (scripts/wine-run --how), the shipped 32-bit stub is then timed against
# NSIS's x86-unicode stub of the same files; through the lane (qemu-user)
# those times are emulated, so only their ratios mean anything.
# Environment: BENCH_SKIP_BUILD=1 uses the existing builds; BENCH_NATIVE_BUILD
# and BENCH_WIN64_BUILD name the build folders; BENCH_STUB and BENCH_KZPACK
# name other programs; BENCH_WIN32_BUILD names the 32-bit build folder and
# BENCH_32=0 skips the 32-bit comparison; BENCH_MICRO=0 skips the micro-benchmarks;
# BENCH_OUT names the output folder.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
workload=${1:-w1}
runs=${2:-5}
case "$workload" in
  w1) files=16 ;;
  w2) files=4 ;;
  *) echo "usage: bench/run.sh [w1|w2] [runs]" >&2; exit 2 ;;
esac
out=${BENCH_OUT:-$repo/build/bench}
native=${BENCH_NATIVE_BUILD:-$repo/build/bench-native}
win64=${BENCH_WIN64_BUILD:-$repo/build/bench-win64}
win32=${BENCH_WIN32_BUILD:-$repo/build/bench-win32}
how=$("$repo/scripts/wine-run" --how)
[ "$how" = none ] && BENCH_32=0
: "${KZ_CACHE:=${XDG_CACHE_HOME:-$HOME/.cache}/kzinstaller}"
# A prefix of its own: the test scripts stop the shared prefix's server.
export WINEPREFIX="$KZ_CACHE/wine64-bench" WINEDEBUG=-all
wine="$repo/scripts/wine-run"

if [ "${BENCH_SKIP_BUILD:-0}" != 1 ]; then
  "$repo/scripts/bootstrap.sh"
  cmake --preset native -B "$native" -DKZ_BUILD_TESTS=OFF -DKZ_BUILD_BENCH=ON >/dev/null
  cmake --build "$native" -j2 --target kzpack kz_micro_bench
  cmake --preset win64 -B "$win64" -DKZ_BUILD_TESTS=OFF >/dev/null
  cmake --build "$win64" -j2 --target Stub
  if [ "${BENCH_32:-1}" != 0 ]; then
    cmake --preset win32 -B "$win32" -DKZ_BUILD_TESTS=OFF >/dev/null
    cmake --build "$win32" -j2 --target Stub
  fi
fi
stub=${BENCH_STUB:-$win64/InstallerLogic/Stub.exe}
kzpack=${BENCH_KZPACK:-$native/tools/kzpack/kzpack}

mkdir -p "$out"
dir=$out/$workload
stamp="$(sha256sum "$here/make_workload.py" | cut -c1-16)"
if [ ! -f "$dir/stamp" ] || [ "$(cat "$dir/stamp")" != "$stamp" ]; then
  rm -rf "$dir"
  python3 "$here/make_workload.py" "$dir" --files "$files" --stub "$stub"
  echo "$stamp" >"$dir/stamp"
fi
x86_64-w64-mingw32-gcc -O2 -municode -o "$out/peakmem.exe" "$here/peakmem.c" -lpsapi
x86_64-w64-mingw32-gcc -O2 -municode -o "$out/floor.exe" "$here/floor.c"
"$kzpack" build "$dir/project.toml" -o "$dir/ours.exe" --stub "$stub" --development-keys
(cd "$dir" && makensis -V2 nsis.nsi)

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the benchmark's wine prefix $WINEPREFIX"
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
fi
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

win() { echo "Z:$1" | tr / '\\'; }
floor_args=""
while read -r f; do floor_args="$floor_args $(win "$dir/$f")"; done <"$dir/payload.txt"
echo "$(date -u +%H:%M) load: $(cat /proc/loadavg)"
echo "installer sizes: ours $(stat -c %s "$dir/ours.exe"), NSIS $(stat -c %s "$dir/nsis-installer.exe") bytes"
python3 "$here/compare.py" --runs "$runs" --wine "$wine" --peakmem "$(win "$out/peakmem.exe")" \
  --json "$out/$workload-result.json" \
  "ours=$(win "$dir/ours.exe")" \
  "nsis=$(win "$dir/nsis-installer.exe")" \
  "floor=$(win "$out/floor.exe")$floor_args"

if [ "${BENCH_32:-1}" != 0 ]; then
  # The shipped 32-bit stub against NSIS's 32-bit zlib stub, same files.
  i686-w64-mingw32-gcc -O2 -municode -o "$out/peakmem32.exe" "$here/peakmem.c" -lpsapi
  "$kzpack" build "$dir/project.toml" -o "$dir/ours32.exe" --stub "$win32/InstallerLogic/Stub.exe"
  sed -e 's/^Target amd64-unicode/Target x86-unicode/' -e 's/nsis-installer\.exe/nsis32-installer.exe/' \
    "$dir/nsis.nsi" >"$dir/nsis32.nsi"
  (cd "$dir" && makensis -V2 nsis32.nsi)
  label="native 32-bit"
  [ "$how" = lane ] && label="EMULATED (qemu-i386): ratios only, the times are not the product's"
  echo
  echo "== 32-bit: the shipped stub against NSIS x86-unicode zlib, $label"
  python3 "$here/compare.py" --runs "$runs" --wine "$repo/scripts/wine-run" --peakmem "$(win "$out/peakmem32.exe")" \
    --json "$out/$workload-result32.json" \
    "ours32=$(win "$dir/ours32.exe")" \
    "nsis32=$(win "$dir/nsis32-installer.exe")"
fi

if [ "${BENCH_MICRO:-1}" != 0 ]; then
  "$native/bench/kz_micro_bench" --benchmark_min_time=0.3
fi
