#!/usr/bin/env bash
# The desktop entry, the AppStream file and the manual pages pass Debian's own
# checkers: desktop-file-validate, appstreamcli, man --warnings and lexgrog.
set -euo pipefail
src=$(realpath "$1")
for tool in desktop-file-validate appstreamcli man lexgrog; do
  command -v "$tool" >/dev/null || {
    echo "SKIP: $tool is missing (scripts/install-deps.sh test installs it)"
    exit 77
  }
done
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
id=example.tolvane_software.chronark
desktop=$src/app/$id.desktop
metainfo=$src/app/$id.metainfo.xml

desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q "<id>$id</id>" "$metainfo" || fail "the AppStream id is not the desktop file's name"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$metainfo" || fail "launchable"
for tag in '<name>' '<name xml:lang="de">' '<summary>' '<summary xml:lang="de">'; do
  grep -qF "$tag" "$metainfo" || fail "no $tag"
done
grep -q '<release version="1.0.2002.624"' "$metainfo" || fail "release"

for page in "$src"/man/en/*.1 "$src"/man/de/*.1; do
  warnings=$(MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
  lexgrog "$page" >/dev/null || fail "$page: no whatis entry"
  [ "$(MANWIDTH=80 man -l "$page" 2>/dev/null | wc -l)" -gt 20 ] || fail "$page renders empty"
done
# Every command of chronark-cli --help has its place in both manual pages.
for cmd in list add edit delete summary csv json export; do
  for lang in en de; do
    grep -q "^\.B chronark\\\\-cli $cmd\$" "$src/man/$lang/chronark-cli.1" || fail "$lang chronark-cli.1 lacks $cmd"
  done
done
echo "ok"
