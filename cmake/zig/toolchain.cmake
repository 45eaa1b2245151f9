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

# zig's compiler runtime keeps its processor detection (which reports no
# extension at all: __builtin_cpu_supports is always false), its 128-bit
# arithmetic and its own exp, log, sin and cos (weak, and rounding
# differently from glibc's in the last bit) in one object, so a binary that
# needs any of the first two takes all of it. For Linux the toolchain file
# names a GCC (KORVA_ZIG_LIBGCC_FROM) whose runtime library supplies those
# two instead: the processor is then detected, and the maths stays glibc's.
if(KORVA_ZIG_LIBGCC_FROM)
  execute_process(COMMAND ${KORVA_ZIG_LIBGCC_FROM} -print-libgcc-file-name
                  OUTPUT_VARIABLE KORVA_ZIG_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT EXISTS "${KORVA_ZIG_LIBGCC}")
    message(FATAL_ERROR "${KORVA_ZIG_LIBGCC_FROM} (its libgcc.a) is needed for this zig build")
  endif()
  set(CMAKE_C_STANDARD_LIBRARIES_INIT ${KORVA_ZIG_LIBGCC})
  set(CMAKE_CXX_STANDARD_LIBRARIES_INIT ${KORVA_ZIG_LIBGCC})
endif()
