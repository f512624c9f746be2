#!/usr/bin/env bash
# kestrel-cli killed with SIGKILL at every step it reports and at a seeded
# sample of chunks, for firmware and system upgrades against the virtual
# device on loopback; prints the table, its last line says how many recovered.
# usage: scripts/host-kill.sh [--seed N]   (KESTREL_TEST_BUILD: build folder, default build-asan)
set -euo pipefail
cd "$(dirname "$0")/.."
seed=22
if [[ "${1:-}" == "--seed" && -n "${2:-}" ]]; then seed=$2; fi
build=${KESTREL_TEST_BUILD:-build-asan}
if [[ ! -d "$build" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=address,undefined \
        -DKESTREL_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$build" --target tests_cli kestrel-cli >/dev/null
log=$(mktemp)
trap 'rm -f "$log"' EXIT
status=0
KESTREL_LOOPBACK_ONLY=1 KESTREL_BUILD_DIR="$PWD/$build" KESTREL_HOSTKILL=full KESTREL_HOSTKILL_SEED="$seed" \
  "$build/tests/tests_cli" --gtest_filter='HostKillTest.*' >"$log" 2>&1 || status=$?
grep -v '^host-kill: ' "$log" | grep -E '^(host killed|  )' || true
[[ $status -eq 0 ]] || grep -E 'Failure|Which is|trace' "$log" | head -40 || true
grep '^host-kill: ' "$log" || echo "host-kill: the sweep did not finish (status $status)"
exit $status
