#!/usr/bin/env bash
# Power lost at every chunk position of both firmware images and of the system
# package, over TCP and the pty, each followed by the same upgrade run again:
# the full sweep of the suite's PowerLossTest. Prints one line per image and
# link, then what passed. KESTREL_POWER_LOSS_SEED=N replays another draw of
# the sampled positions. The whole output stays in the build folder.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KESTREL_TEST_BUILD:-build-asan}
[ -f "$build/build.ninja" ] ||
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=address,undefined \
    -DKESTREL_DESKTOP=ON -DKESTREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target tests_task >/dev/null
export KESTREL_LOOPBACK_ONLY=1 KESTREL_POWER_LOSS_SWEEP=1
log=$build/power-loss.log
start=$SECONDS
status=0
"$build/tests/tests_task" --gtest_filter='Sweep/PowerLossTest.*' >"$log" 2>&1 || status=$?
[ "$status" -eq 0 ] || echo "what failed, with each failed run's log: $log"
lines=$(grep -E ' (tcp|pty): [0-9]+ positions, [0-9]+ recovered' "$log" || true)
printf '%s\n' "$lines"
read -r positions recovered < <(printf '%s\n' "$lines" | awk 'NF { p += $3; r += $5 } END { print p + 0, r + 0 }')
passed=$(grep -c '^\[       OK \] Sweep/PowerLossTest' "$log" || true)
echo "power-loss sweep: $passed of 6 image/link sweeps passed, $recovered of $positions positions recovered" \
  "in $((SECONDS - start)) s$([ "$status" -eq 0 ] || echo ", FAILED")"
exit "$status"
