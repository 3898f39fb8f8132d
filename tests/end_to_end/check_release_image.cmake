# cmake -DOBJDUMP=<objdump> -DPROGRAM=<launcher.exe> -DLIMIT=<bytes> -DBUILD_PATHS=<dir;dir> -P check_release_image.cmake
# Fails unless PROGRAM is at most LIMIT bytes, is marked aware of Remote Desktop session hosts
# (TERMINAL_SERVER_AWARE, 0x8000 in DllCharacteristics: without it, such a host gives the program a
# private Windows folder in the user's profile), has no debug sections and holds none of the text
# a cryptographic library or a build machine leaves behind: library names, configuration file
# names, home folders and this build's own folders.
cmake_minimum_required(VERSION 3.25)

file(SIZE "${PROGRAM}" size)
message(STATUS "${PROGRAM}: ${size} bytes (limit ${LIMIT})")
if(size GREATER LIMIT)
  message(FATAL_ERROR "${PROGRAM} is ${size} bytes, more than ${LIMIT}")
endif()

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE headers RESULT_VARIABLE result)
if(NOT result EQUAL 0 OR NOT headers MATCHES "DllCharacteristics[ \t]+([0-9a-fA-F]+)")
  message(FATAL_ERROR "${OBJDUMP} could not read the DllCharacteristics of ${PROGRAM}")
endif()
math(EXPR aware "0x${CMAKE_MATCH_1} & 0x8000")
if(aware EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} is not marked TERMINAL_SERVER_AWARE (DllCharacteristics 0x${CMAKE_MATCH_1})")
endif()

execute_process(COMMAND ${OBJDUMP} -h ${PROGRAM} OUTPUT_VARIABLE sections RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${PROGRAM}")
endif()
if(sections MATCHES "\\.debug_|\\.stab")
  message(FATAL_ERROR "${PROGRAM} carries debug sections: not stripped")
endif()
execute_process(COMMAND ${OBJDUMP} -t ${PROGRAM} OUTPUT_VARIABLE symbols)
if(symbols MATCHES "\\[ *[0-9]+\\]\\(sec")
  message(FATAL_ERROR "${PROGRAM} carries a symbol table: not stripped")
endif()

set(patterns "OpenSSL" "openssl\\.cnf" "/root/" "/home/")
foreach(path ${BUILD_PATHS})
  string(REGEX REPLACE "([][+.*()^$?|\\\\])" "\\\\\\1" escaped "${path}")
  list(APPEND patterns "${escaped}")
endforeach()
foreach(pattern ${patterns})
  file(STRINGS "${PROGRAM}" found REGEX "${pattern}" LIMIT_COUNT 3)
  if(found)
    message(FATAL_ERROR "${PROGRAM} holds text matching '${pattern}': ${found}")
  endif()
endforeach()
