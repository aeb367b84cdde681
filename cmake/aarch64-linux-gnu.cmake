# Cross build for 64-bit ARM Linux boards with Debian's cross compiler
# (g++-aarch64-linux-gnu) and the target's libcrypto (libssl-dev:arm64, after
# dpkg --add-architecture arm64); tests run under qemu-user (qemu-aarch64):
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
#   cmake --build build-arm -j2 && ctest --test-dir build-arm -LE e2e
#
# Debian's libgtest-dev exists only for the build machine, so GoogleTest is
# built from its packaged sources and the benchmarks are left out.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(FERRULE_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_CXX_COMPILER ${FERRULE_CROSS_TRIPLE}-g++)
set(CMAKE_C_COMPILER ${FERRULE_CROSS_TRIPLE}-gcc)

# Headers and libraries of the target only; programs of the build machine.
# Besides the cross toolchain's own tree, "/" lets the search reach Debian's
# multiarch packages for the target (libssl-dev:arm64 in /usr/lib/<triple>);
# the target's library architecture keeps the build machine's out.
set(CMAKE_FIND_ROOT_PATH /usr/${FERRULE_CROSS_TRIPLE} /)
# pkg-config, which find_package(OpenSSL) asks first, must describe the
# target's packages, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${FERRULE_CROSS_TRIPLE}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and test discovery run the target's programs through the emulator;
# -L points the emulator at the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/${FERRULE_CROSS_TRIPLE})

set(FERRULE_GTEST_FROM_SOURCE ON CACHE BOOL "Build GoogleTest from /usr/src/googletest")
set(FERRULE_BUILD_BENCHMARKS OFF CACHE BOOL "Build the benchmarks")
# The status page needs libmicrohttpd built for the target, which a cross build
# machine seldom has; a build on the board itself has the page.
set(FERRULE_STATUS_PAGE OFF CACHE BOOL "Build the status page")
# The MQTT client renders with the page's library, and needs libmosquitto
# built for the target as well.
set(FERRULE_MQTT OFF CACHE BOOL "Build the MQTT client")
