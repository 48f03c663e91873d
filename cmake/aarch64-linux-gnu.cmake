# Cross-builds for 64-bit ARM Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu). TARNWELL_AARCH64_SYSROOT holds arm64 packages
# unpacked (.ci/aarch64 makes it): the libraries the build links (ISA-L, zstd,
# zlib, GoogleTest) and the C and C++ runtimes the tests run with under
# qemu-user. The programs are linked against the cross toolchain's C library.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT TARNWELL_AARCH64_SYSROOT)
  message(FATAL_ERROR "Set TARNWELL_AARCH64_SYSROOT to the directory the arm64 packages are unpacked in")
endif()
# The checks CMake compiles in scratch projects read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TARNWELL_AARCH64_SYSROOT)

set(CMAKE_FIND_ROOT_PATH ${TARNWELL_AARCH64_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(ENV{PKG_CONFIG_LIBDIR} ${TARNWELL_AARCH64_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TARNWELL_AARCH64_SYSROOT})

# The cross toolchain's own runtime (Debian's 2.36-8cross1) leaves a child
# process spinning after fork() under the emulator; the arm64 package's does not.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L ${TARNWELL_AARCH64_SYSROOT})
