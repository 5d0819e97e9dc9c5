# Cross build for 64-bit Arm Linux with Debian's aarch64-linux-gnu toolchain.
# Built programs run under qemu-user: ctest starts each test program through
# the emulator below, and programs those tests start in turn (the wrappers,
# the start-up probes) go through the kernel's binfmt_misc registration for
# qemu-aarch64, which scripts/check-aarch64 makes sure of.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KIV_CROSS_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${KIV_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KIV_CROSS_TRIPLE}-g++)

# The target's libraries and headers live under the sysroot; the programs
# the build itself runs are the host's.
set(KIV_CROSS_SYSROOT "/usr/${KIV_CROSS_TRIPLE}" CACHE PATH "Root of the target's libraries")
set(CMAKE_FIND_ROOT_PATH "${KIV_CROSS_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Keeps the host's x86-64 GoogleTest package out; the tests then build the
# framework from source for the target.
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The dynamic loader and libraries of the target are found through
# QEMU_LD_PREFIX. Setting it here rather than in the caller's environment
# lets a bare `ctest` work; qemu hands its environment to the emulated
# program, so every aarch64 program a test starts inherits it too (a test
# that starts one with an environment of its own must pass it on).
find_program(KIV_QEMU_AARCH64 qemu-aarch64 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env "QEMU_LD_PREFIX=${KIV_CROSS_SYSROOT}" "${KIV_QEMU_AARCH64}")
