#!/usr/bin/env bash
# cmake --install into a private folder: the layout of the program folder and
# the links on the PATH, install_manifest.txt listing exactly what was
# installed, and the installed chronark-cli finding its templates through the link.
set -euo pipefail
build=$(realpath "$1")
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

DESTDIR=$dest cmake --install "$build" --prefix /usr >"$dest.log" 2>&1 || {
  cat "$dest.log" >&2
  fail "cmake --install"
}
rm -f "$dest.log"
root=$dest/usr

for f in lib/chronark/chronark lib/chronark/chronark-cli lib/chronark/httpget; do
  [ -x "$root/$f" ] && [ ! -L "$root/$f" ] || fail "$f is not an executable file"
done
[ -f "$root/lib/chronark/relcheck.so" ] || fail "relcheck.so missing"
for t in header item separator sum footer; do
  [ -f "$root/lib/chronark/export/$t.txt" ] || fail "export/$t.txt missing"
done
for p in chronark chronark-cli httpget; do
  [ -L "$root/bin/$p" ] || fail "bin/$p is not a link"
  [ "$(readlink "$root/bin/$p")" = "../lib/chronark/$p" ] || fail "bin/$p points to $(readlink "$root/bin/$p")"
  [ -f "$root/share/man/man1/$p.1" ] || fail "man1/$p.1 missing"
  [ -f "$root/share/man/de/man1/$p.1" ] || fail "de/man1/$p.1 missing"
done
id=example.tolvane_software.chronark
[ -f "$root/share/applications/$id.desktop" ] || fail "desktop file missing"
[ -f "$root/share/metainfo/$id.metainfo.xml" ] || fail "metainfo missing"
[ -f "$root/share/icons/hicolor/scalable/apps/chronark.svg" ] || fail "icon missing"

# The manifest lists every file and link, and nothing else.
installed=$(cd "$dest" && find . \( -type f -o -type l \) | sed 's|^\.||' | LC_ALL=C sort)
listed=$(sed "s|^$dest||" "$build/install_manifest.txt" | LC_ALL=C sort)
if [ "$installed" != "$listed" ]; then
  diff <(echo "$listed") <(echo "$installed") >&2 || true
  fail "install_manifest.txt (<) differs from the installed files (>)"
fi

# Through the link on the PATH: the help, and an export with the installed templates.
PATH=$root/bin:$PATH
chronark-cli --help | grep -q '^Aufruf: chronark-cli' || fail "chronark-cli --help"
httpget --help | grep -q 'httpget' || fail "httpget --help"
chronark-cli add "$dest/p.crf" "2026-12-07 09:00:00" "2026-12-07 10:30:00" "Test"
chronark-cli export "$dest/p.crf" "$dest/p.htm"
grep -q 'Gesamt' "$dest/p.htm" || fail "export through the link found no templates"
echo "ok: $(echo "$installed" | wc -l) files and links, all in install_manifest.txt"
