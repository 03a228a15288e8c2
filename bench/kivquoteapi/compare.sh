#!/usr/bin/env bash
# Runs two builds of bench_kivquoteapi in turn, round after round, so that
# both see the same moments of a shared machine; prints the load average of
# each round and each run's frames/s.
#   bench/kivquoteapi/compare.sh BEFORE_BINARY AFTER_BINARY [ROUNDS] [FILTER]
set -euo pipefail
before=${1:?usage: $0 BEFORE_BINARY AFTER_BINARY [ROUNDS] [FILTER]}
after=${2:?usage: $0 BEFORE_BINARY AFTER_BINARY [ROUNDS] [FILTER]}
rounds=${3:-5}
filter=${4:-BM_LoopbackQuoteFrames}

run() {
  "$1" --benchmark_filter="$filter" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
    2>/dev/null | awk '/_median/ { for (i = 1; i <= NF; ++i) if ($i ~ /^frames\/s=/) print substr($i, 10) }'
}

printf '%-6s %-18s %-12s %-12s\n' round load before after
for round in $(seq 1 "$rounds"); do
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  b=$(run "$before")
  a=$(run "$after")
  [ -n "$b" ] && [ -n "$a" ] || { echo "compare: a run printed no frames/s" >&2; exit 1; }
  printf '%-6s %-18s %-12s %-12s\n' "$round" "$load" "$b" "$a"
done
