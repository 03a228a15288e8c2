#!/usr/bin/env bash
# Builds the terminal and runs it end to end against the local stand-in
# servers (quote server and cloud service), all on 127.0.0.1.
# Without a display it runs on a virtual one (Xvfb).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"

source scripts/servers.sh
# Set before anything starts: if the second server fails, the first still goes.
trap stop_servers EXIT
start_servers "$root/build"

cd build/bin
if [ -z "${DISPLAY:-}" ]; then
  echo "run: no display; running on a virtual one (Xvfb)"
  xvfb-run -a -s "-screen 0 1920x1080x24" ./Quorvel "$@"
else
  ./Quorvel "$@"
fi
