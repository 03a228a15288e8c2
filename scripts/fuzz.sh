#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one in
# turn, keeping its corpus in build-fuzz/corpus/:
#   kivquoteapi_fuzz_params, kivquoteapi_fuzz_recvbuffer  the quote API library's
#     codec and receive path, from fuzz/kivquoteapi/seeds/<target>/ (valid frames
#     of every command, made by the library's codec: see tests/kivquoteapi/FuzzSeeds.h)
#   quote_fuzz_wire  the terminal's quote protocol: the quote API's framing and
#     dispatch into the quote client, from fuzz/quote/seeds/quote_fuzz_wire/
#     (a reply or push of every kind)
# Each run starts from the committed seeds as well as from what earlier runs found.
#   scripts/fuzz.sh --short   about 30 s per target (what CI runs)
#   scripts/fuzz.sh           10 minutes per target: the longer local run
#   FUZZ_SECONDS=3600 scripts/fuzz.sh   any other length per target
# A crash stops the script with the fuzzer's report and leaves the input as
# build-fuzz/crash-* for replaying: build-fuzz/fuzz/<folder>/<target> <file>.
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
  -DQUORVEL_FUZZ=ON -DQUORVEL_ONLY_KIVQUOTEAPI=OFF -DQUORVEL_TESTS=OFF -DQUORVEL_BENCH=OFF -DQUORVEL_WERROR=ON >/dev/null
targets=(kivquoteapi/kivquoteapi_fuzz_params kivquoteapi/kivquoteapi_fuzz_recvbuffer quote/quote_fuzz_wire)
cmake --build build-fuzz -j "$(nproc)" --target "${targets[@]##*/}"

for path in "${targets[@]}"; do
  folder=${path%/*}
  target=${path##*/}
  corpus=build-fuzz/corpus/$target
  seeds=$root/fuzz/$folder/seeds/$target
  [ -d "$seeds" ] || { echo "fuzz: no seed corpus in $seeds" >&2; exit 1; }
  options=(-max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048)
  if [ -f "$root/fuzz/$folder/wire.dict" ]; then
    options+=(-dict="$root/fuzz/$folder/wire.dict")
  fi
  # The quote client echoes its log lines to standard output; the fuzzer reports on standard error.
  if [ "$folder" = quote ]; then
    options+=(-close_fd_mask=1)
  fi
  mkdir -p "$corpus"
  echo "fuzz: $target for ${seconds}s"
  (cd build-fuzz && "./fuzz/$folder/$target" "${options[@]}" "corpus/$target" "$seeds")
done
