# Sourced by the script tests: scratch folder, failure, waiting, and the
# network namespace that gives the fixed ports of the demo setup to one test.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# wait_for SECONDS COMMAND...: polls the command until it succeeds.
wait_for() {
  local limit=$1 i
  shift
  for i in $(seq 1 $((limit * 10))); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

# Runs the command in a network namespace of its own where one is allowed,
# so that the fixed ports (quote 18442, cloud 18443) are free whatever else
# runs on the machine; otherwise on the machine's own loopback.
in_private_network() {
  if unshare -rn true 2>/dev/null; then
    unshare -rn bash -c 'ip link set lo up && exec "$@"' bash "$@"
  else
    "$@"
  fi
}
