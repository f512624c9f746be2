#!/usr/bin/env bash
# Installs the packages that scripts/package.sh made into a pristine Debian 12
# root, as a user would, checks that everything is in place and works against
# kestrel-sim on loopback, then removes and purges them and checks that
# nothing of theirs is left. Needs root. The last line says what passed.
#
#   bash scripts/package-check.sh [--screenshots DIR]
#
# --screenshots DIR also opens the window with its menu entry's command under
# Xvfb and saves it, with the menu icon, in DIR.
# The pristine root is the one ../shared/tools/fresh-machine.sh makes and keeps
# in $FRESH_BASE (default /var/tmp/fresh-bookworm); it is made here the same
# way when missing. Every run works on a throw-away copy.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KESTREL_PACKAGE_BUILD:-build-pkg}
base=${FRESH_BASE:-/var/tmp/fresh-bookworm}
shots=""
if [ "${1:-}" = "--screenshots" ]; then
  shots=$(realpath -m "${2:?--screenshots needs a folder}")
fi
[ "$(id -u)" -eq 0 ] || { echo "package-check: needs root" >&2; exit 2; }
debs=("$build"/kestrel_*.deb "$build"/kestrel-sim_*.deb)
for deb in "${debs[@]}"; do
  [ -f "$deb" ] || { echo "package-check: no $deb; run bash scripts/package.sh first" >&2; exit 2; }
done

if [ ! -f "$base/.complete" ]; then
  mirror=$(sed -n 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -v security | head -1)
  [ -n "$mirror" ] || mirror=$(awk '$1 == "deb" && $2 !~ /security/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
  [ -n "$mirror" ] || { echo "package-check: no Debian mirror found in the apt sources" >&2; exit 2; }
  command -v debootstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
  rm -rf "$base"
  echo "package-check: making a minimal Debian 12 root in $base"
  debootstrap --variant=minbase bookworm "$base" "$mirror" >/tmp/package-check.debootstrap.log 2>&1
  touch "$base/.complete"
fi

work=$(mktemp -d /var/tmp/kestrel-package-check-XXXXXX)
root="$work/root"
sim=""
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null && wait "$sim" 2>/dev/null
  for m in proc dev/pts dev; do umount -l "$root/$m" 2>/dev/null || true; done
  rm -rf --one-file-system "$work"
}
trap cleanup EXIT
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
mount --bind /dev "$root/dev"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$root/dev/pts" 2>/dev/null || mount --bind /dev/pts "$root/dev/pts"
mount -t proc proc "$root/proc"

inside() {
  chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    LANG=C.UTF-8 KESTREL_LOOPBACK_ONLY=1 DEBIAN_FRONTEND=noninteractive bash -c "$1"
}
passed=()
check() {  # name, command run inside the root
  echo "== $1: $2"
  if inside "$2"; then
    passed+=("$1")
  else
    echo "package-check: FAILED at '$1'"
    exit 1
  fi
}

# Tools for the checks only, before the packages so that they pull nothing of ours.
tools="man-db desktop-file-utils"
[ -n "$shots" ] && tools="$tools xvfb xauth x11-apps netpbm"
inside "apt-get update -qq && apt-get install -y -qq --no-install-recommends $tools >/dev/null"

check install "cd /tmp/debs && apt-get install -y --no-install-recommends ./kestrel_*.deb ./kestrel-sim_*.deb | grep -E 'upgraded|^Setting up kestrel'"
check files "dpkg -L kestrel kestrel-sim | sort > /tmp/ours.txt && wc -l < /tmp/ours.txt"
check version "kestrel-cli --version"
check manual "man -w kestrel-cli kestrel kestrel-sim && MANWIDTH=80 man kestrel-cli 2>/dev/null | grep -A2 '^NAME'"
check completion "source /usr/share/bash-completion/completions/kestrel-cli && COMP_WORDS=(kestrel-cli upgrade ''); \
  COMP_CWORD=2; _kestrel_cli; echo \"upgrade <TAB>: \${COMPREPLY[*]}\"; [ \"\${COMPREPLY[*]}\" = 'firmware system' ]"
check desktop-entry "desktop-file-validate /usr/share/applications/kestrel.desktop && grep -E '^(Name|Exec|Icon)=' \
  /usr/share/applications/kestrel.desktop && ls /usr/share/icons/hicolor/*/apps/kestrel.* | wc -l"
check udev-rule "grep -c 'TAG+=\"uaccess\"' /usr/lib/udev/rules.d/70-kestrel.rules"
check services-file "dpkg-query -W -f='\${Conffiles}\n' kestrel | grep /etc/kestrel/services.ini && \
  ! grep -q '^[^;]' /etc/kestrel/services.ini"

# The virtual device from its own package, its environment as it prints it.
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/bin:/bin LANG=C.UTF-8 KESTREL_LOOPBACK_ONLY=1 \
  bash -c 'exec kestrel-sim --serial 5RHM10000001 --env-file /tmp/sim.env >/tmp/sim.log 2>&1' &
sim=$!
for _ in $(seq 100); do
  [ -s "$root/tmp/sim.env" ] && break
  kill -0 "$sim" 2>/dev/null || { cat "$root/tmp/sim.log"; echo "package-check: FAILED at 'kestrel-sim'"; exit 1; }
  sleep 0.1
done
check scan "set -a; source /tmp/sim.env; set +a; kestrel-cli scan --link lan | tee /tmp/scan.txt; \
  grep -q 5RHM10000001 /tmp/scan.txt"
# Without KESTREL_SERVICES and with no file in the working root, the machine's file is the one read.
check services-fallback "set -a; source /tmp/sim.env; set +a; unset KESTREL_SERVICES; \
  kestrel-cli info --link lan 2>&1 | grep -o '/etc/kestrel/services.ini names no web service'"

if [ -n "$shots" ]; then
  # The entry's own command, under a virtual display, against the virtual device.
  check window "set -a; source /tmp/sim.env; set +a; cmd=\$(sed -n 's/^Exec=//p' /usr/share/applications/kestrel.desktop); \
    xvfb-run -a -s '-screen 0 1100x760x24' sh -c \"\$cmd & sleep 10; xwd -root -silent | xwdtopnm 2>/dev/null | \
    pnmtopng > /tmp/window.png; kill \\\$!\"; test -s /tmp/window.png"
  mkdir -p "$shots"
  cp "$root/tmp/window.png" "$shots/package-window.png"
  cp "$root/usr/share/icons/hicolor/256x256/apps/kestrel.png" "$shots/package-menu-icon.png"
  echo "screenshots: $shots/package-window.png $shots/package-menu-icon.png"
fi
kill "$sim" && wait "$sim" 2>/dev/null || true
sim=""

# Remove keeps the conffile (dpkg's rule for a removed, not purged, package);
# purge takes it too. Anything else of ours left, or any kestrel name, fails.
leftovers='{ while read -r f; do [ -d "$f" ] || [ ! -e "$f" ] || echo "$f"; done < /tmp/ours.txt; \
  find /usr /etc -iname "*kestrel*"; } | sort -u | tr "\n" " "'
check remove "apt-get remove -y -qq kestrel kestrel-sim >/dev/null && left=\$($leftovers) && echo \"left: \$left\" && \
  [ \"\$left\" = '/etc/kestrel /etc/kestrel/services.ini ' ]"
# kestrel-sim, without conffiles, is already gone entirely.
check purge "apt-get purge -y -qq kestrel >/dev/null && apt-get autoremove --purge -y -qq >/dev/null && \
  left=\$($leftovers) && echo \"left: \${left:-nothing}\" && [ -z \"\$left\" ] && \
  ! dpkg -l | grep -E '^.. +kestrel(-sim)? '"
echo "package-check: PASSED (${passed[*]}); the working root of the user (~/.local/share/Tarnfield) is kept as user data"
