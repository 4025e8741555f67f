# Cross build for 64-bit ARM Linux (arm64: Raspberry Pi 3, 4, 5, Zero 2 W
# and others under a 64-bit system) with Debian's cross compiler; tests run
# under qemu user-mode emulation.
#   apt-get install g++-aarch64-linux-gnu qemu-user
# The programs are linked dynamically against the C and C++ libraries, as
# Debian's arm64 packages are; the Debian package gets its Depends from
# dpkg-shlibdeps.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

# The cross compiler's own libraries, then the arm64 port's (the sound
# decoders: libflac-dev:arm64, libmpg123-dev:arm64) in their multiarch
# folders.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The emulator runs the programs against the target's dynamic loader and
# libraries. With Debian's arm64 port added and its C and C++ libraries
# installed (as the README lists for the Debian package, whose
# dpkg-shlibdeps reads them), the loader finds them in their place, as on a
# board. Otherwise -L points the emulator at the cross compiler's copies.
# Never both: with -L, the loader comes from /usr/aarch64-linux-gnu but finds
# the C library of the arm64 port through the system's ld.so.cache, and two
# builds of glibc do not work together (a forked child hangs).
if(EXISTS /lib/ld-linux-aarch64.so.1 AND EXISTS /usr/lib/aarch64-linux-gnu/libstdc++.so.6)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
endif()
