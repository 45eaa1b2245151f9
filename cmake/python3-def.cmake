# Writes the module definition (.def) of the python3.dll symbols an extension
# uses, from the undefined symbols of its object files, for dlltool to turn
# into an import library. Data symbols (exception classes, None, True, type
# objects) are marked DATA: the headers declare them with PyAPI_DATA.
#   cmake -DNM=<nm> -DOBJECTS=<a;b> -DHEADERS=<include dir> -DOUTPUT=<file.def> -P python3-def.cmake
execute_process(COMMAND ${NM} -u ${OBJECTS} OUTPUT_VARIABLE undefined COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCHALL "__imp_[A-Za-z_][A-Za-z0-9_]*" imports "${undefined}")
list(TRANSFORM imports REPLACE "^__imp_" "")
list(FILTER imports INCLUDE REGEX "^_?Py")
list(REMOVE_DUPLICATES imports)
list(SORT imports)

# Every interpreter symbol must come through the import table: a direct
# reference would mean a declaration without the DLL import.
string(REGEX MATCHALL "[ \n]U _?Py[A-Za-z0-9_]*" direct "${undefined}")
if(direct)
  message(FATAL_ERROR "interpreter symbols referenced without DLL import:${direct}")
endif()

file(GLOB headers ${HEADERS}/*.h)
set(data "")
foreach(h IN LISTS headers)
  file(STRINGS ${h} lines REGEX "PyAPI_DATA\\([^)]*\\)")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE ".*PyAPI_DATA\\([^)]*\\)([^;]*);.*" "\\1" names "${line}")
    string(REGEX MATCHALL "[A-Za-z_][A-Za-z0-9_]*" names "${names}")
    list(APPEND data ${names})
  endforeach()
endforeach()

set(def "LIBRARY python3.dll\nEXPORTS\n")
foreach(name IN LISTS imports)
  if(name IN_LIST data)
    string(APPEND def "    ${name} DATA\n")
  else()
    string(APPEND def "    ${name}\n")
  endif()
endforeach()
file(WRITE ${OUTPUT} "${def}")
list(LENGTH imports count)
message(STATUS "python3.dll: ${count} symbols")
