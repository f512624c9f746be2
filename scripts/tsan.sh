#!/usr/bin/env bash
# Builds the test suite with ThreadSanitizer (clang when present, else gcc) and
# runs it. Extra arguments go to ctest, e.g. scripts/tsan.sh -R Schedule;
# KESTREL_TSAN_TARGETS="tests_schedule" builds only those targets.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
build=${KESTREL_TSAN_BUILD:-build-tsan}
if command -v clang++ >/dev/null; then
  export CC=clang CXX=clang++
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=thread >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" ${KESTREL_TSAN_TARGETS:+--target $KESTREL_TSAN_TARGETS}
export KESTREL_LOOPBACK_ONLY=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/scripts/tsan.supp ${TSAN_OPTIONS:-}"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 "$@"
