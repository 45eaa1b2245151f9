# Cross build for Windows on ARM64 with zig's Clang, MinGW-w64 headers and
# libc++ (zig from PyPI, run as `python -m ziglang`, so the Python on PATH
# must have the ziglang package):
#   cmake -S . -B build-win-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-windows.cmake
# Programs link against the Universal C Runtime (api-ms-win-crt-*), as
# Windows on ARM64 ships it. The wrappers in cmake/zig/ give CMake one
# program per tool.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(KORVA_MINGW_TRIPLE aarch64-w64-mingw32)

set(CMAKE_C_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/cc)
set(CMAKE_CXX_COMPILER ${CMAKE_CURRENT_LIST_DIR}/zig/c++)
set(CMAKE_AR ${CMAKE_CURRENT_LIST_DIR}/zig/ar)
set(CMAKE_RANLIB ${CMAKE_CURRENT_LIST_DIR}/zig/ranlib)
# For the module's import library of python3.dll (cmake/windows-module.cmake).
set(CMAKE_NM llvm-nm-14)
set(KORVA_DLLTOOL ${CMAKE_CURRENT_LIST_DIR}/zig/dlltool)
# With CMake's GNU-style Clang on Windows, modules need the flag spelled out.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
set(CMAKE_SHARED_LIBRARY_CREATE_CXX_FLAGS "-shared")
# zig links libc++ in by itself; -static would ask it for an archive.
set(KORVA_TOOLCHAIN_STATIC_RUNTIME ON)

# Nothing of the build machine's libraries or packages: the header-only JSON
# library is taken from it through a directory of its own (see
# coordination/CMakeLists.txt).
set(CMAKE_FIND_ROOT_PATH ${CMAKE_CURRENT_LIST_DIR}/zig/no-sysroot)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
