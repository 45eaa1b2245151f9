# Cross build for Windows on ARM64 with zig's Clang, MinGW-w64 headers and
# libc++ (see cmake/zig/toolchain.cmake):
#   cmake -S . -B build-win-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-windows.cmake
# Programs link against the Universal C Runtime (api-ms-win-crt-*), as
# Windows on ARM64 ships it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(KORVA_ZIG_TARGET aarch64-windows-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/zig/toolchain.cmake)
# The module's import library of python3.dll (cmake/windows-module.cmake).
set(CMAKE_NM llvm-nm-14)
set(KORVA_DLLTOOL ${CMAKE_CURRENT_LIST_DIR}/zig/dlltool)
set(KORVA_DLLTOOL_MACHINE arm64)
# With CMake's GNU-style Clang on Windows, modules need the flag spelled out.
set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")
set(CMAKE_SHARED_LIBRARY_CREATE_CXX_FLAGS "-shared")
