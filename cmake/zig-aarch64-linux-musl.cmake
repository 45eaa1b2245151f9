# Linux aarch64 with musl: as cmake/zig-x86_64-linux-musl.cmake, for aarch64.
# The statically linked programs run under qemu-user without a sysroot.
#   cmake -S . -B build-aarch64-linux-musl -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-linux-musl.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(KORVA_ZIG_TARGET aarch64-linux-musl)
set(KORVA_MUSL_LIBC_SONAME libc.musl-aarch64.so.1)
set(KORVA_ZIG_LIBGCC_FROM aarch64-linux-gnu-gcc)
include(${CMAKE_CURRENT_LIST_DIR}/zig/toolchain.cmake)
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
