# Sourced by run.sh and screenshots.sh: starts the local quote server and
# cloud service and writes the terminal's TradeConfig.xml beside the program.
# The cloud address is fixed when the build is configured (QUORVEL_CLOUD_BASE_URL,
# default https://127.0.0.1:18443), so the cloud service takes that port.

start_servers() {
  local build=$1
  local root
  root=$(cd "$build/.." && pwd)
  local cloud_port
  cloud_port=$(grep -E '^QUORVEL_CLOUD_BASE_URL' "$build/CMakeCache.txt" | sed -E 's/.*:([0-9]+)\/?$/\1/')
  SERVERS_LOG=$build/servers
  mkdir -p "$SERVERS_LOG"

  "$build/bin/cloud-server" --port "$cloud_port" \
    --data "$build/cloud-data" --content "$root/standins/cloud-server/demo" \
    >"$SERVERS_LOG/cloud-server.out" 2>&1 &
  CLOUD_PID=$!

  "$build/bin/quote-server" --port 0 >"$SERVERS_LOG/quote-server.out" 2>&1 &
  QUOTE_PID=$!

  local port="" i
  for i in $(seq 1 100); do
    port=$(head -n 1 "$SERVERS_LOG/quote-server.out" 2>/dev/null | grep -oE '[0-9]+' | tail -n 1 || true)
    [ -n "$port" ] && break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "servers: the quote server did not start; see $SERVERS_LOG/quote-server.out" >&2
    return 1
  fi
  # The first line is its address once it listens; it ends at once when the
  # port is taken (by another program or by a server left from an earlier run).
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

# The terminal's configuration for the local servers: FILE QUOTE_PORT.
write_trade_config() {
  local port=$2
  cat >"$1" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<root>
  <Quote name="local" ip="127.0.0.1" port="$port" username="demo" password="demo"/>
  <LeanCloud id="demoAppId" key="demoAppKey" productID="quorvel-demo" channelName="official"
             trigger_time="60" reg_class="demo"/>
</root>
XML
}

stop_servers() {
  [ -n "${QUOTE_PID:-}" ] && kill "$QUOTE_PID" 2>/dev/null || true
  [ -n "${CLOUD_PID:-}" ] && kill "$CLOUD_PID" 2>/dev/null || true
  wait 2>/dev/null || true
}
