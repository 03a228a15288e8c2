#!/usr/bin/env bash
# Builds and runs the whole test suite, with warnings as errors.
#   scripts/test.sh             plain build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan      ThreadSanitizer build in build-tsan/ (scripts/tsan.supp names the
#                               races inside Qt's own code, which is not built with ThreadSanitizer)
# With GTEST_SHUFFLE=1 every test program runs its tests in a random order; the
# seed (GTEST_RANDOM_SEED, chosen here when unset) is printed to replay it.
# A skipped test counts as a failure (see QUORVEL_SKIPPED_OUTPUT).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=${1:-plain}
bash scripts/setup.sh >/dev/null

jobs=$(nproc)
case "$mode" in
  plain)      dir=build;      flags=() ;;
  --sanitize) dir=build-asan; flags=(-DQUORVEL_SANITIZE=ON -DQUORVEL_BENCH=OFF) ;;
  --tsan)     dir=build-tsan; flags=(-DQUORVEL_TSAN=ON -DQUORVEL_BENCH=OFF) ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

source scripts/configure.sh
configure_build "$dir" "${flags[@]}"
cmake --build "$dir" -j "$jobs"

if [ "${GTEST_SHUFFLE:-0}" != 0 ]; then
  export GTEST_RANDOM_SEED=${GTEST_RANDOM_SEED:-$((RANDOM % 99999 + 1))}
  echo "test: shuffled order, GTEST_SHUFFLE=1 GTEST_RANDOM_SEED=$GTEST_RANDOM_SEED"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:history_size=7:suppressions=$root/scripts/tsan.supp}
ctest --test-dir "$dir" --output-on-failure --no-tests=error -j "$jobs"
