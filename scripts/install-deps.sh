#!/usr/bin/env bash
# Installs the Debian packages a job needs, and only those that are missing.
# Runs apt-get as root directly, otherwise through sudo.
#   install-deps.sh run      building and running the program (make, make run)
#   install-deps.sh test     that, plus the test, benchmark and fuzzing tools (make test)
#   install-deps.sh package  that of run, plus Debian's packaging tools (make deb)
set -euo pipefail
job=${1:-run}

RUN_PACKAGES=(
  # build
  cmake make g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-translations-l10n libqt6svg6
  # the headless desktop of `make run`
  xvfb openbox trayer x11vnc x11-utils imagemagick python3 iproute2
  # TLS: OpenSSL 3 to build against (libssl3 at run time)
  libssl-dev
)
TEST_PACKAGES=(
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev xdotool x11-apps
  microsocks curl psmisc procps tzdata acl
  # the StatusNotifierItem end-to-end test: a private session bus and a watcher
  dbus-daemon python3-dbus python3-gi
  # the openssl command makes the certificates of the TLS tests
  openssl
  # chronark-cli: its Timewarrior intervals are checked against timew
  timewarrior
  # checks of the metadata and the manual pages
  appstream desktop-file-utils man-db
)
PACKAGE_PACKAGES=(
  build-essential debhelper dpkg-dev lintian appstream desktop-file-utils man-db
)

case "$job" in
  run) PACKAGES=("${RUN_PACKAGES[@]}") ;;
  test) PACKAGES=("${RUN_PACKAGES[@]}" "${TEST_PACKAGES[@]}") ;;
  package) PACKAGES=("${RUN_PACKAGES[@]}" "${PACKAGE_PACKAGES[@]}") ;;
  *)
    echo "Aufruf: $0 [run|test|package]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installiere fehlende Pakete: ${missing[*]}"
SUDO=()
[ "$(id -u)" -eq 0 ] || SUDO=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${SUDO[@]}" apt-get update -q
"${SUDO[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
