#!/usr/bin/env bash
# The main job against the virtual device, all on loopback: start kestrel-sim,
# find it on the LAN and on its USB serial port, read it, upgrade both firmware
# images and its system, set its Wi-Fi, and read it again. Installs missing
# Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${KESTREL_DEMO_BUILD:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=OFF -DKESTREL_DESKTOP=ON >/dev/null
cmake --build "$build" --target kestrel-cli kestrel-sim

export KESTREL_LOOPBACK_ONLY=1
export TARNFIELD_HOME=${TARNFIELD_HOME:-$(mktemp -d /tmp/kestrel-demo-XXXXXX)}
serial=${KESTREL_DEMO_SERIAL:-5RHM10000001}
envfile="$TARNFIELD_HOME/sim.env"
rm -f "$envfile"
echo "working root: $TARNFIELD_HOME"

"$build/kestrel-sim" --serial "$serial" --env-file "$envfile" >"$TARNFIELD_HOME/sim.log" 2>&1 &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [ -s "$envfile" ] && break
  kill -0 $sim 2>/dev/null || { cat "$TARNFIELD_HOME/sim.log"; exit 1; }
  sleep 0.1
done
# shellcheck disable=SC1090
source "$envfile"
grep '^#' "$TARNFIELD_HOME/sim.log" || true

cli="$build/kestrel-cli"
step() { echo; echo "== kestrel-cli $*"; "$cli" "$@"; }
step scan --link lan
step scan --link usb
step info
step upgrade firmware
step upgrade system
echo; echo "== kestrel-cli wifi --ssid Workshop   (key on stdin, never on the command line)"
printf '%s\n' 'demo-key-0451' | "$cli" wifi --ssid Workshop
step info
step upgrade firmware

# --- The desktop program ----------------------------------------------------
# Opens the desktop program against the same virtual device when a display is
# there; the window reads the device at once (the device is listed as plugged
# in). KESTREL_DEMO_GUI_SECONDS closes it after that many seconds.
cmake --build "$build" --target kestrel
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo; echo "== kestrel (close the window to end the demo)"
  if [ -n "${KESTREL_DEMO_GUI_SECONDS:-}" ]; then
    timeout "$KESTREL_DEMO_GUI_SECONDS" "$build/kestrel" || true
  else
    "$build/kestrel"
  fi
else
  echo
  echo "No display, so the desktop program was not opened. Under a virtual display:"
  echo "  KESTREL_DEMO_GUI_SECONDS=20 xvfb-run -a bash scripts/demo.sh"
fi
