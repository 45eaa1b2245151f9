# Linux aarch64 with zig's Clang (see cmake/zig/toolchain.cmake), against glibc
# 2.17's symbol versions: the binaries load on any glibc from 2.17 on, which
# is what the manylinux_2_17 wheel tag promises.
#   cmake -S . -B build-aarch64-linux -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-linux.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KORVA_ZIG_TARGET aarch64-linux-gnu.2.17)
set(KORVA_ZIG_LIBGCC_FROM aarch64-linux-gnu-gcc)
include(${CMAKE_CURRENT_LIST_DIR}/zig/toolchain.cmake)
# Programs run under qemu-user, whose loader and C library come from Debian's
# aarch64 cross libraries (a newer glibc than the binaries need, as a user's
# machine would have).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
