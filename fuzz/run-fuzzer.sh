#!/usr/bin/env bash
# Runs one libFuzzer harness for a bounded time from its seed corpus and
# prints its execution count; on a finding, prints the report and fails.
#   run-fuzzer.sh FUZZER SEED_DIR WORK_DIR SECONDS
set -uo pipefail
fuzzer=$1 seeds=$2 work=$3 seconds=$4
mkdir -p "$work/corpus" "$work/artifacts"
log="$work/fuzz.log"
"$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
  -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds" >"$log" 2>&1
status=$?
if [ "$status" -ne 0 ]; then
  tail -n 60 "$log"
  echo "$(basename "$fuzzer"): FAILED (status $status); artifacts in $work/artifacts"
  exit 1
fi
runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$')
echo "$(basename "$fuzzer"): $runs runs in $seconds s, no finding"
