# Linux x86_64 with zig's Clang (see cmake/zig/toolchain.cmake), against glibc
# 2.17's symbol versions: the binaries load on any glibc from 2.17 on, which
# is what the manylinux_2_17 wheel tag promises.
#   cmake -S . -B build-x86_64-linux -DCMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVA_ZIG_TARGET x86_64-linux-gnu.2.17)
set(KORVA_ZIG_LIBGCC_FROM gcc)
include(${CMAKE_CURRENT_LIST_DIR}/zig/toolchain.cmake)
