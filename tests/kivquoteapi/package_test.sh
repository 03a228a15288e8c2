#!/usr/bin/env bash
# libKivQuoteAPI as a program's build finds it: installed into a fresh prefix
# that is then moved, a small caller built against it through find_package
# and through pkg-config and run; the versioned name, exactly the five
# exports, and no installed file naming the source or build folder.
#   package_test.sh SOURCE_DIR BUILD_DIR [EXTRA_CXXFLAGS]
set -euo pipefail
source_dir=$(cd "$1" && pwd)
build_dir=$(cd "$2" && pwd)
flags=${3:-}
work=$(mktemp -d /tmp/kivquoteapi_package_XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "package_test: $*" >&2; exit 1; }

cmake --install "$build_dir" --prefix "$work/staged" --component KivQuoteAPI >/dev/null
mv "$work/staged" "$work/prefix"
prefix=$work/prefix
library=$(find "$prefix" -name libKivQuoteAPI.so.1.0.0)
libdir=$(dirname "$library")
[ "$(readlink "$libdir/libKivQuoteAPI.so")" = libKivQuoteAPI.so.1 ] || fail "no link libKivQuoteAPI.so"
[ "$(readlink "$libdir/libKivQuoteAPI.so.1")" = libKivQuoteAPI.so.1.0.0 ] || fail "no link libKivQuoteAPI.so.1"
readelf -d "$library" | grep -q 'soname: \[libKivQuoteAPI.so.1\]' || fail "SONAME is not libKivQuoteAPI.so.1"
exports=$(nm -D --defined-only "$library" | awk '{ print $3 }' | sort | tr '\n' ' ')
expected="CreateKivQuoteAPI@@KIVQUOTEAPI_1 FreeKivQuoteAPI@@KIVQUOTEAPI_1 GetKivQuoteAPIVersion@@KIVQUOTEAPI_1 \
KIVQUOTEAPI_1 SetKivQuoteAPIDataPath@@KIVQUOTEAPI_1 SetKivQuoteAPILogLevel@@KIVQUOTEAPI_1 "
[ "$exports" = "$expected" ] || fail "exports: $exports"
# UndefinedBehaviorSanitizer keeps each check's source path in the library,
# which no file-prefix map reaches; such a build is never shipped.
scan=(-rlF)
case "$flags" in *undefined*) scan+=(--exclude="$(basename "$library")") ;; esac
! grep "${scan[@]}" -e "$source_dir" -e "$build_dir" "$prefix" || fail "installed files name this machine's folders"

mkdir "$work/caller"
cat >"$work/caller/caller.cpp" <<'CPP'
#include <cstdio>
#include "IKivQuoteAPI.h"
int main(int, char** argv)
{
    QuoteAppInfo info {};
    QuoteLoginRecord login {};
    int result = -1;
    SetKivQuoteAPIDataPath(argv[1]);
    IKivQuoteAPI* api = CreateKivQuoteAPI(&info, &result);
    // Nothing listens on port 1 of the loopback address.
    api->SetServerAddress("127.0.0.1", 1);
    std::printf("%s %d\n", GetKivQuoteAPIVersion(), api->ConnectAndLogin(&login));
    FreeKivQuoteAPI(api);
}
CPP
printf '%s\n' 'cmake_minimum_required(VERSION 3.20)' 'project(Caller CXX)' \
  'find_package(KivQuoteAPI 1.0 REQUIRED)' 'add_executable(caller caller.cpp)' \
  'target_link_libraries(caller PRIVATE KivQuoteAPI::KivQuoteAPI)' >"$work/caller/CMakeLists.txt"
run() {
  [ "$("$@" "$work/log")" = "V9.3.1.0 -1" ] || fail "$1 did not run as expected"
  grep -q 'Cannot connect to server ip:127.0.0.1, port:1.' "$work"/log/*.log || fail "$1 logged nothing"
  rm -rf "$work/log"
}
cmake -S "$work/caller" -B "$work/caller/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_FLAGS="$flags" >/dev/null
cmake --build "$work/caller/build" >/dev/null
run "$work/caller/build/caller"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046,SC2086
c++ $flags "$work/caller/caller.cpp" -o "$work/caller/by_pkgconfig" $(pkg-config --cflags --libs KivQuoteAPI)
LD_LIBRARY_PATH=$(pkg-config --variable=libdir KivQuoteAPI) run "$work/caller/by_pkgconfig"
