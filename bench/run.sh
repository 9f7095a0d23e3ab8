#!/bin/sh
# The installer benchmark in one command (also `make bench`):
#   bench/run.sh [w1,w3|w1|w2|w3] [runs]      (default: w1,w3 and 7 rounds)
# builds the 64-bit stub, kzpack and the micro-benchmarks in their own build
# folders, writes each workload (W1: setup + 16 x 4 MiB; W2: 4 files; W3:
# setup + 16 x 64 MiB), makes our installer with kzpack and the same files as
# an NSIS zlib installer, runs ours, NSIS, the floor program and floor3 (what
# this design must write: setup.exe with the bundle, ibnd, the dependencies)
# alternately under wine64, once with pages warmed before every run and once
# without, and prints medians, ranges, per-round ratios and each process's
# peak working set and most threads, then for W3 the core-scaling line (ours
# with the whole wine session, server included, on one processor against all
# of them, in alternating rounds with pages warmed; the stub's peak thread
# count in each shows its pool followed the processors it was given), then
# the build time of the same files (`kzpack build` against makensis, 3
# alternating rounds, wall and CPU seconds), then the micro-benchmarks natively.
#
# The native comparison is 64-bit: the 64-bit build of the stub's sources
# against NSIS's amd64-unicode stub. Where 32-bit programs run
# (scripts/wine-run --how), the shipped 32-bit stub is then timed against
# NSIS's x86-unicode stub of the same files, warm and cold (W3 only where
# they run natively); through the lane (qemu-user) those times are emulated,
# so only their ratios mean anything. Each workload ends with both ratios
# (ours against NSIS of the same bitness) side by side.
#
# Before/after: BENCH_BASE=COMMIT builds that commit's 64-bit stub from a
# copy of its tree (or BENCH_BASE_STUB names a Stub.exe) and times it as
# "base", interleaved with the others in the same rounds.
# Environment: BENCH_SKIP_BUILD=1 uses the existing builds; BENCH_NATIVE_BUILD
# and BENCH_WIN64_BUILD name the build folders; BENCH_STUB and BENCH_KZPACK
# name other programs; BENCH_WIN32_BUILD names the 32-bit build folder and
# BENCH_32=0 skips the 32-bit comparison; BENCH_MICRO=0 skips the micro-benchmarks;
# BENCH_OUT names the output folder; BENCH_WINEPREFIX the wine prefix (default
# $KZ_CACHE/wine64-bench); BENCH_WARM_MIB the MiB written and deleted before
# each warmed run (default 320, 2560 for W3); BENCH_MODES=warm or cold for one;
# BENCH_BUILD=0 skips the build-time comparison; BENCH_CORES names the
# workloads that print the core-scaling line (default w3, 0 for none) and
# BENCH_CORE_RUNS its rounds (default: runs).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
workloads=$(echo "${1:-w1,w3}" | tr , ' ')
runs=${2:-7}
cores=$(echo "${BENCH_CORES:-w3}" | tr , ' ')
core_runs=${BENCH_CORE_RUNS:-$runs}
for workload in $workloads; do
  case "$workload" in
    w1|w2|w3) ;;
    *) echo "usage: bench/run.sh [w1,w3|w1|w2|w3] [runs]" >&2; exit 2 ;;
  esac
done
out=${BENCH_OUT:-$repo/build/bench}
native=${BENCH_NATIVE_BUILD:-$repo/build/bench-native}
win64=${BENCH_WIN64_BUILD:-$repo/build/bench-win64}
win32=${BENCH_WIN32_BUILD:-$repo/build/bench-win32}
how=$("$repo/scripts/wine-run" --how)
[ "$how" = none ] && BENCH_32=0
: "${KZ_CACHE:=${XDG_CACHE_HOME:-$HOME/.cache}/kzinstaller}"
# A prefix of its own: the test scripts stop the shared prefix's server.
export WINEPREFIX="${BENCH_WINEPREFIX:-$KZ_CACHE/wine64-bench}" WINEDEBUG=-all
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
# Results older than this run are not shown side by side.
BENCH_STARTED=$(date +%s)
export BENCH_STARTED
base_stub=${BENCH_BASE_STUB:-}
if [ -n "${BENCH_BASE:-}" ] && [ -z "$base_stub" ]; then
  # The same preset at another commit, from a plain copy of its tree.
  base_rev=$(git -C "$repo" rev-parse --short "$BENCH_BASE")
  base_src=$out/base-$base_rev
  if [ ! -d "$base_src" ]; then
    mkdir -p "$base_src.partial"
    git -C "$repo" archive "$base_rev" | tar -x -C "$base_src.partial"
    mv "$base_src.partial" "$base_src"
  fi
  cmake --preset win64 -S "$base_src" -B "$base_src/build/win64" -DKZ_BUILD_TESTS=OFF >/dev/null
  cmake --build "$base_src/build/win64" -j2 --target Stub
  base_stub=$base_src/build/win64/InstallerLogic/Stub.exe
fi
x86_64-w64-mingw32-gcc -O2 -municode -o "$out/peakmem.exe" "$here/peakmem.c" -lpsapi -lntdll
x86_64-w64-mingw32-gcc -O2 -municode -o "$out/floor.exe" "$here/floor.c"
x86_64-w64-mingw32-gcc -O2 -municode -I"$here" -o "$out/floor3.exe" "$here/floor3.c"

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "creating the benchmark's wine prefix $WINEPREFIX"
  "$wine" wineboot -i </dev/null >/dev/null 2>&1
fi
wineserver -p </dev/null >/dev/null 2>&1 || true  # already running is fine
trap 'wineserver -k </dev/null >/dev/null 2>&1 || true' EXIT
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true

win() { echo "Z:$1" | tr / '\\'; }

bench_workload() {
  workload=$1
  case "$workload" in
    w1) files=16 mib=4 warm=320 ;;
    w2) files=4 mib=4 warm=320 ;;
    w3) files=16 mib=64 warm=2560 ;;
  esac
  warm=${BENCH_WARM_MIB:-$warm}
  dir=$out/$workload
  stamp="$(cat "$here/make_workload.py" | sha256sum | cut -c1-16)-$files-$mib"
  if [ ! -f "$dir/stamp" ] || [ "$(cat "$dir/stamp")" != "$stamp" ]; then
    rm -rf "$dir"
    python3 "$here/make_workload.py" "$dir" --files "$files" --file-mib "$mib" --stub "$stub"
    echo "$stamp" >"$dir/stamp"
  fi
  "$kzpack" build "$dir/project.toml" -o "$dir/ours.exe" --stub "$stub" --development-keys
  [ -n "$base_stub" ] && "$kzpack" build "$dir/project.toml" -o "$dir/base.exe" --stub "$base_stub" --development-keys
  [ -f "$dir/nsis-installer.exe" ] && [ "$dir/nsis-installer.exe" -nt "$dir/stamp" ] ||
    (cd "$dir" && makensis -V2 nsis.nsi)

  floor_args="" dep_sizes=""
  while read -r f; do
    floor_args="$floor_args $(win "$dir/$f")"
    [ "$f" = setup.exe ] || dep_sizes="$dep_sizes $(stat -c %s "$dir/$f")"
  done <"$dir/payload.txt"
  # floor3 reads the payloads where the trailers say; its digests must be theirs.
  set -- $(python3 "$here/chain_offsets.py" "$dir/ours.exe")
  floor3_args="$(win "$dir/ours.exe") $1 $2 $3 $4$dep_sizes"
  digests=$("$wine" "$out/floor3.exe" -v $floor3_args </dev/null | tr -d '\r' | cut -c1-32 | tr '\n' ' ')
  if [ "$digests" != "$5 $6 " ]; then
    echo "floor3 digests '$digests' are not the trailers' '$5 $6'" >&2
    exit 1
  fi

  echo "installer sizes: ours $(stat -c %s "$dir/ours.exe"), NSIS $(stat -c %s "$dir/nsis-installer.exe") bytes"
  for mode in ${BENCH_MODES:-warm cold}; do
    if [ "$mode" = warm ]; then warm_mib=$warm; else warm_mib=0; fi
    echo
    echo "== $workload, $mode: $(test "$mode" = warm && echo "$warm_mib MiB written and deleted before each run" || echo "no page warming")"
    echo "$(date -u +%H:%M) load: $(cat /proc/loadavg)"
    base_arg=""
    [ -n "$base_stub" ] && base_arg="base=$(win "$dir/base.exe")"
    python3 "$here/compare.py" --runs "$runs" --wine "$wine" --peakmem "$(win "$out/peakmem.exe")" \
      --warm-mib "$warm_mib" --json "$out/$workload-$mode-result.json" \
      "ours=$(win "$dir/ours.exe")" $base_arg \
      "nsis=$(win "$dir/nsis-installer.exe")" \
      "floor=$(win "$out/floor.exe")$floor_args" \
      "floor3=$(win "$out/floor3.exe") $floor3_args"
  done

  processors=$(nproc) core_line=0
  case " $cores " in *" $workload "*) core_line=1 ;; esac
  if [ "$core_line" = 1 ] && [ "$processors" -lt 2 ]; then
    echo "no core-scaling line: one processor here"
    core_line=0
  fi
  if [ "$core_line" = 1 ]; then
    # Each phase gets a fresh wine session with its affinity (compare.py --cpus):
    # a server left on all processors would answer the confined stub's calls on another.
    echo
    echo "== $workload, core scaling: ours with the whole wine session on 1 processor against $processors, $warm MiB written and deleted before each run"
    echo "$(date -u +%H:%M) load: $(cat /proc/loadavg)"
    one=ours-1cpu all=ours-${processors}cpu
    python3 "$here/compare.py" --runs "$core_runs" --wine "$wine" --peakmem "$(win "$out/peakmem.exe")" \
      --warm-mib "$warm" --json "$out/$workload-cores-result.json" --cpus "$one=0" \
      "$one=$(win "$dir/ours.exe")" "$all=$(win "$dir/ours.exe")"
    python3 - "$out/$workload-cores-result.json" "$one" "$all" "$workload" <<'PY'
import json, statistics, sys
result, one, all_, workload = json.load(open(sys.argv[1])), sys.argv[2], sys.argv[3], sys.argv[4]
t, threads = result["times_ms"], result["peak_threads"]
ratio = statistics.median(a / b for a, b in zip(t[one], t[all_]))
print("core scaling %s: ours %.0f ms on 1 processor, %.0f ms on %d; 1/%d per-round median %.2fx; "
      "stub's peak threads %s and %s; load %s before, %s after"
      % (workload, statistics.median(t[one]), statistics.median(t[all_]), len(result["cpus"][all_]),
         len(result["cpus"][all_]), ratio, max(threads[one]), max(threads[all_]), *result["load"]))
PY
  fi

  if [ "${BENCH_BUILD:-1}" != 0 ]; then
    echo
    echo "== $workload, build time: kzpack build against makensis (zlib) of the same files, $(nproc) processors"
    echo "$(date -u +%H:%M) load: $(cat /proc/loadavg)"
    python3 - "$dir" "$kzpack" "$stub" <<'PY'
import os, resource, statistics, subprocess, sys, time
folder, kzpack, stub = sys.argv[1:4]
commands = {
    "kzpack build": [kzpack, "build", "project.toml", "-o", "build-time.exe", "--stub", stub, "--development-keys"],
    "makensis": ["makensis", "-V1", "nsis.nsi"],
}
runs = {name: [] for name in commands}
for _ in range(3):  # alternating, so that both see the same machine
    for name, command in commands.items():
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.monotonic()
        done = subprocess.run(command, cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.monotonic() - start
        if done.returncode != 0:
            sys.exit("%s failed (exit code %d):\n%s" % (name, done.returncode, done.stderr.decode(errors="replace")))
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
        runs[name].append((wall, cpu))
for name, values in runs.items():
    walls = [w for w, _ in values]
    print("%-13s median %6.1f s wall (%.1f-%.1f), %6.1f s CPU" %
          (name, statistics.median(walls), min(walls), max(walls), statistics.median(c for _, c in values)))
ratios = [k[0] / n[0] for k, n in zip(runs["kzpack build"], runs["makensis"])]
print("kzpack build / makensis (wall, per-round median): %.2f" % statistics.median(ratios))
PY
    rm -f "$dir/build-time.exe"
  fi

  # The shipped 32-bit stub against NSIS's 32-bit zlib stub, same files, in
  # both modes; W3 only where 32-bit code runs natively (emulated, 1 GiB
  # would take hours).
  if [ "${BENCH_32:-1}" != 0 ] && { [ "$workload" != w3 ] || [ "$how" = native ]; }; then
    i686-w64-mingw32-gcc -O2 -municode -o "$out/peakmem32.exe" "$here/peakmem.c" -lpsapi -lntdll
    "$kzpack" build "$dir/project.toml" -o "$dir/ours32.exe" --stub "$win32/InstallerLogic/Stub.exe" --development-keys
    sed -e 's/^Target amd64-unicode/Target x86-unicode/' -e 's/nsis-installer\.exe/nsis32-installer.exe/' \
      "$dir/nsis.nsi" >"$dir/nsis32.nsi"
    [ -f "$dir/nsis32-installer.exe" ] && [ "$dir/nsis32-installer.exe" -nt "$dir/stamp" ] ||
      (cd "$dir" && makensis -V2 nsis32.nsi)
    label="native 32-bit"
    [ "$how" = lane ] && label="EMULATED (qemu-i386): ratios only, the times are not the product's"
    for mode in ${BENCH_MODES:-warm cold}; do
      if [ "$mode" = warm ]; then warm_mib=$warm; else warm_mib=0; fi
      echo
      echo "== $workload, $mode, 32-bit: the shipped stub against NSIS x86-unicode zlib, $label"
      echo "$(date -u +%H:%M) load: $(cat /proc/loadavg)"
      python3 "$here/compare.py" --runs "$runs" --wine "$wine" --peakmem "$(win "$out/peakmem32.exe")" \
        --warm-mib "$warm_mib" --json "$out/$workload-$mode-result32.json" \
        "ours32=$(win "$dir/ours32.exe")" \
        "nsis32=$(win "$dir/nsis32-installer.exe")"
    done
  fi

  # Both stubs' ratios side by side, from this run's results only.
  echo
  echo "== $workload: ours against NSIS of the same bitness (median of per-round time ratios; lower is faster)"
  python3 - "$out" "$workload" ${BENCH_MODES:-warm cold} <<'PY'
import json, os, statistics, sys
out, workload, modes = sys.argv[1], sys.argv[2], sys.argv[3:]
def ratio(name, ours, nsis):
    path = os.path.join(out, "%s-%s.json" % (workload, name))
    if not os.path.exists(path) or os.path.getmtime(path) < START:
        return None
    t = json.load(open(path))["times_ms"]
    return statistics.median(a / b for a, b in zip(t[ours], t[nsis]))
START = float(os.environ.get("BENCH_STARTED", "0"))
print("%-6s %16s %16s %8s" % ("mode", "64-bit (amd64)", "32-bit (x86)", "32/64"))
for mode in modes:
    r64 = ratio(mode + "-result", "ours", "nsis")
    r32 = ratio(mode + "-result32", "ours32", "nsis32")
    cell = lambda r: "%.2fx" % r if r is not None else "-"
    print("%-6s %16s %16s %8s" % (mode, cell(r64), cell(r32), "%.2f" % (r32 / r64) if r32 and r64 else "-"))
PY
}

for workload in $workloads; do
  echo
  echo "==== $workload"
  bench_workload "$workload"
done

if [ "${BENCH_MICRO:-1}" != 0 ]; then
  "$native/bench/kz_micro_bench" --benchmark_min_time=0.3
fi
