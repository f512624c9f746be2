#!/usr/bin/env bash
# Builds the programs optimised and makes the Debian packages kestrel and
# kestrel-sim with CPack, then checks them with lintian. Prints the paths of
# the .deb files last. Installs missing Debian packages first.
#   KESTREL_PACKAGE_BUILD   build folder (default build-pkg)
set -euo pipefail
cd "$(dirname "$0")/.."
# What making and checking the packages needs beyond the build.
bash scripts/install-deps.sh dpkg-dev lintian desktop-file-utils librsvg2-bin gzip

build=${KESTREL_PACKAGE_BUILD:-build-pkg}
# Debian's hardening flags, as a Debian build would use them; CMake takes no
# CPPFLAGS, so the preprocessor's (fortified functions) go with the compiler's.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTREL_SANITIZE= -DKESTREL_BUILD_TESTS=OFF \
  -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_FUZZ=OFF -DKESTREL_DESKTOP=ON -DKESTREL_PACKAGE=ON \
  -DCMAKE_C_FLAGS="$CFLAGS $CPPFLAGS" -DCMAKE_CXX_FLAGS="$CXXFLAGS $CPPFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build "$build"
desktop-file-validate packaging/kestrel.desktop
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB >cpack.log) || { cat "$build/cpack.log"; exit 1; }

debs=("$build"/*.deb)
echo "== lintian"
# Errors fail the script; warnings and notes are printed for the reader.
lintian --display-info --tag-display-limit 0 "${debs[@]}" || {
  echo "package.sh: lintian found errors" >&2
  exit 1
}
echo "== packages"
for deb in "${debs[@]}"; do realpath "$deb"; done
