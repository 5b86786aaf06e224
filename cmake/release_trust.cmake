# The release engineer's trust anchors: the package signing key and the prerequisites' SHA-256
# pins, checked here at configure time and written as constants into a generated header
# (cmake/release_trust.h.in). A key or hash that cannot be used stops the configure step with a
# message naming the option; nothing about them is left to the installer's run.
#
# Also runs as a script, which is how the conformance driver tries bad keys and hashes without
# configuring the project:
#   cmake -DVELMORA_TRUST_OUTPUT=HEADER [-DVELMORA_PACKAGE_PUBLIC_KEY=KEY]
#         [-DVELMORA_RUNTIME_SHA256=HEX] ... -P cmake/release_trust.cmake

set(VELMORA_TRUST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/release_trust.h.in)

# "AB12..." -> "0xAB, 0x12, ..."
function(_velmora_hex_to_bytes hex out)
  string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE ", $" "" bytes "${bytes}")
  set(${out} "${bytes}" PARENT_SCOPE)
endfunction()

# Reads the RSA public key in PEM at `key` with Debian's openssl command; sets `modulus_hex`
# (big-endian, upper case) and `exponent` (decimal) or stops with a clear message. Its rules
# (2048 to 4096 bits in whole bytes, an odd exponent of 3 to 32 bits) must agree with
# isAcceptedRsaKey in platform/crypto.h, which the installer and the tools apply.
function(_velmora_read_public_key key modulus_hex exponent)
  set(option "VELMORA_PACKAGE_PUBLIC_KEY")
  if(NOT EXISTS "${key}" OR IS_DIRECTORY "${key}")
    message(FATAL_ERROR "${option}: ${key}: no such file")
  endif()
  find_program(VELMORA_OPENSSL openssl)
  if(NOT VELMORA_OPENSSL)
    message(FATAL_ERROR "${option}: reading the key needs the openssl command "
                        "(Debian package openssl)")
  endif()
  execute_process(COMMAND ${VELMORA_OPENSSL} rsa -pubin -in "${key}" -noout -text -modulus
                  RESULT_VARIABLE status OUTPUT_VARIABLE text ERROR_VARIABLE errors)
  if(NOT status EQUAL 0)
    if(errors MATCHES "Permission denied|No such file|Could not open")
      message(FATAL_ERROR "${option}: ${key}: cannot be read")
    endif()
    file(READ "${key}" contents LIMIT 65536)
    if(contents MATCHES "PRIVATE KEY-----")
      message(FATAL_ERROR "${option}: ${key} holds a private key: give the public key "
                          "(openssl pkey -in PRIVATE.pem -pubout -out public.pem) and keep the "
                          "private key off the build host")
    endif()
    if(errors MATCHES "Not an RSA key")
      message(FATAL_ERROR "${option}: ${key} is not an RSA key")
    endif()
    message(FATAL_ERROR "${option}: ${key} is not an RSA public key in PEM form")
  endif()
  # openssl also reads DER; the option promises PEM, and a DER file copied around as text
  # breaks silently, so only PEM is taken.
  file(READ "${key}" contents LIMIT 65536)
  if(NOT contents MATCHES "-----BEGIN (RSA )?PUBLIC KEY-----")
    message(FATAL_ERROR "${option}: ${key} is not in PEM form "
                        "(-----BEGIN PUBLIC KEY----- ... -----END PUBLIC KEY-----)")
  endif()
  if(NOT text MATCHES "Public-Key: \\(([0-9]+) bit\\)")
    message(FATAL_ERROR "${option}: ${key}: openssl printed no key size")
  endif()
  set(bits ${CMAKE_MATCH_1})
  if(bits LESS 2048 OR bits GREATER 4096)
    message(FATAL_ERROR "${option}: ${key} is an RSA key of ${bits} bits; "
                        "the installer takes 2048 to 4096 bits")
  endif()
  math(EXPR remainder "${bits} % 8")
  if(NOT remainder EQUAL 0)
    message(FATAL_ERROR "${option}: ${key} is an RSA key of ${bits} bits; CryptoAPI takes "
                        "only whole bytes of modulus (a multiple of 8 bits, e.g. 3072)")
  endif()
  if(NOT text MATCHES "Modulus=([0-9A-F]+)")
    message(FATAL_ERROR "${option}: ${key}: openssl printed no modulus")
  endif()
  set(hex ${CMAKE_MATCH_1})
  string(LENGTH "${hex}" digits)
  math(EXPR expected "${bits} / 4")
  if(NOT digits EQUAL expected)
    message(FATAL_ERROR "${option}: ${key}: a modulus of ${digits} hex digits for ${bits} bits")
  endif()
  # A small exponent is printed in decimal on the "Exponent:" line; a larger one would not be.
  set(too_large "${option}: ${key}: the public exponent does not fit in 32 bits, which "
                "CryptoAPI needs")
  if(NOT text MATCHES "\nExponent: ([0-9]+) \\(0x")
    message(FATAL_ERROR ${too_large})
  endif()
  set(value ${CMAKE_MATCH_1})
  string(LENGTH "${value}" digits)
  if(digits GREATER 10 OR value GREATER 4294967295)
    message(FATAL_ERROR ${too_large})
  endif()
  math(EXPR odd "${value} % 2")
  if(value LESS 3 OR odd EQUAL 0)
    message(FATAL_ERROR "${option}: ${key}: the public exponent ${value} is not an odd number "
                        "of at least 3")
  endif()
  set(${modulus_hex} ${hex} PARENT_SCOPE)
  set(${exponent} ${value} PARENT_SCOPE)
endfunction()

# Sets `pinned` ("true"/"false") and `bytes` from the option's value: empty, or 64 hex digits.
function(_velmora_read_pin option pinned bytes)
  set(value "${${option}}")
  if(value STREQUAL "")
    set(${pinned} false PARENT_SCOPE)
    set(${bytes} "" PARENT_SCOPE)
    return()
  endif()
  if(NOT value MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "${option}: '${value}' is not a SHA-256 in hex "
                        "(64 hex digits, the first field of sha256sum's line)")
  endif()
  string(LENGTH "${value}" digits)
  if(NOT digits EQUAL 64)
    message(FATAL_ERROR "${option}: '${value}' has ${digits} hex digits; a SHA-256 has 64")
  endif()
  _velmora_hex_to_bytes("${value}" hex_bytes)
  set(${pinned} true PARENT_SCOPE)
  set(${bytes} "${hex_bytes}" PARENT_SCOPE)
endfunction()

# Checks the four options and writes the header `output`.
function(velmora_release_trust output)
  set(VELMORA_TRUST_MODULUS_BYTES "0")
  set(VELMORA_TRUST_MODULUS_LENGTH 0)
  set(VELMORA_TRUST_EXPONENT 0)
  if(NOT "${VELMORA_PACKAGE_PUBLIC_KEY}" STREQUAL "")
    _velmora_read_public_key("${VELMORA_PACKAGE_PUBLIC_KEY}" hex VELMORA_TRUST_EXPONENT)
    _velmora_hex_to_bytes("${hex}" VELMORA_TRUST_MODULUS_BYTES)
    string(LENGTH "${hex}" digits)
    math(EXPR VELMORA_TRUST_MODULUS_LENGTH "${digits} / 2")
    # A new key file (same path) must reach the header.
    if(NOT CMAKE_SCRIPT_MODE_FILE)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                   "${VELMORA_PACKAGE_PUBLIC_KEY}")
    endif()
  endif()
  foreach(name RUNTIME UPDATE_X86 UPDATE_X64)
    _velmora_read_pin(VELMORA_${name}_SHA256 VELMORA_TRUST_${name}_PINNED
                      VELMORA_TRUST_${name}_BYTES)
  endforeach()
  configure_file(${VELMORA_TRUST_TEMPLATE} ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED VELMORA_TRUST_OUTPUT)
  velmora_release_trust(${VELMORA_TRUST_OUTPUT})
endif()
