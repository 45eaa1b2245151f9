# The extension module cross-built for Linux or macOS against the 3.12
# limited API (the wheels' zig builds), with no interpreter of the target to
# link against: Python's symbols stay undefined and are bound by the loader
# to the interpreter that imports the module, as CPython's own builds of
# extension modules leave them. The headers are CPython's own 3.12 headers
# (KORVA_PYTHON_INCLUDE_DIR, by default those of the Python running CMake):
# the limited API's structures and calls are the same on every 64-bit POSIX
# system.
set(KORVA_PYTHON_INCLUDE_DIR "" CACHE PATH "CPython 3.12 include directory (Python.h)")
if(NOT KORVA_PYTHON_INCLUDE_DIR)
  find_package(Python 3.12 REQUIRED COMPONENTS Interpreter)
  execute_process(COMMAND ${Python_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_path('include'))"
                  OUTPUT_VARIABLE KORVA_PYTHON_INCLUDE_DIR OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
endif()
if(NOT EXISTS "${KORVA_PYTHON_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "set KORVA_PYTHON_INCLUDE_DIR to a CPython 3.12 include directory")
endif()

if(APPLE)
  # A dynamic library rather than a bundle, which zig's Mach-O linker cannot
  # write; Python loads either.
  set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared -Wl,-headerpad_max_install_names")
endif()
add_library(korva_rust MODULE ${KORVA_MODULE_SOURCES})
set_target_properties(korva_rust PROPERTIES PREFIX "" SUFFIX ".abi3.so")
target_include_directories(korva_rust SYSTEM PRIVATE ${KORVA_PYTHON_INCLUDE_DIR})
target_compile_definitions(korva_rust PRIVATE Py_LIMITED_API=0x030C0000)
target_link_libraries(korva_rust PRIVATE korva_core korva_coordination)
if(APPLE)
  # Only the module's entry point is visible; Python's symbols are looked up
  # at load time in the interpreter (macOS's linker wants that said).
  target_link_options(korva_rust PRIVATE -undefined dynamic_lookup)
else()
  # Only the entry point is exported, whatever the linked-in C++ runtime
  # would otherwise export.
  set(KORVA_EXPORTS ${CMAKE_CURRENT_BINARY_DIR}/korva_rust.map)
  file(WRITE ${KORVA_EXPORTS} "{ global: PyInit_korva_rust; local: *; };\n")
  target_link_options(korva_rust PRIVATE -Wl,--version-script=${KORVA_EXPORTS})
endif()
korva_static_runtime(korva_rust)
install(TARGETS korva_rust LIBRARY DESTINATION .)
# zig links musl's C library as libc.so; musl systems name it
# libc.musl-<arch>.so.1 (Alpine's soname, and the name the musllinux wheel
# policy allows), and musl's loader takes any libc.* name as itself. The
# toolchain file names it (KORVA_MUSL_LIBC_SONAME).
if(KORVA_MUSL_LIBC_SONAME)
  find_program(KORVA_PATCHELF patchelf REQUIRED)
  add_custom_command(TARGET korva_rust POST_BUILD
                     COMMAND ${KORVA_PATCHELF} --replace-needed libc.so ${KORVA_MUSL_LIBC_SONAME} $<TARGET_FILE:korva_rust>
                     VERBATIM)
endif()
