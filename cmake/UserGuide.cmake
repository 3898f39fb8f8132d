# launcher_user_guide(OUTPUT): writes the users' README, the part of README.md between the
# user-guide markers (what a user does, without the developers' part), to OUTPUT. The Debian
# package and the Windows archive carry the same text.
function(launcher_user_guide output)
  file(READ "${PROJECT_SOURCE_DIR}/README.md" readme)
  set(beginMarker "<!-- user-guide -->\n")
  string(FIND "${readme}" "${beginMarker}" guideBegin)
  string(FIND "${readme}" "<!-- /user-guide -->" guideEnd)
  if(guideBegin EQUAL -1 OR guideEnd LESS guideBegin)
    message(FATAL_ERROR "README.md has no <!-- user-guide --> ... <!-- /user-guide --> block for the package")
  endif()
  string(LENGTH "${beginMarker}" markerLength)
  math(EXPR guideBegin "${guideBegin} + ${markerLength}")
  math(EXPR guideLength "${guideEnd} - ${guideBegin}")
  string(SUBSTRING "${readme}" ${guideBegin} ${guideLength} userGuide)
  file(WRITE "${output}.tmp" "${userGuide}")
  configure_file("${output}.tmp" "${output}" COPYONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/README.md")
endfunction()
