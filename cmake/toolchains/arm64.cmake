# Cross build for arm64 with Debian's cross compiler (aarch64-linux-gnu-g++) and the
# multiarch development packages (libmbedtls-dev:arm64, libcjson-dev:arm64,
# libgtest-dev:arm64). Tests run under qemu-aarch64 (qemu-user), no binfmt needed:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
# scripts/cross.sh arm64 does all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Headers of the target come from /usr/include (the multiarch packages share
# them) and /usr/include/aarch64-linux-gnu;
# libraries from /usr/lib/aarch64-linux-gnu.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The target's loader and libraries for qemu-user. The loader comes from the
# cross toolchain's C library (/usr/aarch64-linux-gnu/lib); left alone it would take
# libc.so.6 from the multiarch /lib/aarch64-linux-gnu that the development packages
# pull in, a different build whose private interface does not match, and the
# first thread a program starts crashes. Searching the cross libraries first
# keeps loader and C library one build; the multiarch libraries (mbedTLS,
# cJSON) are found after them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu
    -E LD_LIBRARY_PATH=/usr/aarch64-linux-gnu/lib:/usr/lib/aarch64-linux-gnu)
