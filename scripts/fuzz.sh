#!/usr/bin/env bash
# Builds the quote API library's libFuzzer targets with clang in build-fuzz/
# and runs each one in turn, keeping its corpus in build-fuzz/corpus/. Each
# run starts from the committed seeds in fuzz/kivquoteapi/seeds/<target>/
# (valid frames of every command, made by the library's codec: see
# tests/kivquoteapi/FuzzSeeds.h) as well as from what earlier runs found.
#   scripts/fuzz.sh --short   about 30 s per target (what CI runs)
#   scripts/fuzz.sh           10 minutes per target: the longer local run
#   FUZZ_SECONDS=3600 scripts/fuzz.sh   any other length per target
# A crash stops the script with the fuzzer's report and leaves the input as
# build-fuzz/crash-* for replaying: build-fuzz/fuzz/kivquoteapi/<target> <file>.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

seconds=600
if [ "${1:-}" = "--short" ]; then
  seconds=30
elif [ -n "${1:-}" ]; then
  echo "usage: $0 [--short]" >&2
  exit 2
fi
seconds=${FUZZ_SECONDS:-$seconds}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVEL_FUZZ=ON -DQUORVEL_ONLY_KIVQUOTEAPI=ON -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target kivquoteapi_fuzz_params kivquoteapi_fuzz_recvbuffer

for target in kivquoteapi_fuzz_params kivquoteapi_fuzz_recvbuffer; do
  corpus=build-fuzz/corpus/$target
  seeds=$root/fuzz/kivquoteapi/seeds/$target
  [ -d "$seeds" ] || { echo "fuzz: no seed corpus in $seeds" >&2; exit 1; }
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s"
  (cd build-fuzz && "./fuzz/kivquoteapi/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -dict="$root/fuzz/kivquoteapi/wire.dict" -rss_limit_mb=2048 "corpus/$target" "$seeds")
done
