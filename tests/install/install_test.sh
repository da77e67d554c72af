#!/bin/sh
# Installs the package into a temporary prefix and builds the C example camera
# against it the two ways a firmware project would: through the CMake package,
# and with gcc from nothing but pkg-config. Each camera then runs a scripted
# start against a refused address: the SDK starts the stream and stops it.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR
set -eu
build=$1 src=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
cmake --build "$build" --target kestrel_package tether_package >"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
for f in include/kestrel/ks_api.h include/tether/tether_api.h lib/libkestrel.a lib/libtether.a \
         lib/cmake/kestrel/kestrelConfig.cmake lib/pkgconfig/kestrel.pc lib/pkgconfig/tether.pc; do
  [ -f "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
# Nothing of the source or build tree may be named by what was installed.
if grep -rl -e "$src/include" -e "$src/cloudlink" -e "$build/package" "$work/prefix/lib/cmake" "$work/prefix/lib/pkgconfig"; then
  echo "installed files refer to the build"; exit 1
fi

# 1. CMake package.
env -u CFLAGS -u LDFLAGS cmake -S "$src/examples/c_camera" -B "$work/cmake" \
  -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }

# 2. gcc and pkg-config only, a static link.
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
libs=$(pkg-config --libs --static kestrel tether)
for want in -lkestrel -ltether -lstdc++ -lmbedtls -lmbedx509 -lmbedcrypto -lcjson -pthread; do
  case " $libs " in *" $want "*) ;; *) echo "pkg-config --static lacks $want: $libs"; exit 1 ;; esac
done
gcc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags kestrel tether) \
  "$src/examples/c_camera/c_camera.c" -o "$work/c_camera_pc" $libs

# A refused address: a port bound but never listened on.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
for cam in "$work/cmake/c_camera" "$work/c_camera_pc"; do
  out=$("$cam" -f -t 60 -x StartPushStreaming \
    "{\"PushUrl\":\"rtmp://127.0.0.1:$port/live?token=tok/x\",\"StreamType\":0}" \
    "$src/demo/media/avc_aac_500k" 2>&1) || { echo "$cam failed:"; echo "$out"; exit 1; }
  case "$out" in *"streams started 1"*) ;; *) echo "$cam: no stream started"; echo "$out"; exit 1 ;; esac
done
echo "installed package: CMake and pkg-config builds of the C camera ran"
