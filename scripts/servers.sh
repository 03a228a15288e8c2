# Sourced by run.sh and screenshots.sh: starts the local quote server and
# cloud service and writes the terminal's TradeConfig.xml beside the program.
#   start_servers BUILD [QUOTE_PORT]   (QUOTE_PORT 0, the default: any free port)
#   stop_servers
# The cloud address is fixed when the build is configured (QUORVEL_CLOUD_BASE_URL,
# default https://127.0.0.1:18443), so the cloud service takes that port; the
# data folder BUILD/cloud-data holds its CA, the one the build put beside the
# program and installs with it.

servers_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# The quote server's port in the default TradeConfig.xml, the one run.sh uses.
DEMO_QUOTE_PORT=$(sed -n 's/.*<Quote .*port="\([0-9]*\)".*/\1/p' "$servers_root/resources/TradeConfig.xml")

start_servers() {
  local build=$1 quote_port=${2:-0}
  local root
  root=$(cd "$build/.." && pwd)
  local cloud_port
  cloud_port=$(grep -E '^QUORVEL_CLOUD_BASE_URL' "$build/CMakeCache.txt" | sed -E 's/.*:([0-9]+)\/?$/\1/')
  SERVERS_LOG=$build/servers
  mkdir -p "$SERVERS_LOG"

  # Sessions of their own: a Ctrl-C at the terminal reaches the caller, which
  # stops the servers after the terminal has shut down.
  setsid "$build/bin/cloud-server" --port "$cloud_port" \
    --data "$build/cloud-data" --content "$root/standins/cloud-server/demo" \
    >"$SERVERS_LOG/cloud-server.out" 2>&1 &
  CLOUD_PID=$!

  setsid "$build/bin/quote-server" --port "$quote_port" >"$SERVERS_LOG/quote-server.out" 2>&1 &
  QUOTE_PID=$!

  # Each prints its address as its first line once it listens, and ends at
  # once when its port is taken (by another program, or another run).
  local port="" i
  for i in $(seq 1 100); do
    port=$(head -n 1 "$SERVERS_LOG/quote-server.out" 2>/dev/null | grep -oE '^[0-9]+' || true)
    [ -n "$port" ] && break
    kill -0 "$QUOTE_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "servers: the quote server did not start on port $quote_port:" >&2
    cat "$SERVERS_LOG/quote-server.out" >&2
    return 1
  fi
  for i in $(seq 1 100); do
    head -n 1 "$SERVERS_LOG/cloud-server.out" 2>/dev/null | grep -q '^https://' && break
    kill -0 "$CLOUD_PID" 2>/dev/null || break
    sleep 0.1
  done
  if ! head -n 1 "$SERVERS_LOG/cloud-server.out" 2>/dev/null | grep -q '^https://' \
    || ! kill -0 "$CLOUD_PID" 2>/dev/null; then
    echo "servers: the cloud service did not start on port $cloud_port:" >&2
    cat "$SERVERS_LOG/cloud-server.out" >&2
    return 1
  fi
  echo "servers: quote server on 127.0.0.1:$port, cloud service on port $cloud_port"

  write_trade_config "$build/bin/TradeConfig.xml" "$port"
}

# The terminal's configuration for the local servers: the default one, with
# the quote server's port. FILE QUOTE_PORT.
write_trade_config() {
  sed "s/\(<Quote .*port=\"\)[0-9]*\"/\1$2\"/" "$servers_root/resources/TradeConfig.xml" >"$1"
}

stop_servers() {
  [ -n "${QUOTE_PID:-}" ] && kill "$QUOTE_PID" 2>/dev/null || true
  [ -n "${CLOUD_PID:-}" ] && kill "$CLOUD_PID" 2>/dev/null || true
  [ -n "${QUOTE_PID:-}" ] && wait "$QUOTE_PID" 2>/dev/null || true
  [ -n "${CLOUD_PID:-}" ] && wait "$CLOUD_PID" 2>/dev/null || true
  QUOTE_PID= CLOUD_PID=
}
