# The Debian package of launcher-pack (cpack -G DEB in the native-release build):
# launcher-pack_<version>_amd64.deb with the packer, the ready stub that the Windows release
# build makes and its SHA-256, the manual page, the copyright file, the changelog and the users'
# README (the part of README.md between the user-guide markers). Its dependencies are computed by
# dpkg-shlibdeps; tests/package/debian-package.sh checks it with lintian.
set(LAUNCHER_READY_STUB "${PROJECT_SOURCE_DIR}/build/windows-release/launcher.exe" CACHE FILEPATH
    "The ready stub (launcher.exe of the windows-release preset) that the Debian package carries")
set(LAUNCHER_PACK_MAINTAINER "launcher-pack maintainers <maintainers@users.noreply.c-seed-4d6c36bb.example>"
    CACHE STRING "The Debian package's Maintainer field: a name and an address that reaches a person")

set(docDir share/doc/launcher-pack)
install(TARGETS launcher-pack RUNTIME DESTINATION bin)
# The packer looks for the ready stub in ../share/launcher-pack from its own folder.
install(FILES "${LAUNCHER_READY_STUB}" DESTINATION share/launcher-pack RENAME launcher.exe)
install(FILES "${PROJECT_SOURCE_DIR}/packaging/debian/copyright" DESTINATION ${docDir})
# Its SHA-256, in sha256sum's format, for comparing with a stub rebuilt from the same source.
# Computed when packing, because the stub is built in another tree.
set(stubHash "${PROJECT_BINARY_DIR}/launcher.exe.sha256")
install(CODE "file(SHA256 \"${LAUNCHER_READY_STUB}\" hash)
  file(WRITE \"${stubHash}\" \"\${hash}  launcher.exe\\n\")")
install(FILES "${stubHash}" DESTINATION share/launcher-pack)

# The users' README: what a user does, without the developers' part.
include(${PROJECT_SOURCE_DIR}/cmake/UserGuide.cmake)
launcher_user_guide("${PROJECT_BINARY_DIR}/package/README.md")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in")
install(FILES "${PROJECT_BINARY_DIR}/package/README.md" DESTINATION ${docDir})

set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${LAUNCHER_PACK_MAINTAINER}")
# A native version (no Debian revision), so the changelog is changelog.gz.
configure_file("${PROJECT_SOURCE_DIR}/packaging/debian/changelog.in" "${PROJECT_BINARY_DIR}/package/changelog" @ONLY)
set(gzipped "${PROJECT_BINARY_DIR}/package/changelog.gz" "${PROJECT_BINARY_DIR}/launcher-pack.1.gz")
add_custom_command(OUTPUT ${gzipped}
  COMMAND gzip -9n -c "${PROJECT_BINARY_DIR}/package/changelog" > "${PROJECT_BINARY_DIR}/package/changelog.gz"
  COMMAND gzip -9n -c "${PROJECT_SOURCE_DIR}/packer/launcher-pack.1" > "${PROJECT_BINARY_DIR}/launcher-pack.1.gz"
  DEPENDS "${PROJECT_BINARY_DIR}/package/changelog" "${PROJECT_SOURCE_DIR}/packer/launcher-pack.1"
  VERBATIM)
add_custom_target(launcher_pack_package_files ALL DEPENDS ${gzipped})
install(FILES "${PROJECT_BINARY_DIR}/package/changelog.gz" DESTINATION ${docDir})
install(FILES "${PROJECT_BINARY_DIR}/launcher-pack.1.gz" DESTINATION share/man/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME launcher-pack)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs Windows Installer packages into a signed launcher.exe")
# The long description; CPack puts the summary in front of it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "launcher-pack turns one or more Windows Installer packages (.msi files with
external cabinets) into a single self-contained setup.exe for 64-bit Windows:
the packages travel compressed and signed with the user's payload key inside
a copy of a small launcher, which checks them, picks the package for the
user's language and runs the Windows Installer.
.
The package carries the ready stub, the launcher with an empty key slot:
launcher-pack sets the payload key in it, the stub is then Authenticode-signed
with osslsigncode and packed, with no compiler. launcher-pack verify checks
the result as a release gate, and inspect and extract read installers back.
.
The payload key can be a PEM file, a key in a PKCS#11 token (which never
leaves it) or a key service reached through a signer command.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Loaded at run time for pkcs11: keys whose URI names no module (p11-kit reaches every registered
# module), so dpkg-shlibdeps can't see it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libp11-kit0")
set(CPACK_STRIP_FILES ON)
include(CPack)
