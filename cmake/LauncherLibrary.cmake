# launcher_library(NAME [PROFILED] SOURCES ... LIBRARIES ... LAUNCHER_LIBRARIES ...)
# Makes the static library NAME for the product and, when tests are built, NAME_seamed: the
# same sources compiled with tests/seam/fault_injection.h forced in, so that tests can make
# chosen platform calls (allocations, reads) fail. Product code calls the platform plainly.
# LAUNCHER_LIBRARIES are libraries made by this function; the seamed copy links their seamed copies.
# PROFILED, when tests are built, also makes NAME_profiled: the same sources with the phase marks
# of launcher/phase_marks.h taken, for the installer-start benchmark's profile.
function(launcher_library name)
  cmake_parse_arguments(ARG "PROFILED" "" "SOURCES;LIBRARIES;LAUNCHER_LIBRARIES" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LAUNCHER_LIBRARIES} ${ARG_LIBRARIES})
  if(LAUNCHER_BUILD_TESTS)
    set(seamedLibraries)
    foreach(library ${ARG_LAUNCHER_LIBRARIES})
      list(APPEND seamedLibraries ${library}_seamed)
    endforeach()
    add_library(${name}_seamed STATIC ${ARG_SOURCES})
    target_include_directories(${name}_seamed PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_options(${name}_seamed PRIVATE -include ${PROJECT_SOURCE_DIR}/tests/seam/fault_injection.h)
    target_compile_definitions(${name}_seamed PUBLIC LAUNCHER_FAULT_INJECTION=1)
    target_link_libraries(${name}_seamed PUBLIC ${seamedLibraries} ${ARG_LIBRARIES} fault_injection)
  endif()
  if(LAUNCHER_BUILD_TESTS AND ARG_PROFILED)
    add_library(${name}_profiled STATIC ${ARG_SOURCES})
    target_include_directories(${name}_profiled PUBLIC ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${name}_profiled PUBLIC LAUNCHER_PROFILE=1)
    target_link_libraries(${name}_profiled PUBLIC ${ARG_LAUNCHER_LIBRARIES} ${ARG_LIBRARIES})
  endif()
endfunction()
