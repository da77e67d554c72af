#!/bin/sh
# Installs the package into a temporary prefix and builds the C example camera
# against it the two ways a firmware project would: through the CMake package,
# and with gcc from nothing but pkg-config. Each camera then runs a scripted
# start against a refused address: the SDK starts the stream and stops it.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR WORK_DIR [static|shared]
# "static" installs BUILD_DIR's archives. "shared" configures a package build
# with BUILD_SHARED_LIBS=ON in WORK_DIR.build (kept between runs, so a rerun
# rebuilds only what changed) with BUILD_DIR's compilers, and also checks the
# libraries' version and that they export only what the public headers declare.
set -eu
build=$1 src=$2 work=$3 kind=${4:-static}
rm -rf "$work"
mkdir -p "$work"
if [ "$kind" = shared ]; then
  cached() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
  pkg="$work.build"
  cmake -S "$src" -B "$pkg" -DBUILD_SHARED_LIBS=ON -DKESTREL_INSTALL=ON \
    -DKESTREL_BUILD_TESTS=OFF -DKESTREL_BUILD_DEMO=OFF -DKESTREL_BUILD_EXAMPLES=OFF \
    -DKESTREL_BUILD_BENCH=OFF -DKESTREL_SANITIZE= \
    -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" \
    -DCMAKE_C_COMPILER="$(cached CMAKE_C_COMPILER)" -DCMAKE_CXX_COMPILER="$(cached CMAKE_CXX_COMPILER)" \
    -DCMAKE_C_COMPILER_LAUNCHER="$(cached CMAKE_C_COMPILER_LAUNCHER)" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="$(cached CMAKE_CXX_COMPILER_LAUNCHER)" \
    >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }
  build=$pkg
fi
cmake --build "$build" --target kestrel_package tether_package >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log"; exit 1; }
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
p="$work/prefix"
version=$(PKG_CONFIG_PATH="$p/lib/pkgconfig" pkg-config --modversion kestrel)
major=${version%%.*}
if [ "$kind" = shared ]; then
  libs_installed="lib/libkestrel.so lib/libkestrel.so.$major lib/libkestrel.so.$version
                  lib/libtether.so lib/libtether.so.$major lib/libtether.so.$version"
else
  libs_installed="lib/libkestrel.a lib/libtether.a"
fi
for f in include/kestrel/ks_api.h include/tether/tether_api.h $libs_installed \
         lib/cmake/kestrel/kestrelConfig.cmake lib/pkgconfig/kestrel.pc lib/pkgconfig/tether.pc; do
  [ -f "$p/$f" ] || { echo "not installed: $f"; exit 1; }
done
# Nothing of the source or build tree may be named by what was installed.
if grep -rl -e "$src/include" -e "$src/cloudlink" -e "$build/package" "$p/lib/cmake" "$p/lib/pkgconfig"; then
  echo "installed files refer to the build"; exit 1
fi

if [ "$kind" = shared ]; then
  for lib in kestrel tether; do
    so="$p/lib/lib$lib.so.$version"
    readelf -d "$so" | grep -q "Library soname: \[lib$lib.so.$major\]" ||
      { echo "lib$lib: soname is not lib$lib.so.$major"; readelf -d "$so"; exit 1; }
    # Every exported name is one the installed headers declare: no C++ name
    # (kestrel:: internals, standard library template code) leaves the library.
    nm -D --defined-only "$so" | awk '{ print $NF }' >"$work/$lib.exports"
    bad=$(while read -r name; do
            grep -rqw -- "$name" "$p/include" || echo "$name"
          done <"$work/$lib.exports")
    [ -z "$bad" ] || { echo "lib$lib.so exports names no public header declares:"; echo "$bad" | c++filt; exit 1; }
  done
  for name in ks_init ks_destroy ks_message_adapter ks_stream_send_media ks_control; do
    grep -qx "$name" "$work/kestrel.exports" || { echo "libkestrel.so does not export $name"; exit 1; }
  done
  for name in IOT_MQTT_Construct HAL_GetProductKey; do
    grep -qx "$name" "$work/tether.exports" || { echo "libtether.so does not export $name"; exit 1; }
  done
fi

# 1. CMake package.
env -u CFLAGS -u LDFLAGS cmake -S "$src/examples/c_camera" -B "$work/cmake" \
  -DCMAKE_PREFIX_PATH="$p" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }

# 2. gcc and pkg-config only: a static link needs --static for the C++ runtime,
# mbedTLS, cJSON and threads; a shared link needs nothing but the libraries.
export PKG_CONFIG_PATH="$p/lib/pkgconfig"
if [ "$kind" = shared ]; then
  libs=$(pkg-config --libs kestrel tether)
  for want in -lkestrel -ltether; do
    case " $libs " in *" $want "*) ;; *) echo "pkg-config lacks $want: $libs"; exit 1 ;; esac
  done
else
  libs=$(pkg-config --libs --static kestrel tether)
  for want in -lkestrel -ltether -lstdc++ -lmbedtls -lmbedx509 -lmbedcrypto -lcjson -pthread; do
    case " $libs " in *" $want "*) ;; *) echo "pkg-config --static lacks $want: $libs"; exit 1 ;; esac
  done
fi
gcc -std=c99 -Wall -Wextra -Werror $(pkg-config --cflags kestrel tether) \
  "$src/examples/c_camera/c_camera.c" -o "$work/c_camera_pc" $libs

if [ "$kind" = shared ]; then
  # Both cameras load the installed libraries, not a copy linked in.
  for cam in "$work/cmake/c_camera" "$work/c_camera_pc"; do
    for lib in kestrel tether; do
      readelf -d "$cam" | grep -q "Shared library: \[lib$lib.so.$major\]" ||
        { echo "$cam does not load lib$lib.so.$major"; exit 1; }
    done
    if nm "$cam" | grep -qw "T ks_init"; then echo "$cam holds its own ks_init"; exit 1; fi
  done
  export LD_LIBRARY_PATH="$p/lib${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  LD_TRACE_LOADED_OBJECTS=1 "$work/c_camera_pc" | grep -q "libkestrel.so.$major => $p/lib/" ||
    { echo "c_camera_pc does not find the installed libkestrel"; exit 1; }
fi

# A refused address: a port bound but never listened on.
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
for cam in "$work/cmake/c_camera" "$work/c_camera_pc"; do
  out=$("$cam" -f -t 60 -x StartPushStreaming \
    "{\"PushUrl\":\"rtmp://127.0.0.1:$port/live?token=tok/x\",\"StreamType\":0}" \
    "$src/demo/media/avc_aac_500k" 2>&1) || { echo "$cam failed:"; echo "$out"; exit 1; }
  case "$out" in *"streams started 1"*) ;; *) echo "$cam: no stream started"; echo "$out"; exit 1 ;; esac
done
echo "installed $kind package $version: CMake and pkg-config builds of the C camera ran"
