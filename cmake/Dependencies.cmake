# Third-party libraries: Debian's packages for the native build, the cache that
# scripts/setup.sh fills for the Windows build.
if(WIN32)
  set(_openssl "${LAUNCHER_DEPS_CACHE}/openssl-mingw64")
  set(_gtest "${LAUNCHER_DEPS_CACHE}/googletest-mingw64")
  set(_libdeflate "${LAUNCHER_DEPS_CACHE}/libdeflate-mingw64")

  # The import library libz.dll.a sits beside libz.a; name the static one so that nothing needs zlib1.dll.
  add_library(ZLIB::ZLIB STATIC IMPORTED)
  set_target_properties(ZLIB::ZLIB PROPERTIES
    IMPORTED_LOCATION "/usr/${MINGW_TRIPLE}/lib/libz.a"
    INTERFACE_INCLUDE_DIRECTORIES "/usr/${MINGW_TRIPLE}/include")
  # The launcher's zlib: the inflate alone, of the same zlib version (its headers are the ones
  # above), without gzip support, which would bring CRC-32 code and tables it never uses.
  set(_zlibInflate "${LAUNCHER_DEPS_CACHE}/zlib-inflate-mingw64")
  if(NOT EXISTS "${_zlibInflate}/lib/libz-inflate.a")
    message(FATAL_ERROR "MinGW zlib inflate not found in ${_zlibInflate}: run scripts/setup.sh first")
  endif()
  add_library(ZLIB::Inflate STATIC IMPORTED)
  set_target_properties(ZLIB::Inflate PROPERTIES
    IMPORTED_LOCATION "${_zlibInflate}/lib/libz-inflate.a"
    INTERFACE_INCLUDE_DIRECTORIES "/usr/${MINGW_TRIPLE}/include")

  # launcher.exe verifies with the system's provider; OpenSSL signs payloads in launcher-pack.exe
  # and the tests. Its OPENSSLDIR names no folder a Windows machine can have (see setup.sh).
  if(LAUNCHER_BUILD_TESTS OR LAUNCHER_WINDOWS_PACKER)
    if(NOT EXISTS "${_openssl}/lib/libcrypto.a" OR NOT EXISTS "${_openssl}/.cache-key")
      message(FATAL_ERROR "MinGW OpenSSL (current build) not found in ${_openssl}: run scripts/setup.sh first")
    endif()
    add_library(OpenSSL::Crypto STATIC IMPORTED)
    set_target_properties(OpenSSL::Crypto PROPERTIES
      IMPORTED_LOCATION "${_openssl}/lib/libcrypto.a"
      INTERFACE_INCLUDE_DIRECTORIES "${_openssl}/include"
      INTERFACE_LINK_LIBRARIES "ws2_32;crypt32;advapi32;user32;bcrypt")
  endif()

  # launcher-pack.exe: the very libdeflate version of the native build, so both write the same
  # bytes, and CLI11's headers (header-only) copied out of the host's /usr/include.
  if(LAUNCHER_WINDOWS_PACKER)
    if(NOT EXISTS "${_libdeflate}/lib/libdeflate.a")
      message(FATAL_ERROR "MinGW libdeflate not found in ${_libdeflate}: run scripts/setup.sh first")
    endif()
    add_library(libdeflate::libdeflate STATIC IMPORTED)
    set_target_properties(libdeflate::libdeflate PROPERTIES
      IMPORTED_LOCATION "${_libdeflate}/lib/libdeflate.a"
      INTERFACE_INCLUDE_DIRECTORIES "${_libdeflate}/include")
    find_path(LAUNCHER_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(COPY "${LAUNCHER_CLI11_INCLUDE}/CLI" DESTINATION "${PROJECT_BINARY_DIR}/cli11/include")
    add_library(CLI11::CLI11 INTERFACE IMPORTED)
    set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${PROJECT_BINARY_DIR}/cli11/include")
  endif()

  if(LAUNCHER_BUILD_TESTS)
    if(NOT EXISTS "${_gtest}/lib/libgtest.a")
      message(FATAL_ERROR "MinGW GoogleTest not found in ${_gtest}: run scripts/setup.sh first")
    endif()
    foreach(_lib gtest gtest_main gmock)
      add_library(GTest::${_lib} STATIC IMPORTED)
      set_target_properties(GTest::${_lib} PROPERTIES
        IMPORTED_LOCATION "${_gtest}/lib/lib${_lib}.a"
        INTERFACE_INCLUDE_DIRECTORIES "${_gtest}/include")
    endforeach()
    set_property(TARGET GTest::gtest_main APPEND PROPERTY INTERFACE_LINK_LIBRARIES GTest::gtest)
    set_property(TARGET GTest::gmock APPEND PROPERTY INTERFACE_LINK_LIBRARIES GTest::gtest)
  endif()
else()
  find_package(OpenSSL 3 REQUIRED COMPONENTS Crypto)
  find_package(ZLIB REQUIRED)
  # The packer: argument parsing, reading .msi databases, whole-buffer deflate.
  find_package(CLI11 CONFIG REQUIRED)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBMSI REQUIRED IMPORTED_TARGET libmsi-1.0)
  pkg_check_modules(LIBDEFLATE REQUIRED IMPORTED_TARGET libdeflate)
  add_library(libdeflate::libdeflate ALIAS PkgConfig::LIBDEFLATE)
  if(LAUNCHER_BUILD_TESTS)
    find_package(GTest REQUIRED)
    find_package(benchmark QUIET)
  endif()
endif()
