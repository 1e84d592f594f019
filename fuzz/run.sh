#!/usr/bin/env bash
# Builds the libFuzzer targets (preset fuzz, build/fuzz) and runs each for
# SECONDS (default 600, set here only), from the seeds in fuzz/corpus/.
# The fuzzer grows a scratch corpus under build/fuzz/corpus/, kept between
# runs and never written back to the repository. Any crash, broken check,
# leak or hang fails the script and leaves its reproducer under
# build/fuzz/artifacts/.
#
#   fuzz/run.sh [SECONDS] [TARGET...]     e.g. fuzz/run.sh 120 ack_wait program
set -euo pipefail
cd "$(dirname "$0")/.."
. tests/build_preset.sh

seconds=${1:-600}
shift || true
all_targets=(ack_wait response_read nmea_wait configuration_run registry program)
if [ $# -gt 0 ]; then targets=("$@"); else targets=("${all_targets[@]}"); fi

build=build/fuzz
mkdir -p "$build"
# Runs share the binaries, logs, artifacts and scratch corpus: one at a time.
exec 9>"$build/.lock"
if ! flock -n 9; then
  echo "== fuzzing: another run is using $build; waiting for it"
  flock 9
fi

echo "== fuzzing: building (preset fuzz, $build)"
build_preset fuzz

mkdir -p "$build/artifacts" "$build/logs"

# One target: its run, then its table row in logs/TARGET.row and, when it
# failed, what to look at in logs/TARGET.failed.
fuzz_one() {
  local target=$1 binary=$build/fuzz/fuzz_$1 seeds=fuzz/corpus/$1 scratch=$build/corpus/$1
  local log=$build/logs/$1.log status=0
  mkdir -p "$scratch"
  if [ -d "$seeds" ]; then cp -n "$seeds"/* "$scratch"/ 2>/dev/null || true; fi
  rm -f "$build/artifacts/$target"-* "$build/logs/$target.failed"
  # -timeout: one input taking this long (real time) is a hang; every
  # virtual-time bound is far below it.
  "$binary" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=4096 \
    -print_final_stats=1 -artifact_prefix="$build/artifacts/$target-" "$scratch" >"$log" 2>&1 || status=$?

  local executions rate last cov ft artifacts result
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+[[:space:]].*cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.*cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.*ft: \([0-9]*\).*/\1/p' <<<"$last")
  artifacts=$(ls "$build/artifacts/$target"-* 2>/dev/null || true)
  if [ "$status" -eq 0 ] && [ -z "$artifacts" ]; then result=ok; else result="FAILED (exit $status)"; fi
  printf '%-18s %12s %8s %8s %8s  %s\n' "$target" "${executions:-?}" "${rate:-?}" "${cov:-?}" \
    "${ft:-?}" "$result" >"$build/logs/$target.row"
  if [ "$result" != ok ]; then
    {
      grep -E 'broken:|ERROR|SUMMARY|runtime error' "$log" | head -5 | sed 's/^/    /'
      for a in $artifacts; do
        echo "    reproducer: $a"
        echo "    rerun:      VANTREL_FUZZ_TRACE=1 $binary $a"
      done
      echo "    log: $log"
    } >"$build/logs/$target.failed"
  fi
}

for target in "${targets[@]}"; do
  [ -x "$build/fuzz/fuzz_$target" ] || { echo "fuzz: no target $target"; exit 1; }
  rm -f "$build/logs/$target.row"
done
# Each target is one process on one core: as many at once as there are
# cores, each still fuzzing for its whole SECONDS.
parallel=$(nproc 2>/dev/null || echo 1)
printf '== fuzzing: %s s per target, %s at a time\n' "$seconds" "$parallel"
for target in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  fuzz_one "$target" &
done
wait

failed=()
printf '%-18s %12s %8s %8s %8s  %s\n' target executions exec/s cov ft result
for target in "${targets[@]}"; do
  cat "$build/logs/$target.row"
  if [ -f "$build/logs/$target.failed" ]; then
    failed+=("$target")
    cat "$build/logs/$target.failed"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failures in: ${failed[*]}"
  exit 1
fi
echo "== fuzzing: no failures"
