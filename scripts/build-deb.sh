#!/usr/bin/env bash
# Builds the Debian package with debhelper (debian/) and dpkg-buildpackage from a
# copy of the tree, so that the build leaves nothing in the source folders, and
# checks it with lintian. Usage: build-deb.sh [OUTDIR]   (default build/deb)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=$(realpath -m "${1:-build/deb}")
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
src=$out/src/chronark-$version

# A fresh copy of the tree as it is now, without build folders and git data.
rm -rf "$out/src"
mkdir -p "$src"
tar -C . --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . | tar -C "$src" -xf -
rm -f "$out"/chronark*_"$version"_*.deb "$out"/chronark_"$version"_*.{buildinfo,changes}

# The compiler cache makes a second package build quick; it does not change the output.
extra=""
if command -v ccache >/dev/null; then
  extra="-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache"
fi
echo "== dpkg-buildpackage in $src"
(
  cd "$src"
  CHRONARK_CMAKE_EXTRA="$extra" DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
    dpkg-buildpackage -b -us -uc >"$out/build.log" 2>&1
) || {
  tail -40 "$out/build.log" >&2
  echo "dpkg-buildpackage ist gescheitert; das ganze Protokoll: $out/build.log" >&2
  exit 1
}
mv "$out"/src/chronark*_"$version"_*.deb "$out"/src/chronark_"$version"_*.{buildinfo,changes} "$out"/
rm -rf "$out/src"

changes=$(ls "$out"/chronark_"$version"_*.changes)
echo "== lintian"
lintian --fail-on error --info "$changes"
echo "== Pakete in $out:"
ls -1 "$out"/*.deb
