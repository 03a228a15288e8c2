#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   scripts/test.sh             plain build in build/
#   scripts/test.sh --sanitize  AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
#   scripts/test.sh --tsan      ThreadSanitizer build in build-tsan/ of the threaded tests: the quote
#                               API library's, the scheduler's, the logger's, the quote client's and
#                               the quote API stand-in's (scripts/tsan.supp covers Qt, which is not
#                               built with ThreadSanitizer)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

mode=${1:-plain}
bash scripts/setup.sh >/dev/null

jobs=$(nproc)
only=()
case "$mode" in
  plain)      dir=build;      flags=() ;;
  --sanitize) dir=build-asan; flags=(-DQUORVEL_SANITIZE=ON -DQUORVEL_BENCH=OFF) ;;
  --tsan)     dir=build-tsan; flags=(-DQUORVEL_TSAN=ON -DQUORVEL_BENCH=OFF)
              only=(-R '^(kivquoteapi_test_.*|core_test_timer|core_test_logger|quote_test_nquoteclient_.*|ostrelapi_test_.*)$') ;;
  *) echo "usage: $0 [--sanitize|--tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
if [ ${#only[@]} -eq 0 ]; then
  cmake --build "$dir" -j "$jobs"
else
  # Only the selected tests are built (each test is named after its target).
  mapfile -t targets < <(ctest --test-dir "$dir" -N "${only[@]}" | sed -n 's/^ *Test *#[0-9]*: //p')
  [ ${#targets[@]} -gt 0 ] || { echo "no test matches ${only[*]}" >&2; exit 1; }
  cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:strict_string_checks=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp}
ctest --test-dir "$dir" --output-on-failure -j "$jobs" "${only[@]}"
