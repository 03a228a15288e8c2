#!/usr/bin/env bash
# scripts/run.sh, run from a build of its own, with no display: a second run
# whose port is taken says so and stops; Ctrl-C (SIGINT to its process
# group), SIGTERM and SIGHUP each end everything it started (the terminal
# after its clean shut-down, the virtual display, both servers) and leave
# nothing in the temporary folder.
#   test_run_stop.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

if [ "${1:-}" = --inside ]; then
  # With the fixed ports: RUN_BUILD SOURCE WORK.
  run_build=$2 source_dir=$3 work=$4
  unset DISPLAY
  export TMPDIR=$work/tmp
  mkdir -p "$TMPDIR"
  # As from a terminal: a process group of its own, and Ctrl-C not ignored
  # (a shell without job control starts its background commands ignoring it).
  run() {
    python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL)
os.setsid()
os.execvp("bash", ["bash"] + sys.argv[1:])' \
      "$source_dir/scripts/run.sh" --no-build --build "$run_build" >"$work/run.out" 2>&1 &
  }
  cloud_port=$(grep -E '^QUORVEL_CLOUD_BASE_URL' "$run_build/CMakeCache.txt" | sed -E 's/.*:([0-9]+)\/?$/\1/')

  # The cloud port taken, as by another run.
  python3 -c 'import socket,sys,time
s=socket.socket(); s.bind(("127.0.0.1",int(sys.argv[1]))); s.listen(); print("ready",flush=True); time.sleep(120)' \
    "$cloud_port" >"$work/blocker.out" &
  blocker=$!
  wait_for 10 grep -q ready "$work/blocker.out" || fail "could not take port $cloud_port"
  run
  status=0
  wait $! || status=$?
  kill "$blocker"
  wait "$blocker" 2>/dev/null || true
  [ "$status" = 1 ] || fail "a run at a taken port ended with $status: $(cat "$work/run.out")"
  grep -q 'already in use' "$work/run.out" || fail "no word of the taken port: $(cat "$work/run.out")"
  grep -q 'another run is going' "$work/run.out" || fail "no hint at the other run: $(cat "$work/run.out")"
  echo "taken port: refused, $(grep -m1 'already in use' "$work/run.out")"

  logs=$run_build/bin/Logs
  for how in INT TERM HUP; do
    rm -rf "$logs"
    run
    pid=$!
    started() { grep -qs 'start-up done, event loop running' "$logs"/*.log; }
    wait_for 90 started || fail "$how: the terminal did not start: $(cat "$work/run.out")"
    display=$(cat "$run_build/servers/display")
    # Everything it starts is its own child.
    pids=$(ps -o pid= --ppid "$pid" | xargs | tr ' ' ',')
    started=$(ps -o comm= -p "$pids" | sort -u | tr '\n' ' ')
    for name in Quorvel Xvfb cloud-server quote-server; do
      [[ " $started" == *" $name "* ]] || fail "$how: $name is not running: $started"
    done
    if [ "$how" = INT ]; then kill -INT -- "-$pid"; else kill "-$how" "$pid"; fi
    status=0
    wait "$pid" || status=$?
    expected=$((128 + $(kill -l "$how")))
    [ "$status" = "$expected" ] || fail "$how: run.sh ended with $status, not $expected: $(cat "$work/run.out")"
    wait_for 10 bash -c "! ps -p '$pid,$pids' >/dev/null" || fail "$how: left running: $(ps -p "$pids")"
    grep -q 'shut-down done, exit code 0' "$logs"/*.log || fail "$how: no clean shut-down: $(cat "$logs"/*.log)"
    [ -z "$(ls -A "$TMPDIR")" ] || fail "$how: left in the temporary folder: $(ls -A "$TMPDIR")"
    for left in "/tmp/.X$display-lock" "/tmp/.X11-unix/X$display"; do
      [ ! -e "$left" ] || fail "$how: left $left"
    done
    echo "SIG$how: run.sh ended with $status, and all it started: $started"
  done
  exit 0
fi

build=$(realpath "$1")
source_dir=$(realpath "$2")
# A build folder of the run's own (its servers' logs, its TradeConfig.xml,
# the terminal's Logs beside a linked program), sharing the built programs.
work=$(mktemp -d "$PWD/run-stop.XXXXXX")
trap 'rm -rf "$work"' EXIT
run_build=$work/build
mkdir -p "$run_build/bin" "$run_build/cloud-data"
grep -E '^QUORVEL_CLOUD_BASE_URL' "$build/CMakeCache.txt" >"$run_build/CMakeCache.txt"
cp "$build/cloud-data/ca.pem" "$build/cloud-data/ca-key.pem" "$run_build/cloud-data/"
for file in Quorvel cloud-server quote-server; do
  ln "$build/bin/$file" "$run_build/bin/$file" 2>/dev/null || cp "$build/bin/$file" "$run_build/bin/$file"
done
for file in "$build"/bin/*.so "$build"/bin/*.pem; do
  ln -s "$file" "$run_build/bin/"
done
ln -s "$build/bin/Resources" "$run_build/bin/Resources"
mkdir -p "$work/standins/cloud-server"
ln -s "$source_dir/standins/cloud-server/demo" "$work/standins/cloud-server/demo"

in_private_network bash "$0" --inside "$run_build" "$source_dir" "$work"
echo "run.sh stops: passed"
