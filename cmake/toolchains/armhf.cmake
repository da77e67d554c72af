# Cross build for armhf with Debian's cross compiler (arm-linux-gnueabihf-g++) and the
# multiarch development packages (libmbedtls-dev:armhf, libcjson-dev:armhf,
# libgtest-dev:armhf). Tests run under qemu-arm (qemu-user), no binfmt needed:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
# scripts/cross.sh armhf does all of it.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

# Headers of the target come from /usr/include (the multiarch packages share
# them) and /usr/include/arm-linux-gnueabihf;
# libraries from /usr/lib/arm-linux-gnueabihf.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /usr/lib/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The target's loader and libraries for qemu-user. The loader comes from the
# cross toolchain's C library (/usr/arm-linux-gnueabihf/lib); left alone it would take
# libc.so.6 from the multiarch /lib/arm-linux-gnueabihf that the development packages
# pull in, a different build whose private interface does not match, and the
# first thread a program starts crashes. Searching the cross libraries first
# keeps loader and C library one build; the multiarch libraries (mbedTLS,
# cJSON) are found after them.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib:/usr/lib/arm-linux-gnueabihf)
