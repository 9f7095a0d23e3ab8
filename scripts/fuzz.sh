#!/bin/sh
# Builds the fuzz targets (preset "fuzz": clang, libFuzzer, address and
# undefined-behaviour sanitizers) and runs every target for SECONDS each.
#
#   scripts/fuzz.sh SECONDS [target...]
#
# Environment:
#   KZ_FUZZ_BUILD_DIR  build folder (default build/fuzz)
#   KZ_FUZZ_PARALLEL   targets run at the same time (default 1)
#   KZ_FUZZ_RSS_MB     memory limit per target (default 2048)
#
# The corpus grows in <build>/fuzz-corpus/<target> from run to run; seeds are
# written fresh by kz_fuzz_seeds with the project's own writers. Inputs that
# once failed live in tests/fuzz/regressions/<target>/ and are replayed first.
# A finding is saved as <build>/fuzz-artifacts/<target>-crash-... and makes
# the script fail. One summary line per target: executions, coverage (cov)
# and features (ft) from libFuzzer's final lines.
set -eu

seconds=${1:?usage: scripts/fuzz.sh SECONDS [target...]}
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build=${KZ_FUZZ_BUILD_DIR:-$root/build/fuzz}
case $build in /*) ;; *) build=$root/$build ;; esac
parallel=${KZ_FUZZ_PARALLEL:-1}
rss=${KZ_FUZZ_RSS_MB:-2048}
targets=${*:-fuzz_bundle fuzz_json fuzz_pe fuzz_chain fuzz_certificate fuzz_embedded_signature fuzz_script_agreement fuzz_inflate}

cd "$root"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset fuzz -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target kz_fuzzers >/dev/null

rm -rf "$build/fuzz-seeds"
"$build/tests/fuzz/kz_fuzz_seeds" "$build/fuzz-seeds" 2>/dev/null
mkdir -p "$build/fuzz-corpus" "$build/fuzz-artifacts" "$build/fuzz-logs"

# Replays the saved regressions of one target; false when one still fails.
replay() {
  dir=$root/tests/fuzz/regressions/$1
  [ -d "$dir" ] || return 0
  files=$(find "$dir" -type f ! -name '*.md' | sort)
  [ -n "$files" ] || return 0
  # shellcheck disable=SC2086
  "$build/tests/fuzz/$1" -rss_limit_mb="$rss" $files >"$build/fuzz-logs/$1.regressions.log" 2>&1
}

run_one() {
  t=$1
  log=$build/fuzz-logs/$t.log
  if ! replay "$t"; then
    echo "$t: a saved regression fails again, see $build/fuzz-logs/$t.regressions.log"
    return 1
  fi
  mkdir -p "$build/fuzz-corpus/$t"
  status=0
  "$build/tests/fuzz/$t" -max_total_time="$seconds" -rss_limit_mb="$rss" -timeout=60 -print_final_stats=1 \
    -artifact_prefix="$build/fuzz-artifacts/$t-" "$build/fuzz-corpus/$t" "$build/fuzz-seeds/${t#fuzz_}" \
    >"$log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1)
  cov=$(echo "$last" | sed -n 's/.*cov: \([0-9]*\).*/\1/p')
  ft=$(echo "$last" | sed -n 's/.*ft: \([0-9]*\).*/\1/p')
  corpus=$(echo "$last" | sed -n 's/.*corp: \([0-9]*\).*/\1/p')
  if [ "$status" -ne 0 ]; then
    echo "$t: FAILED after ${execs:-?} executions (status $status), see $log"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -n 5 || true
    return 1
  fi
  echo "$t: ${seconds}s, ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, corpus ${corpus:-?}, no faults"
}

failed=0
running=0
pids=
for t in $targets; do
  ( run_one "$t" ) &
  pids="$pids $!"
  running=$((running + 1))
  if [ "$running" -ge "$parallel" ]; then
    for p in $pids; do wait "$p" || failed=1; done
    pids=
    running=0
  fi
done
for p in $pids; do wait "$p" || failed=1; done
exit $failed
