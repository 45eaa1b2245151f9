# Shared part of the zig toolchain files (cmake/zig-<arch>-<system>.cmake):
# zig's Clang from PyPI, run as `python -m ziglang` (so the Python on PATH
# must have the ziglang package), with its own C library headers and stubs
# for the target, its libc++ linked into each binary, and nothing of the
# build machine's headers or libraries. The including file sets
# KORVA_ZIG_TARGET (zig's target triple, e.g. x86_64-linux-gnu.2.17 for the
# oldest glibc the binaries may need) before including this one.
set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/c++)
set(CMAKE_C_COMPILER_TARGET ${KORVA_ZIG_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${KORVA_ZIG_TARGET})
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/ranlib)
# zig links libc++ in by itself; -static would ask it for an archive.
set(KORVA_TOOLCHAIN_STATIC_RUNTIME ON)

# The header-only JSON library is taken from the build machine through a
# directory of its own (see coordination/CMakeLists.txt), so that the build
# machine's C library headers never shadow the target's.
set(CMAKE_FIND_ROOT_PATH ${CMAKE_CURRENT_LIST_DIR}/no-sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
