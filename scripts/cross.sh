#!/usr/bin/env bash
# Cross build for an ARM camera SoC and its unit tests under qemu-user:
#   scripts/cross.sh armhf|arm64 [ctest arguments]
# Installs what is missing (the foreign architecture, Debian's cross compiler,
# the multiarch development packages, qemu-user), configures build-<arch> with
# cmake/toolchains/<arch>.cmake and runs the tests that need no network peer
# (ctest -LE "e2e|consumer"); ctest arguments given replace that selection.
# KESTREL_CROSS_JOBS sets the build's parallelism (default 2).
set -euo pipefail

arch=${1:-}
case "$arch" in
  armhf) triple=arm-linux-gnueabihf ;;
  arm64) triple=aarch64-linux-gnu ;;
  *) echo "usage: $0 armhf|arm64 [ctest arguments]" >&2; exit 2 ;;
esac
shift
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-$arch"
jobs=${KESTREL_CROSS_JOBS:-2}

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
packages=(cmake pkg-config qemu-user "g++-$triple"
  "libmbedtls-dev:$arch" "libcjson-dev:$arch" "libgtest-dev:$arch" "libgmock-dev:$arch")
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "[cross] installing: ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx "$arch" || $SUDO dpkg --add-architecture "$arch"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

export CCACHE_NOHASHDIR=1 CCACHE_BASEDIR="$root"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTREL_BUILD_BENCH=OFF -DKESTREL_BUILD_DEMO=ON \
  "${launcher[@]}"
nice -n 15 cmake --build "$build" -j"$jobs"
cd "$build"
if [ $# -gt 0 ]; then
  ctest --output-on-failure "$@"
else
  ctest --output-on-failure -LE "e2e|consumer"
fi
