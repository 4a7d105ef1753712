#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and only those
# that are missing. Runs apt-get as root directly, otherwise through sudo.
set -euo pipefail

PACKAGES=(
  # build
  cmake make g++ pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins qt6-translations-l10n
  libqt6svg6 libgtest-dev libgmock-dev libbenchmark-dev
  # tests, fuzzing and the headless desktop of `make run`
  clang clang-format libclang-rt-14-dev xvfb xdotool trayer x11vnc x11-utils x11-apps
  imagemagick microsocks curl python3 psmisc procps iproute2 tzdata
  # TLS: OpenSSL 3 to build against (libssl3 at run time) and the command
  # that makes the test certificates
  libssl-dev openssl
)

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
