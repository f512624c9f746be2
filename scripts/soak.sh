#!/usr/bin/env bash
# Seeded runs of whole upgrades (firmware, system, Wi-Fi) over TCP and the pty
# against the virtual device on loopback, with a fault on 2 % of the device's
# requests and web requests; two processes share the runs. The last line
# counts runs, faults injected, false successes and the longest run.
# usage: scripts/soak.sh [--runs N] [--seed N]   (--seed alone replays that one run)
#        KESTREL_TEST_BUILD: build folder, default build-asan
set -euo pipefail
cd "$(dirname "$0")/.."
runs=200 seed=1 replay=0
while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --seed) seed=$2; replay=1; shift 2 ;;
    *) echo "usage: scripts/soak.sh [--runs N] [--seed N]" >&2; exit 2 ;;
  esac
done
if [[ $replay -eq 1 && $runs -eq 200 ]]; then runs=1; fi
build=${KESTREL_TEST_BUILD:-build-asan}
if [[ ! -d "$build" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=address,undefined \
        -DKESTREL_BUILD_TESTS=ON >/dev/null
fi
cmake --build "$build" --target tests_cli kestrel-cli >/dev/null
shards=$(( runs > 1 ? 2 : 1 ))
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
start=$(date +%s)
pids=()
for ((k = 0; k < shards; k++)); do
  KESTREL_LOOPBACK_ONLY=1 KESTREL_BUILD_DIR="$PWD/$build" KESTREL_SOAK_SEED="$seed" KESTREL_SOAK_RUNS="$runs" \
    KESTREL_SOAK_SHARD="$k/$shards" "$build/tests/tests_cli" --gtest_filter='SoakTest.*' >"$logs/$k" 2>&1 &
  pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
total=$(( $(date +%s) - start ))
grep -h '^soak seed ' "$logs"/* | sort -t' ' -k3,3n
grep -h -E 'FALSE SUCCESS|PAST ITS BOUND' "$logs"/* | sed -E 's/^soak seed ([0-9]+):.*/replay: scripts\/soak.sh --seed \1/' || true
[[ $status -eq 0 ]] || grep -h -E 'Failure|Sanitizer|runtime error' "$logs"/* | head -20 || true
cat "$logs"/* | awk -v total="$total" '
  /^soak-shard:/ { runs += $3; ok += $5; faults += $7; bad += $9; if ($11 > longest) { longest = $11; seed = $13 } ; shards++ }
  END { if (!shards) { print "soak: no run finished"; exit }
        printf "soak: %d runs (%d succeeded), %d faults injected, %d false successes, longest run %.1f s (seed %s), total %d s\n",
               runs, ok, faults, bad, longest / 1000, seed, total }'
exit $status
