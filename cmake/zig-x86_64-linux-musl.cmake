# Linux x86_64 with musl (Alpine and other musl systems) with zig's Clang (see
# cmake/zig/toolchain.cmake) and zig's copy of musl's headers. musl keeps one
# stable ABI from 1.2 on, so the binaries load on any musl from 1.2 on, which
# is what the musllinux_1_2 wheel tag promises. The module links musl's
# C library dynamically (the system's own, which the interpreter uses too);
# programs are linked statically, so they run on this glibc machine as they
# would on a musl one. Linked statically they take zig's own exp, log, sin,
# cos, atan and the like, which zig's copy of musl carries in place of
# musl's; with KORVA_MUSL_SHARED_LIBC=ON they link musl's C library as the
# module does, and run under musl's own loader (Debian's `musl` package) with
# musl's own maths, as the module computes on a musl system.
#   cmake -S . -B build-x86_64-linux-musl -DCMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux-musl.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KORVA_ZIG_TARGET x86_64-linux-musl)
set(KORVA_MUSL_LIBC_SONAME libc.musl-x86_64.so.1)
set(KORVA_ZIG_LIBGCC_FROM gcc)
include(${CMAKE_CURRENT_LIST_DIR}/zig/toolchain.cmake)
option(KORVA_MUSL_SHARED_LIBC "Link programs against musl's shared C library" OFF)
if(KORVA_MUSL_SHARED_LIBC)
  set(CMAKE_EXE_LINKER_FLAGS_INIT -dynamic)
else()
  set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
endif()
