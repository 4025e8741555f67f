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

set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -L: where the emulator finds the target's dynamic loader and libraries.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
