# macOS on aarch64 with zig's Clang and its macOS SDK headers (see
# cmake/zig/toolchain.cmake), for macOS 11.0 and later (the first release for
# Apple Silicon; the wheel tag states the same version).
#   cmake -S . -B build-aarch64-macos -DCMAKE_TOOLCHAIN_FILE=cmake/zig-aarch64-macos.cmake
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_PROCESSOR arm64)
set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
set(KORVA_ZIG_TARGET aarch64-macos.11.0)
include(${CMAKE_CURRENT_LIST_DIR}/zig/toolchain.cmake)
