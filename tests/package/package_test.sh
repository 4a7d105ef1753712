#!/usr/bin/env bash
# make package-test: builds the Debian package (scripts/build-deb.sh, lintian
# included), checks its control fields and file list, installs it into a
# private dpkg root, runs the installed tools, removes it and checks that
# nothing is left. With CHRONARK_PACKAGE_TEST_SYSTEM=1 (as root) it also
# installs into the running system and removes it again.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/../.."
out=$(realpath -m "${1:-build/deb}")
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

bash scripts/build-deb.sh "$out"
version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg --print-architecture)
deb=$out/chronark_${version}_${arch}.deb
[ -f "$deb" ] || fail "$deb was not built"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== Control fields"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = chronark ] || fail "Package"
[ "$(field Version)" = "$version" ] || fail "Version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture"
depends=$(field Depends)
echo "Depends: $depends"
# The library packages are exactly those that provide the libraries the ELF
# files link; the two Qt plugin packages are loaded at run time, unseen by the linker.
dpkg-deb -x "$deb" "$work/x"
linked=$(find "$work/x" -type f -exec sh -c 'head -c4 "$1" | grep -q ELF' _ {} \; -print |
  xargs objdump -p | awk '/NEEDED/ {print $2}' | sort -u)
want=""
for soname in $linked; do
  path=$(ldconfig -p | awk -v s="$soname" '$1 == s {print $NF; exit}')
  [ -n "$path" ] || fail "no library $soname on this system"
  real=$(realpath "$path")
  pkg=$(dpkg -S "$real" 2>/dev/null || dpkg -S "${real#/usr}" 2>/dev/null || dpkg -S "/usr$real") ||
    fail "no package owns $real"
  want+="${pkg%%:*}"$'\n'
done
want=$(printf '%s' "$want" | sort -u)
have=$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//' | grep -v -x -e libqt6svg6 -e qt6-qpa-plugins | sort -u)
if [ "$want" != "$have" ]; then
  diff <(echo "$want") <(echo "$have") >&2 || true
  fail "Depends (>) is not the set of linked libraries' packages (<)"
fi
echo "$depends" | grep -q 'libqt6svg6' || fail "Depends lacks libqt6svg6 (the SVG icons)"
echo "$depends" | grep -q 'qt6-qpa-plugins' || fail "Depends lacks qt6-qpa-plugins"
echo "$depends" | grep -q -e gtest -e benchmark && fail "Depends names a test library"

echo "== Files"
dpkg-deb -c "$deb" | awk '{print $6 ($7 == "->" ? " -> " $8 : "")}' | sed 's|^\./|/|' >"$work/files"
cat "$work/files"
for f in /usr/lib/chronark/chronark /usr/lib/chronark/chronark-cli /usr/lib/chronark/httpget \
  /usr/lib/chronark/relcheck.so /usr/lib/chronark/export/header.txt \
  /usr/share/applications/example.tolvane_software.chronark.desktop \
  /usr/share/metainfo/example.tolvane_software.chronark.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/chronark.svg \
  /usr/share/man/man1/chronark-cli.1.gz /usr/share/man/de/man1/chronark-cli.1.gz \
  /usr/share/doc/chronark/copyright; do
  grep -q -x -F "$f" "$work/files" || fail "$f is not in the package"
done
for p in chronark chronark-cli httpget; do
  grep -q -x -F "/usr/bin/$p -> ../lib/chronark/$p" "$work/files" || fail "/usr/bin/$p is not a link"
done
grep -q -e relcheck-host -e _test -e /include/ "$work/files" && fail "test programs or headers in the package"
readelf -S "$work/x/usr/lib/chronark/chronark" | grep -q '\.versioninfo' ||
  fail "the stripped program lost its version block"

echo "== Install into a private root, run, remove"
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root() { dpkg --root="$root" --force-depends --force-not-root --log=/dev/null "$@"; }
dpkg_root -i "$deb" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log" >&2
  fail "dpkg -i"
}
PATH=$root/usr/bin:$PATH
chronark-cli --help | grep -q '^Aufruf: chronark-cli' || fail "installed chronark-cli --help"
chronark-cli add "$work/p.crf" "2026-12-07 09:00:00" "2026-12-07 10:30:00" "Paket"
chronark-cli export "$work/p.crf" "$work/p.htm"
grep -q 'Paket' "$work/p.htm" || fail "installed chronark-cli export"
httpget --help | grep -q httpget || fail "installed httpget --help"
for page in "$root"/usr/share/man/man1/*.1.gz "$root"/usr/share/man/de/man1/*.1.gz; do
  [ "$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)" -gt 20 ] || fail "man -l $page"
done
dpkg_root -r chronark >/dev/null
left=$(cd "$root" && find . -mindepth 1 -not -path './var/lib/dpkg*' -not -path './var/lib' -not -path './var')
[ -z "$left" ] || fail "left after removal: $left"

if [ "${CHRONARK_PACKAGE_TEST_SYSTEM:-0}" = 1 ]; then
  echo "== Install into this system, run, remove"
  system_files() {
    local d
    for d in /usr/bin /usr/lib/chronark /usr/share/applications /usr/share/metainfo \
      /usr/share/man/man1 /usr/share/man/de/man1 /usr/share/icons/hicolor/scalable/apps \
      /usr/share/doc/chronark; do
      if [ -e "$d" ]; then find "$d"; fi
    done | sort
  }
  dpkg-query -W chronark >/dev/null 2>&1 && fail "chronark is already installed here; not touching it"
  before=$(system_files)
  dpkg -i "$deb" >/dev/null
  (
    cd "$work"
    command -v chronark-cli | grep -q -x /usr/bin/chronark-cli
    /usr/bin/chronark-cli --help >/dev/null
    man -w chronark-cli | grep -q -x /usr/share/man/man1/chronark-cli.1.gz
    man -L de -w chronark-cli | grep -q -x /usr/share/man/de/man1/chronark-cli.1.gz
  ) || {
    dpkg -r chronark >/dev/null
    fail "the installed package does not work"
  }
  dpkg -r chronark >/dev/null
  after=$(system_files)
  [ "$before" = "$after" ] || fail "dpkg -r left: $(diff <(echo "$before") <(echo "$after"))"
fi
echo "ok: $deb"
