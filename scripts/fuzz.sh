#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while (seconds,
# default 30) on a working copy of its seed corpus. Usage:
#   scripts/fuzz.sh [seconds] [name...]      names as in fuzz_<name>
# A finding stops that target, leaves its input under $build/artifacts and
# makes the script fail at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
seconds=${1:-30}
shift || true
build=${KESTREL_FUZZ_BUILD:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKESTREL_BUILD_FUZZ=ON -DKESTREL_BUILD_TESTS=OFF -DKESTREL_SANITIZE=address,undefined >/dev/null

names=("$@")
if ((${#names[@]} == 0)); then
  for src in fuzz/Fuzz*.cpp; do
    stem=$(basename "$src" .cpp)
    stem=${stem#Fuzz}
    names+=("$(sed -E 's/([a-z0-9])([A-Z])/\1_\2/g' <<<"$stem" | tr 'A-Z' 'a-z')")
  done
fi
cmake --build "$build" --target "${names[@]/#/fuzz_}"

export KESTREL_LOOPBACK_ONLY=1
export TARNFIELD_HOME=${TARNFIELD_HOME:-$(mktemp -d /tmp/kestrel-fuzz-XXXXXX)}
mkdir -p "$build/artifacts"
failed=()
for name in "${names[@]}"; do
  # libFuzzer adds what it finds to the first folder: keep that out of the tree.
  work="$build/corpus/$name"
  mkdir -p "$work"
  echo "== fuzz_$name for ${seconds}s"
  if ! "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$name-" "$work" "fuzz/corpus/$name"; then
    failed+=("$name")
  fi
done
if ((${#failed[@]})); then
  echo "findings in: ${failed[*]} (inputs in $build/artifacts)" >&2
  exit 1
fi
echo "no findings"
