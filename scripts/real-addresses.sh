#!/usr/bin/env bash
# The product with its own defaults against the virtual device at the device's
# real addresses (192.168.100.1, TCP 22488 and 22400, discovery on UDP 22536 by
# broadcast), in two network namespaces joined by a veth pair. The product's
# namespace holds nothing but its end of the pair and its own lo, so no packet
# of this run can reach any other network; both are removed on every exit.
#
#   bash scripts/real-addresses.sh [BUILD_DIR]      (root; exit 77: cannot run here)
set -u

build=$(cd "${1:-build-asan}" 2>/dev/null && pwd) || { echo "real-addresses: no build folder ${1:-build-asan}"; exit 1; }
sim=$build/kestrel-sim
cli=$build/kestrel-cli

skip() {
  echo "real-addresses: skipped: $*"
  exit 77
}
[ "$(id -u)" = 0 ] || skip "making network namespaces needs root"
command -v ip >/dev/null || skip "no ip command (iproute2)"
[ -x "$sim" ] && [ -x "$cli" ] || { echo "real-addresses: build kestrel-sim and kestrel-cli in $build first"; exit 1; }

device_ns=kestrel-dev-$$
host_ns=kestrel-host-$$
work=$(mktemp -d /tmp/kestrel-real-XXXXXX)
sim_pid=
step_pid=
namespaces=()

cleanup() {
  for pid in $step_pid $sim_pid; do
    kill -TERM "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  # Removing a namespace removes the veth end in it, and with it the peer.
  for ns in "${namespaces[@]}"; do ip netns del "$ns" 2>/dev/null; done
  [ -n "${KESTREL_REAL_KEEP:-}" ] && cp -r "$work/root" "$KESTREL_REAL_KEEP"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

ip netns add "$device_ns" 2>"$work/netns.err" || skip "ip netns does not work here: $(cat "$work/netns.err")"
namespaces+=("$device_ns")
ip netns add "$host_ns" || exit 1
namespaces+=("$host_ns")

# The pair is made inside the namespaces: the machine's own interfaces and
# routes are never touched.
set -e
ip -n "$device_ns" link add veth0 type veth peer name veth0 netns "$host_ns"
ip -n "$device_ns" addr add 192.168.100.1/24 dev veth0
ip -n "$host_ns" addr add 192.168.100.2/24 dev veth0
for ns in "$device_ns" "$host_ns"; do
  ip -n "$ns" link set lo up
  ip -n "$ns" link set veth0 up
done
set +e

links=$(ip -n "$host_ns" -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
if [ "$links" != "lo veth0 " ]; then
  echo "real-addresses: the product's namespace holds more than lo and veth0: $links"
  exit 1
fi

# A clean environment on both sides: no KESTREL_* setting reaches the product.
base_env=(env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 HOME="$work")
for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
  [ -n "${!name:-}" ] && base_env+=("$name=${!name}")
done
root=$work/root
mkdir -p "$root/config"

ip netns exec "$device_ns" "${base_env[@]}" TMPDIR="$work" "$sim" --listen 192.168.100.1 \
  --device-port 22488 --config-port 22400 --discovery-port 22536 --no-pty --web-port 8080 \
  --services-file "$root/config/services.ini" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
for _ in $(seq 100); do
  grep -q '^export' "$work/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || break
  sleep 0.1
done
if ! grep -q '^export' "$work/sim.out"; then
  echo "real-addresses: kestrel-sim did not start in $device_ns"
  cat "$work/sim.out" "$work/sim.err"
  exit 1
fi
grep '^#' "$work/sim.out"
echo "# product in $host_ns: $(ip -n "$host_ns" -o -4 addr show dev veth0 | awk '{print $4}'), routes: $(ip -n "$host_ns" route | tr '\n' ';')"

passed=()
failed=()
# Runs the product in its namespace with only the working root set; exec, so
# that the pid step() holds is the product's own.
product() {
  exec ip netns exec "$host_ns" "${base_env[@]}" TARNFIELD_HOME="$root" "$cli" "$@"
}
# The Wi-Fi key comes on stdin, never on the command line.
product_with_key() { product "$@" <<<workshop-key; }
# step NAME 'PATTERN[;PATTERN...]' COMMAND...: passes when the command ends
# with status 0 and its output matches every pattern.
step() {
  local name=$1 expects=$2
  shift 2
  echo "\$ kestrel-cli ${*:2}"
  # In the background, so that a signal reaches the trap at once.
  "$@" >"$work/step.out" 2>&1 &
  step_pid=$!
  wait "$step_pid"
  local status=$? out
  step_pid=
  out=$(cat "$work/step.out")
  printf '%s\n' "$out" | sed 's/^/  /'
  local ok=$((status == 0)) expect
  IFS=';' read -ra patterns <<<"$expects"
  for expect in "${patterns[@]}"; do grep -q -- "$expect" <<<"$out" || ok=0; done
  if [ "$ok" = 1 ]; then
    passed+=("$name")
  else
    echo "  -> FAILED (exit $status, expected \"$expects\")"
    failed+=("$name")
  fi
}

step "scan" "lan .*192\.168\.100\.1" product scan --link lan
step "info" "^firmware: V1.10, newest V1.20;system: V3.10 (205), newest 206" product info
step "upgrade firmware" "upgraded" product upgrade firmware
step "upgrade system" "system upgraded" product upgrade system
step "wifi" "Wifi Connect Success" product_with_key wifi --ssid Workshop
step "info after" "^firmware: V1.20, .*up to date;J2534 firmware: V2.20, .*up to date;system: .*(206), .*up to date" product info

if [ ${#failed[@]} -ne 0 ]; then
  echo "# kestrel-sim said:"
  cat "$work/sim.err"
  echo "real-addresses: FAILED: ${failed[*]}; passed: ${passed[*]:-none}"
  exit 1
fi
echo "real-addresses: passed: ${passed[*]} (device 192.168.100.1 in $device_ns, product with its own defaults in $host_ns)"
