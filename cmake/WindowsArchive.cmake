# The Windows release archive (target windows_packer_archive of the windows-packer preset):
# launcher-pack-<version>-windows-x64.zip holding one folder of that name with launcher-pack.exe,
# the ready stub beside it (launcher.exe, as stub looks for it), the users' README (the same text
# as the Debian package's), LICENCE.txt, the third-party notices and SHA256SUMS of them all.
set(LAUNCHER_READY_STUB "${PROJECT_SOURCE_DIR}/build/windows-release/launcher.exe" CACHE FILEPATH
    "The ready stub (launcher.exe of the windows-release preset) that the Windows archive carries")

include(${PROJECT_SOURCE_DIR}/cmake/UserGuide.cmake)
launcher_user_guide("${PROJECT_BINARY_DIR}/archive/README.md")
# The Debian copyright files of the libraries linked into launcher-pack.exe, one after another.
set(noticeSources
  "OpenSSL libcrypto=/usr/share/doc/libssl-dev/copyright"
  "libdeflate=/usr/share/doc/libdeflate-dev/copyright"
  "zlib=/usr/share/doc/libz-mingw-w64-dev/copyright"
  "CLI11=/usr/share/doc/libcli11-dev/copyright"
  "MinGW-w64 runtime=/usr/share/doc/mingw-w64-common/copyright")
set(notices "Third-party code in launcher-pack.exe and launcher.exe: copyright notices and licences\n")
foreach(entry IN LISTS noticeSources)
  string(REPLACE "=" ";" entry "${entry}")
  list(GET entry 0 name)
  list(GET entry 1 source)
  if(NOT EXISTS "${source}")
    message(FATAL_ERROR "${source} (the licence of ${name}) is missing: run scripts/setup.sh")
  endif()
  file(READ "${source}" text)
  string(APPEND notices "\n==== ${name} ====\n\n${text}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/archive/THIRD-PARTY-NOTICES.txt.tmp" "${notices}")
configure_file("${PROJECT_BINARY_DIR}/archive/THIRD-PARTY-NOTICES.txt.tmp"
               "${PROJECT_BINARY_DIR}/archive/THIRD-PARTY-NOTICES.txt" COPYONLY)

set(archiveName "launcher-pack-${PROJECT_VERSION}-windows-x64")
set(archive "${PROJECT_BINARY_DIR}/${archiveName}.zip")
add_custom_command(OUTPUT "${archive}"
  COMMAND ${CMAKE_COMMAND} -DNAME=${archiveName} -DARCHIVE=${archive} -DWORK=${PROJECT_BINARY_DIR}/archive
          "-DFILES=$<TARGET_FILE:launcher-pack>|${LAUNCHER_READY_STUB}|${PROJECT_BINARY_DIR}/archive/README.md|${PROJECT_SOURCE_DIR}/packaging/windows/LICENCE.txt|${PROJECT_BINARY_DIR}/archive/THIRD-PARTY-NOTICES.txt"
          -P "${PROJECT_SOURCE_DIR}/cmake/MakeWindowsArchive.cmake"
  DEPENDS launcher-pack "${LAUNCHER_READY_STUB}" "${PROJECT_BINARY_DIR}/archive/README.md"
          "${PROJECT_SOURCE_DIR}/packaging/windows/LICENCE.txt" "${PROJECT_BINARY_DIR}/archive/THIRD-PARTY-NOTICES.txt"
          "${PROJECT_SOURCE_DIR}/cmake/MakeWindowsArchive.cmake"
  VERBATIM)
add_custom_target(windows_packer_archive DEPENDS "${archive}")
