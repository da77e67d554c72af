#!/usr/bin/env bash
# Installs the Debian packages the project needs, only when one is missing, so a
# warm machine pays nothing. Sourced or run by scripts/test.sh and scripts/demo.sh.
set -euo pipefail

KESTREL_PACKAGES=(
  build-essential cmake g++ pkg-config
  libmbedtls-dev libcjson-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  mosquitto mosquitto-clients python3 python3-paho-mqtt python3-cryptography openssl curl
  ffmpeg dnsmasq nginx-light libnginx-mod-rtmp
  chromium
)

missing=()
for p in "${KESTREL_PACKAGES[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
# The web console's player comes from npm. A Node.js from elsewhere may carry
# npm without the Debian package, so the commands are what counts.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  echo "[deps] installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
