# The extension module cross-built for Windows x64 with MinGW-w64, against
# the 3.12 limited API and nothing else of the interpreter: its symbols come
# from python3.dll through an import library made from the symbols the
# module's objects use (python3-def.cmake writes the .def, dlltool turns it
# into the library). The headers are CPython's own (KORVA_PYTHON_INCLUDE_DIR,
# e.g. the build machine's 3.12), copied with windows-pyconfig.h in place of
# the build machine's configuration.
set(KORVA_PYTHON_INCLUDE_DIR "" CACHE PATH "CPython 3.12 include directory (Python.h)")
if(NOT EXISTS "${KORVA_PYTHON_INCLUDE_DIR}/Python.h")
  message(FATAL_ERROR "set KORVA_PYTHON_INCLUDE_DIR to a CPython 3.12 include directory")
endif()
set(KORVA_PYTHON_WINDOWS_INCLUDE ${CMAKE_CURRENT_BINARY_DIR}/python-include)
file(REMOVE_RECURSE ${KORVA_PYTHON_WINDOWS_INCLUDE})
file(COPY ${KORVA_PYTHON_INCLUDE_DIR}/ DESTINATION ${KORVA_PYTHON_WINDOWS_INCLUDE} PATTERN pyconfig.h EXCLUDE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/windows-pyconfig.h ${KORVA_PYTHON_WINDOWS_INCLUDE}/pyconfig.h COPYONLY)

add_library(korva_rust_objects OBJECT ${KORVA_MODULE_SOURCES})
target_include_directories(korva_rust_objects PRIVATE ${KORVA_PYTHON_WINDOWS_INCLUDE})
target_compile_definitions(korva_rust_objects PRIVATE Py_LIMITED_API=0x030C0000)
target_link_libraries(korva_rust_objects PRIVATE korva_core korva_coordination)

find_program(KORVA_DLLTOOL NAMES ${KORVA_MINGW_TRIPLE}-dlltool dlltool REQUIRED)
if(KORVA_DLLTOOL_MACHINE)
  set(KORVA_DLLTOOL_MACHINE_OPTION -m ${KORVA_DLLTOOL_MACHINE})
endif()
set(KORVA_PYTHON3_DEF ${CMAKE_CURRENT_BINARY_DIR}/python3.def)
set(KORVA_PYTHON3_LIB ${CMAKE_CURRENT_BINARY_DIR}/libpython3.dll.a)
add_custom_command(
  OUTPUT ${KORVA_PYTHON3_DEF} ${KORVA_PYTHON3_LIB}
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DOBJECTS=$<TARGET_OBJECTS:korva_rust_objects>
          -DHEADERS=${KORVA_PYTHON_WINDOWS_INCLUDE} -DOUTPUT=${KORVA_PYTHON3_DEF}
          -P ${CMAKE_CURRENT_LIST_DIR}/python3-def.cmake
  COMMAND ${KORVA_DLLTOOL} ${KORVA_DLLTOOL_MACHINE_OPTION} --input-def ${KORVA_PYTHON3_DEF} --dllname python3.dll --output-lib ${KORVA_PYTHON3_LIB}
  DEPENDS $<TARGET_OBJECTS:korva_rust_objects> ${CMAKE_CURRENT_LIST_DIR}/python3-def.cmake
  VERBATIM)
add_custom_target(korva_python3_import DEPENDS ${KORVA_PYTHON3_LIB})

add_library(korva_rust MODULE $<TARGET_OBJECTS:korva_rust_objects>)
add_dependencies(korva_rust korva_python3_import)
set_target_properties(korva_rust PROPERTIES PREFIX "" SUFFIX ".pyd")
target_link_libraries(korva_rust PRIVATE korva_core korva_coordination ${KORVA_PYTHON3_LIB})
korva_static_runtime(korva_rust)
