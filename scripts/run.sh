#!/usr/bin/env bash
# Builds the terminal and runs it end to end against the local stand-in
# servers (quote server on 127.0.0.1:18442, cloud service on the build's
# cloud port, 18443 by default). Without a display it runs on a virtual one
# (Xvfb).
#   scripts/run.sh [--no-build] [--build DIR] [arguments for the terminal]
#     --no-build   run what DIR already holds
#     --build DIR  the build folder (default: build)
# Stop it by closing the terminal's window, with Ctrl-C, or with kill
# (SIGTERM) or SIGHUP to this script: the terminal shuts down as when its
# window closes, then the display and the servers end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
build_first=1
while [ $# -gt 0 ]; do
  case "$1" in
    --no-build) build_first=0; shift ;;
    --build) build=$(realpath -m "$2"); shift 2 ;;
    *) break ;;
  esac
done
cd "$root"
if [ "$build_first" = 1 ]; then
  bash scripts/setup.sh >/dev/null
  source scripts/configure.sh
  configure_build "$build"
  cmake --build "$build" -j "$(nproc)"
fi

source scripts/servers.sh
app_pid=
xvfb_pid=
# Ends what this script started, the terminal first so that it still has its
# display and servers while it shuts down.
cleanup() {
  local i
  if [ -n "$app_pid" ] && kill -0 "$app_pid" 2>/dev/null; then
    kill -TERM "$app_pid" 2>/dev/null || true
    for i in $(seq 1 100); do
      kill -0 "$app_pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$app_pid" 2>/dev/null || true
  fi
  [ -n "$app_pid" ] && wait "$app_pid" 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill -TERM "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  app_pid= xvfb_pid=
  stop_servers
}
stop_on() {
  trap - INT TERM HUP
  echo "run: $1, stopping"
  cleanup
  exit "$2"
}
# Set before anything starts: if the second server fails, the first still goes.
trap cleanup EXIT
trap 'stop_on SIGINT 130' INT
trap 'stop_on SIGTERM 143' TERM
trap 'stop_on SIGHUP 129' HUP

if ! start_servers "$build" "$DEMO_QUOTE_PORT"; then
  echo "run: the servers could not start; if their ports are taken, another run is going:" \
    "stop it (Ctrl-C in its terminal) or the program that holds them" >&2
  exit 1
fi

if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display; running on a virtual one (Xvfb)"
  # Xvfb picks a free display itself and names it on the descriptor once it is ready.
  display_file=$SERVERS_LOG/display
  : >"$display_file"
  # A session of its own, like the servers: the terminal must not lose its
  # display to a Ctrl-C while it shuts down.
  setsid Xvfb -displayfd 3 -screen 0 1920x1080x24 -nolisten tcp 3>"$display_file" >"$SERVERS_LOG/xvfb.out" 2>&1 &
  xvfb_pid=$!
  for i in $(seq 1 100); do
    grep -qE '^[0-9]+$' "$display_file" && break
    kill -0 "$xvfb_pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! grep -qE '^[0-9]+$' "$display_file"; then
    echo "run: the virtual display did not start; see $SERVERS_LOG/xvfb.out" >&2
    exit 1
  fi
  export DISPLAY=:$(cat "$display_file")
fi

# Qt keeps its runtime files there; without one it would leave them in /tmp.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR=$SERVERS_LOG/runtime
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
fi
cd "$build/bin"
# In the background, so a signal reaches this script's traps at once.
./Quorvel "$@" &
app_pid=$!
set +e
wait "$app_pid"
status=$?
set -e
app_pid=
exit "$status"
