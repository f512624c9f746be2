#!/usr/bin/env bash
# Fails when a file under src/ includes a layer that may not be below it, so
# the folder order stays the architecture: platform -> utils -> connection,
# schedule -> session -> app -> devinfo, scanner -> firmware -> task -> wifi -> viewmodel -> ui.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A allowed=(
  [platform]="platform"
  [utils]="platform utils"
  [connection]="platform utils connection"
  [schedule]="platform utils schedule"
  [session]="platform utils connection schedule session"
  [app]="platform utils connection schedule session app"
  [devinfo]="platform utils connection schedule session app devinfo"
  [scanner]="platform utils connection schedule session app scanner"
  [firmware]="platform utils connection schedule session app devinfo firmware"
  [task]="platform utils connection schedule session app devinfo scanner firmware task"
  [wifi]="platform utils connection schedule session app devinfo scanner firmware task wifi"
  [viewmodel]="platform utils connection schedule session app devinfo scanner firmware task wifi viewmodel"
  [ui]="platform utils connection schedule session app devinfo scanner firmware task wifi viewmodel ui"
)

bad=0
for dir in src/*/; do
  layer=$(basename "$dir")
  if [[ -z "${allowed[$layer]+x}" ]]; then
    echo "check-layers: src/$layer is not a known layer (add it to scripts/check-layers.sh)"
    bad=1
    continue
  fi
  while IFS=: read -r file line text; do
    used=$(sed -E 's/.*#include "([a-z]+)\/.*/\1/' <<<"$text")
    [[ " ${allowed[$layer]} " == *" $used "* ]] && continue
    echo "check-layers: $file:$line: $layer may not include $used/"
    bad=1
  done < <(grep -HnE '^\s*#\s*include "[a-z]+/' "$dir" -r --include='*.h' --include='*.cpp' || true)
done
# Qt stays in the window layer.
if grep -rlE '#\s*include <Q' src --include='*.h' --include='*.cpp' | grep -v '^src/ui/'; then
  echo "check-layers: Qt included outside src/ui/"
  bad=1
fi
exit $bad
