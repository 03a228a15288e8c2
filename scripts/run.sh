#!/usr/bin/env bash
# Builds the terminal and runs it end to end against the local stand-in servers.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh >/dev/null
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
cd build/bin
exec ./Quorvel "$@"
