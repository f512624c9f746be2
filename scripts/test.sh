#!/usr/bin/env bash
# Builds Kestrel with AddressSanitizer and UndefinedBehaviorSanitizer and runs
# the whole test suite. Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-layers.sh
python3 scripts/build-skins.py --check
build=${KESTREL_TEST_BUILD:-build-asan}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_SANITIZE=address,undefined \
  -DKESTREL_DESKTOP=ON -DKESTREL_BUILD_TESTS=ON >/dev/null
cmake --build "$build"
export KESTREL_LOOPBACK_ONLY=1
# The desktop program is what most users run: a suite without it or its window
# tests has not tested the product.
[ -x "$build/kestrel" ] || { echo "test.sh: the desktop program was not built" >&2; exit 1; }
ctest --test-dir "$build" -N -R '^MainWindowTest\.' | grep -q 'Total Tests: [1-9]' ||
  { echo "test.sh: the window tests were not built" >&2; exit 1; }
ctest --test-dir "$build" --output-on-failure -j2 --timeout 180
# Every window screenshot on one sheet: $build/screenshots/contact-sheet.png
"$build/tests/tests_ui" --gtest_also_run_disabled_tests --gtest_filter='ContactSheet.*' >/dev/null
