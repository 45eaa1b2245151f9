# Linux aarch64 with Debian's cross compiler (g++-aarch64-linux-gnu); the
# results run under qemu-aarch64 (Debian's qemu-user) with the cross
# compiler's libraries as the sysroot.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Headers and libraries from the target's tree only (the coordinator's build
# takes nlohmann-json's header-only package from the build machine itself).
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
