# cmake -DPROGRAM=<file> -DFORBIDDEN=<name;name...> -P CheckNeeded.cmake
#
# Fails when the program's dynamic section names a shared library whose name
# starts with one of FORBIDDEN: a library that it would load at start-up.
cmake_minimum_required(VERSION 3.25)
find_program(READELF readelf REQUIRED)
execute_process(COMMAND "${READELF}" -d "${PROGRAM}" OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "readelf -d ${PROGRAM} failed")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^[]*\\[[^]]*\\]" needed_lines "${dynamic}")
set(found "")
foreach(line IN LISTS needed_lines)
  string(REGEX REPLACE ".*\\[([^]]*)\\]" "\\1" library "${line}")
  foreach(prefix IN LISTS FORBIDDEN)
    if(library MATCHES "^${prefix}")
      list(APPEND found ${library})
    endif()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "${PROGRAM} loads ${found}")
endif()
