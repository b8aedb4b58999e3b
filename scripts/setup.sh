#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the run need.
# Non-interactive and idempotent: does nothing when all are present.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libmicrohttpd-dev libgnutls28-dev gnutls-bin libjsmn-dev
  nettle-dev libgmp-dev python3-cryptography-vectors
  libpcsclite-dev pcscd vsmartcard-vpcd
  chromium libnss3-tools ca-certificates curl
  libpng-dev
  libx11-dev libxft-dev libfontconfig-dev libxtst-dev xvfb x11-utils fonts-wqy-zenhei
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
