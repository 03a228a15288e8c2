#!/usr/bin/env bash
# Memory of the running terminal over time: malloc's in-use total and the
# resident set size, sampled every few seconds by a preloaded watcher
# (memwatch.c), while the terminal runs on a virtual display against the
# local quote server and cloud service.
#
#   bench/terminal/memory.sh [--contracts N] [--rate R] [--minutes M]
#                            [--period S] [--display :D] [--out DIR] [--build DIR]
#
#   --contracts N  0 (default): the quote server's built-in market; else a
#                  market of N futures commodities with one main contract
#                  each, so that all N rows of the first table are live
#   --rate R       quote-server market steps per second (default 0: no quotes)
#   --minutes M    how long the terminal runs (default 10)
#   --period S     seconds between samples (default 10)
#   --display :D   X display (default :99); when none is there, Xvfb is started on
#                  it and stopped at the end, so runs at once share one started before
#   --out DIR      where samples and logs go (default bench-memory-N-R in the build folder)
#   --build DIR    the build folder (default build)
#
# Prints the samples at 1, 10 and 30 minutes (those reached) and the growth
# per minute between the first minute and the end; all samples are in
# DIR/samples.txt as "seconds in-use-bytes rss-bytes". Several runs may go at
# once with different --out folders; the cloud service is needed only while
# the terminal starts, so a run reuses one already listening on the port.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
# For write_trade_config.
source "$root/scripts/servers.sh"

contracts=0 rate=0 minutes=10 period=10 display=:99 out="" build="$root/build"
while [ $# -gt 0 ]; do
  case "$1" in
    --contracts) contracts=$2; shift 2 ;;
    --rate) rate=$2; shift 2 ;;
    --minutes) minutes=$2; shift 2 ;;
    --period) period=$2; shift 2 ;;
    --display) display=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    *) sed -n '2,25p' "$0" >&2; exit 2 ;;
  esac
done
[ -n "$out" ] || out="$build/bench-memory-$contracts-$rate"
mkdir -p "$out"
out=$(cd "$out" && pwd)
bin="$build/bin"
for f in Quorvel quote-server cloud-server; do
  [ -x "$bin/$f" ] || { echo "memory: $bin/$f is missing; build the project first" >&2; exit 1; }
done

cc -O2 -shared -fPIC -o "$out/memwatch.so" "$root/bench/terminal/memwatch.c" -lpthread

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

if [ ! -e "/tmp/.X11-unix/X${display#:}" ]; then
  Xvfb "$display" -screen 0 1920x1080x24 -nolisten tcp >"$out/xvfb.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 50); do
    [ -e "/tmp/.X11-unix/X${display#:}" ] && break
    sleep 0.1
  done
fi

market=()
if [ "$contracts" -gt 0 ]; then
  {
    printf '{"commodities": ['
    for i in $(seq 0 $((contracts - 1))); do
      [ "$i" -gt 0 ] && printf ','
      printf '{"security_type": "FO", "exchange_no": "BX", "commodity_no": "B%d", "price": %d, ' "$i" $((50 + i % 500))
      printf '"contract_no_list": [{"contract_no": "2701", "flags": 1}]}'
    done
    printf ']}\n'
  } >"$out/market.json"
  market=(--market "$out/market.json")
fi

"$bin/quote-server" --port 0 --rate "$rate" "${market[@]}" >"$out/quote-server.out" 2>&1 &
pids+=($!)
port=""
for _ in $(seq 1 100); do
  port=$(head -n 1 "$out/quote-server.out" 2>/dev/null | grep -oE '^[0-9]+$' || true)
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { echo "memory: the quote server did not start; see $out/quote-server.out" >&2; exit 1; }

# The terminal trusts the stand-in's certificate authority, which the build
# keeps in its cloud-data folder and places beside the program.
cloud_port=$(grep -E '^QUORVEL_CLOUD_BASE_URL' "$build/CMakeCache.txt" | sed -E 's/.*:([0-9]+)\/?$/\1/')
cloud_data=$build/cloud-data
if ! (exec 3<>"/dev/tcp/127.0.0.1/$cloud_port") 2>/dev/null; then
  "$bin/cloud-server" --port "$cloud_port" --data "$cloud_data" \
    --content "$root/standins/cloud-server/demo" >"$out/cloud-server.out" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do
    [ -s "$out/cloud-server.out" ] && break
    sleep 0.1
  done
fi

# The terminal reads its configuration and pictures from its working folder
# and downloads the cloud's pictures there.
work="$out/work"
rm -rf "$work"
mkdir -p "$work"
ln -s "$bin/Resources" "$work/Resources"
write_trade_config "$work/TradeConfig.xml" "$port"

rm -f "$out/samples.txt"
(cd "$work" && DISPLAY=$display MEMWATCH_OUT="$out/samples.txt" MEMWATCH_PERIOD="$period" \
  LD_PRELOAD="$out/memwatch.so" exec "$bin/Quorvel" >"$out/quorvel.out" 2>&1) &
terminal=$!
pids+=("$terminal")
echo "memory: terminal $terminal, quote server on port $port ($contracts contracts, rate $rate), samples in $out/samples.txt"

end=$((SECONDS + minutes * 60 + period))
while [ $SECONDS -lt $end ]; do
  if ! kill -0 "$terminal" 2>/dev/null; then
    echo "memory: the terminal ended early; see $out/quorvel.out" >&2
    exit 1
  fi
  sleep 5
done

# An empty table is no result: the watcher wrote nothing (not preloaded, or the
# terminal not the process it was preloaded into).
if [ ! -s "$out/samples.txt" ]; then
  echo "memory: no samples were gathered; see $out/quorvel.out" >&2
  exit 1
fi

awk -v minutes="$minutes" '
  function mb(b) { return sprintf("%.1f MB", b / 1048576) }
  { t[NR] = $1; heap[NR] = $2; rss[NR] = $3 }
  END {
    printf "%8s %14s %14s\n", "minute", "in use", "RSS"
    n = split("1 10 30", marks, " ")
    for (m = 1; m <= n; ++m) {
      want = marks[m] * 60
      if (want > minutes * 60) continue
      for (i = 1; i <= NR; ++i) if (t[i] >= want) break
      if (i > NR) continue
      printf "%8d %14s %14s\n", marks[m], mb(heap[i]), mb(rss[i])
      if (marks[m] == 1) first = i
    }
    if (first && NR > first && t[NR] > t[first]) {
      span = (t[NR] - t[first]) / 60
      printf "growth from minute 1 to %.1f: in use %+.1f KB/min, RSS %+.1f KB/min\n", t[NR] / 60,
        (heap[NR] - heap[first]) / 1024 / span, (rss[NR] - rss[first]) / 1024 / span
    }
  }' "$out/samples.txt" | tee "$out/summary.txt"
