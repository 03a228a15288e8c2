#!/usr/bin/env bash
# Installs the terminal into a prefix, moves the prefix, and starts the moved
# terminal through its launcher against the stand-in servers: it must reach
# the quote server and the cloud service, name no path of the build folder,
# warn once about the missing Chinese fonts, and shut down cleanly on SIGTERM.
#   test_install.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/common.sh"

if [ "${1:-}" = --inside ]; then
  # The part that runs with the fixed ports: PREFIX BUILD SOURCE WORK.
  prefix=$2 build=$3 source_dir=$4 work=$5
  program=$prefix/lib/quorvel
  [ -d "$program" ] || program=$(dirname "$(find "$prefix" -name Quorvel -type f | head -n 1)")
  quote_port=$(sed -n 's/.*<Quote .*port="\([0-9]*\)".*/\1/p' "$program/TradeConfig.xml")
  cloud_port=$(grep -E '^QUORVEL_CLOUD_BASE_URL' "$build/CMakeCache.txt" | sed -E 's/.*:([0-9]+)\/?$/\1/')
  # The stand-in's own CA (the one installed with the program), with fresh server material.
  mkdir -p "$work/cloud-data"
  cp "$build/cloud-data/ca.pem" "$build/cloud-data/ca-key.pem" "$work/cloud-data/"
  "$build/bin/cloud-server" --port "$cloud_port" --data "$work/cloud-data" \
    --content "$source_dir/standins/cloud-server/demo" >"$work/cloud.out" 2>&1 &
  cloud=$!
  "$build/bin/quote-server" --port "$quote_port" >"$work/quote.out" 2>&1 &
  quote=$!
  trap 'kill $cloud $quote ${app:-} 2>/dev/null || true; wait' EXIT
  wait_for 20 grep -q '^https://' "$work/cloud.out" || fail "cloud stand-in: $(cat "$work/cloud.out")"
  wait_for 20 grep -qE '^[0-9]+$' "$work/quote.out" || fail "quote stand-in: $(cat "$work/quote.out")"

  # Fonts without Chinese: the warning must come, once.
  cat >"$work/fonts.conf" <<XML
<?xml version="1.0"?>
<fontconfig><dir>/usr/share/fonts/truetype/dejavu</dir><cachedir>$work/fontcache</cachedir></fontconfig>
XML
  mkdir -p "$work/outside"
  (cd "$work/outside" && XDG_DATA_HOME=$work/home FONTCONFIG_FILE=$work/fonts.conf \
    QT_QPA_PLATFORM=offscreen exec "$prefix/bin/quorvel") >"$work/terminal.out" 2>&1 &
  app=$!
  log() { cat "$program"/Logs/*.log 2>/dev/null; }
  started() { log | grep -q 'start-up done, event loop running'; }
  wait_for 90 started || fail "the moved terminal did not start: $(tail -n 20 "$work/terminal.out")"
  grep -q 'GET /1.1/classes/channelConfig' "$work/cloud.out" || fail "the cloud was not reached: $(log)"
  grep -q ' 200$' "$work/cloud.out" || fail "no cloud request answered: $(cat "$work/cloud.out")"
  log | grep -q ' failed: ' && fail "a cloud request failed: $(log | grep ' failed: ')"
  [ "$(log | grep -c 'no Chinese-capable font found')" = 1 ] || fail "not one font warning: $(log)"

  kill -TERM "$app"
  status=0
  wait "$app" || status=$?
  app=
  [ "$status" = 0 ] || fail "exit code $status after SIGTERM"
  log | grep -q 'SIGTERM received, closing the main window' || fail "no signal line: $(log)"
  log | grep -q 'shut-down done, exit code 0' || fail "no shut-down line: $(log)"
  [ -f "$work/home/quorvel/TradeConfig.xml" ] || fail "no TradeConfig.xml in the working folder"
  [ -d "$work/home/quorvel/Resources" ] || fail "no Resources in the working folder"
  exit 0
fi

build=$(realpath "$1")
source_dir=$(realpath "$2")
work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-install.XXXXXX")
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/first" >"$work/install.out"
mv "$work/first" "$work/moved"
prefix=$work/moved
[ -x "$prefix/bin/quorvel" ] || fail "no launcher in $prefix/bin"
found=$(grep -rlF "$build" "$prefix" || true)
[ -z "$found" ] || fail "installed files name the build folder: $found"
found=$(grep -rlF "$work/first" "$prefix" || true)
[ -z "$found" ] || fail "installed files name the install prefix: $found"
found=$(find "$prefix" -name "*-server" -o -name "*_test_*" -o -name "bench_*" -o -name "fuzz_*")
[ -z "$found" ] || fail "installed what is not the product: $found"
exe=$(find "$prefix" -name Quorvel -type f)
readelf -d "$exe" | grep -qE 'RUNPATH.*\[\$ORIGIN\]' || fail "RUNPATH: $(readelf -d "$exe" | grep -E 'RPATH|RUNPATH')"
chart=$(ldd "$exe" | sed -n 's/.*libchartell.so => \([^ ]*\).*/\1/p')
[ "$chart" = "$(dirname "$exe")/libchartell.so" ] || fail "chart library loaded from '$chart'"

in_private_network bash "$0" --inside "$prefix" "$build" "$source_dir" "$work"
echo "install, move and start: passed"
