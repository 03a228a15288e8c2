#!/usr/bin/env bash
# Runs the built test suite once with `ctest -j` and prints its wall time, the
# sum of the tests' own times and the slowest tests.
#   scripts/test-times.sh [build-dir] [jobs]     (defaults: build, 8)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$root/build}
jobs=${2:-8}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
start=$(date +%s.%N)
status=0
ctest --test-dir "$dir" -j "$jobs" >"$log" 2>&1 || status=$?
end=$(date +%s.%N)
grep -E 'tests passed|tests failed|\*\*\*|Failed|Timeout|Not Run' "$log" | grep -v '^ *[0-9]*/[0-9]* Test *#[0-9]*:.*Passed' || true
sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: +([^ ]+) .* ([0-9.]+) sec$/\2 \1/p' "$log" | sort -rn >"$log.times"
echo "slowest:"
head -8 "$log.times" | awk '{printf "  %7.2f s  %s\n", $1, $2}'
awk -v s="$start" -v e="$end" '{sum += $1; n++}
  END {printf "tests: %d   wall: %.1f s   sum of test times: %.1f s\n", n, e - s, sum}' "$log.times"
rm -f "$log.times"
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$status"
