#!/usr/bin/env bash
# Builds Kestrel and runs the main job against the virtual device on loopback.
# Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${KESTREL_DEMO_BUILD:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target kestrel-cli
export KESTREL_LOOPBACK_ONLY=1
export TARNFIELD_HOME=${TARNFIELD_HOME:-$(mktemp -d /tmp/kestrel-demo-XXXXXX)}
echo "working root: $TARNFIELD_HOME"
"$build/kestrel-cli" frame 21 05
