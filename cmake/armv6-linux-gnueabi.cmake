# Cross build for 32-bit ARM Linux boards from ARMv6 up: Raspberry Pi 1,
# Zero and Zero W (ARM1176JZF-S) and every newer Pi, under a 32-bit or a
# 64-bit system. Tests run under qemu user-mode emulation as an ARM1176.
#   apt-get install g++-arm-linux-gnueabi qemu-user
#
# Why not Debian's armhf cross compiler: Debian's armhf port, its compiler's
# defaults, start files and C library are ARMv7 with Thumb-2 code, and die
# with "Illegal instruction" on an ARMv6 core, even when the program itself
# is compiled with -march=armv6. Debian's armel C library and C++ library
# are ARMv5TE code, which an ARMv6 core runs. So the program is compiled for
# ARMv6 in ARM state with the armel compiler and linked fully static: it
# then needs nothing from the board (no C library, no float ABI of its
# own), and runs on armhf and arm64 systems alike.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabi-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabi-g++)

# -march=armv6 -marm: no ARMv6K, ARMv7 or Thumb-2 instructions (readelf -A
# shows Tag_CPU_arch: v6 and at most Thumb-1, from the armel libraries).
# Floating point stays in software (the armel ABI): the programs barely use
# it, and soft float needs no VFP at all. -Wno-psabi: GCC notes that the
# passing of some arguments changed in GCC 7.1; everything in these static
# programs comes from the one compiler.
set(CMAKE_C_FLAGS_INIT "-march=armv6 -mtune=arm1176jzf-s -marm -Wno-psabi")
set(CMAKE_CXX_FLAGS_INIT "-march=armv6 -mtune=arm1176jzf-s -marm -Wno-psabi")
# Debian's armel C library has no static-pie start files (rcrt1.o), so the
# programs are static, not static-pie.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Debian has no static libmpg123 for armel (nor any library of the armel
# port for the armhf package's cross build): this program plays WAV sounds
# only, and says so when given a FLAC or MP3 file.
set(ORV_SOUND_DECODERS OFF CACHE BOOL "Play FLAC and MP3 sounds (libFLAC, libmpg123)")

set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The programs are static, so the emulator needs no -L; -cpu arm1176 makes
# any instruction newer than ARMv6 fail the tests with SIGILL.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm1176)
