# cmake -DOBJDUMP=<objdump> -DPROGRAM=<file.exe> [-DCONSOLE=ON] -P check_imports.cmake
# Fails unless PROGRAM is a 64-bit GUI executable (a console one with CONSOLE) that imports only DLLs that the system always
# takes from its own folder (its known DLLs, and the common controls, which the manifest binds
# side by side): a DLL imported by name from anywhere else could be planted beside the program.
# Everything else (the C++ runtime, zlib, winpthread) is linked in, and other system DLLs are
# loaded at run time from the system folder.
cmake_minimum_required(VERSION 3.25)
set(knownDlls
  advapi32.dll comctl32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll shell32.dll shlwapi.dll
  user32.dll)

execute_process(COMMAND ${OBJDUMP} -p ${PROGRAM} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} could not read ${PROGRAM}")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
if(NOT imports)
  message(FATAL_ERROR "${PROGRAM} imports nothing: not the program expected")
endif()
set(foreign)
foreach(import ${imports})
  string(REGEX REPLACE "^DLL Name: " "" dll "${import}")
  string(STRIP "${dll}" dll)
  string(TOLOWER "${dll}" dll)
  message(STATUS "imports ${dll}")
  if(NOT dll IN_LIST knownDlls)
    list(APPEND foreign ${dll})
  endif()
endforeach()
if(foreign)
  message(FATAL_ERROR "${PROGRAM} imports DLLs that are not known DLLs: ${foreign}")
endif()

if(NOT dump MATCHES "Magic[ \t]+020b")
  message(FATAL_ERROR "${PROGRAM} is not a PE32+ (64-bit) image")
endif()
if(CONSOLE)
  if(NOT dump MATCHES "Subsystem[ \t]+00000003")
    message(FATAL_ERROR "${PROGRAM} is not a console program (subsystem 3)")
  endif()
elseif(NOT dump MATCHES "Subsystem[ \t]+00000002")
  message(FATAL_ERROR "${PROGRAM} is not a GUI program (subsystem 2)")
endif()
