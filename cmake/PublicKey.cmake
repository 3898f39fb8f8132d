# Turns LAUNCHER_PUBLIC_KEY into the 276-byte public key blob that the launcher verifies
# payload items with, and writes it as a C array into the build tree.
set(_key "${LAUNCHER_PUBLIC_KEY}")
if(NOT EXISTS "${_key}")
  message(FATAL_ERROR "LAUNCHER_PUBLIC_KEY: no such file: ${_key}")
endif()
set(_blob "${CMAKE_BINARY_DIR}/generated/payload_public_key.blob")
file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/generated")

file(READ "${_key}" _head LIMIT 4096)
if(_head MATCHES "-----BEGIN PUBLIC KEY-----|-----BEGIN RSA PUBLIC KEY-----")
  set(_pubin -pubin)
  if(_head MATCHES "BEGIN RSA PUBLIC KEY")
    set(_pubin -RSAPublicKey_in)
  endif()
  execute_process(COMMAND openssl rsa ${_pubin} -in "${_key}" -outform MSBLOB -out "${_blob}"
                  RESULT_VARIABLE _rc ERROR_VARIABLE _err)
elseif(_head MATCHES "-----BEGIN (RSA )?PRIVATE KEY-----")
  execute_process(COMMAND openssl rsa -in "${_key}" -pubout -outform MSBLOB -out "${_blob}"
                  RESULT_VARIABLE _rc ERROR_VARIABLE _err)
else()
  configure_file("${_key}" "${_blob}" COPYONLY)
  set(_rc 0)
endif()
if(NOT _rc EQUAL 0)
  message(FATAL_ERROR "LAUNCHER_PUBLIC_KEY: openssl could not read ${_key}: ${_err}")
endif()

file(READ "${_blob}" _hex HEX)
string(LENGTH "${_hex}" _hexLength)
if(NOT _hexLength EQUAL 552)
  math(EXPR _bytes "${_hexLength} / 2")
  message(FATAL_ERROR "LAUNCHER_PUBLIC_KEY: the public key blob is ${_bytes} bytes, not 276 (a 2048-bit RSA key with exponent 65537 is needed)")
endif()
if(NOT _hex MATCHES "^0602000000a4000052534131000800000100010")
  message(FATAL_ERROR "LAUNCHER_PUBLIC_KEY: not a 2048-bit RSA public key blob with exponent 65537")
endif()
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," _array "${_hex}")
string(REGEX REPLACE "((0x[0-9a-f][0-9a-f],){12})" "\\1\n    " _array "${_array}")
file(WRITE "${CMAKE_BINARY_DIR}/generated/payload_public_key.inc.tmp"
  "// Generated from ${_key} at configure time.\n    ${_array}\n")
configure_file("${CMAKE_BINARY_DIR}/generated/payload_public_key.inc.tmp"
               "${CMAKE_BINARY_DIR}/generated/payload_public_key.inc" COPYONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_key}")

file(READ "${_key}" _keyText)
if(_keyText MATCHES "TEST-ONLY")
  set(LAUNCHER_USES_TEST_KEY ON)
  message(WARNING "The launcher is built with the TEST payload key (${_key}). "
                  "Anyone can sign payloads for it: set LAUNCHER_PUBLIC_KEY to your own key for releases.")
else()
  set(LAUNCHER_USES_TEST_KEY OFF)
  message(STATUS "Payload verification key: ${_key}")
endif()
