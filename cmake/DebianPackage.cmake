# The Debian package of launcher-pack (cpack -G DEB in the native-release build):
# launcher-pack_<version>_amd64.deb with the packer, the ready stub that the Windows release
# build makes and its SHA-256, the manual page and the README. Its dependencies are computed by
# dpkg-shlibdeps.
set(LAUNCHER_READY_STUB "${PROJECT_SOURCE_DIR}/build/windows-release/launcher.exe" CACHE FILEPATH
    "The ready stub (launcher.exe of the windows-release preset) that the Debian package carries")

install(TARGETS launcher-pack RUNTIME DESTINATION bin)
# The packer looks for the ready stub in ../share/launcher-pack from its own folder.
install(FILES "${LAUNCHER_READY_STUB}" DESTINATION share/launcher-pack RENAME launcher.exe)
# Its SHA-256, in sha256sum's format, for comparing with a stub rebuilt from the same source.
# Computed when packing, because the stub is built in another tree.
set(stubHash "${PROJECT_BINARY_DIR}/launcher.exe.sha256")
install(CODE "file(SHA256 \"${LAUNCHER_READY_STUB}\" hash)
  file(WRITE \"${stubHash}\" \"\${hash}  launcher.exe\\n\")")
install(FILES "${stubHash}" DESTINATION share/launcher-pack)
install(FILES "${PROJECT_SOURCE_DIR}/README.md" DESTINATION share/doc/launcher-pack)
set(manPage "${PROJECT_BINARY_DIR}/launcher-pack.1.gz")
add_custom_command(OUTPUT "${manPage}"
  COMMAND gzip -9n -c "${PROJECT_SOURCE_DIR}/packer/launcher-pack.1" > "${manPage}"
  DEPENDS "${PROJECT_SOURCE_DIR}/packer/launcher-pack.1"
  VERBATIM)
add_custom_target(launcher_pack_manual ALL DEPENDS "${manPage}")
install(FILES "${manPage}" DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME launcher-pack)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs Windows Installer packages into a self-contained, signed launcher.exe")
set(CPACK_PACKAGE_CONTACT "launcher-pack maintainers <launcher-pack@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
