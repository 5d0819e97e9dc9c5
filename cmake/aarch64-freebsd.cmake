# Cross build for FreeBSD 15 on 64-bit Arm with clang, from a FreeBSD sysroot
# (KIV_FREEBSD_SYSROOT: its usr/include at least) and libc++'s headers
# (KIV_LIBCXX_INCLUDE). Without a FreeBSD C library to link against, the
# configure checks compile their probes without linking them;
# scripts/check-freebsd links the programs itself.
set(CMAKE_SYSTEM_NAME FreeBSD)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KIV_FREEBSD_SYSROOT "" CACHE PATH "Root of FreeBSD's headers and libraries")
set(KIV_LIBCXX_INCLUDE "" CACHE PATH "libc++'s headers")
# The configure checks read this file again, in projects of their own.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES KIV_FREEBSD_SYSROOT KIV_LIBCXX_INCLUDE)

# clang and clang++ unless the command line names others.
if(NOT CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER clang)
endif()
if(NOT CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER clang++)
endif()
set(CMAKE_C_COMPILER_TARGET aarch64-unknown-freebsd15)
set(CMAKE_CXX_COMPILER_TARGET aarch64-unknown-freebsd15)
set(CMAKE_SYSROOT "${KIV_FREEBSD_SYSROOT}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)

# FreeBSD 15.0's value: a sysroot's osreldate.h may expect the compiler to
# define it (Zig's does).
set(CMAKE_C_FLAGS_INIT "-D__FreeBSD_version=1500068")
set(CMAKE_CXX_FLAGS_INIT "-D__FreeBSD_version=1500068 -nostdinc++ -isystem ${KIV_LIBCXX_INCLUDE}")

