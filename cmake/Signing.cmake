# Opt-in Authenticode signing of BrelmotCp.exe with osslsigncode, right
# after the link. Off, this file adds nothing to the build, so the image
# stays byte for byte the reproducible one.
#
# The vendor's material is either a PKCS#12 file or a PEM (or DER)
# certificate chain with its private key. Its password never passes through
# CMake: cmake/sign-image.py reads it at build time from the environment
# variable BRELMOT_SIGN_PASSWORD, or from BRELMOT_SIGN_PASSWORD_FILE when
# that is set, and hands it to openssl and osslsigncode on a pipe.
#
# A signing build that fails leaves no BrelmotCp.exe at all: the unsigned
# image from the link is removed along with the half-done one, so nothing
# in the build tree can pass for the signed release. The next build links
# and signs again.

option(BRELMOT_SIGN "Authenticode-sign BrelmotCp.exe (SHA-256) after linking" OFF)
set(BRELMOT_SIGN_PKCS12 "" CACHE FILEPATH
  "Signing certificate and key as one PKCS#12 (.pfx/.p12) file")
set(BRELMOT_SIGN_CERT "" CACHE FILEPATH
  "Signing certificate and its chain, PEM (or DER / PKCS#7), used with BRELMOT_SIGN_KEY")
set(BRELMOT_SIGN_KEY "" CACHE FILEPATH "Private key for BRELMOT_SIGN_CERT")
set(BRELMOT_SIGN_PASSWORD_FILE "" CACHE FILEPATH
  "File holding the PKCS#12 or key password; unset, the build reads \$BRELMOT_SIGN_PASSWORD")
set(BRELMOT_SIGN_TIMESTAMP_URL "" CACHE STRING
  "RFC 3161 time-stamping service, so the signature outlives the certificate")
set(BRELMOT_SIGN_VERIFY_CAFILE "" CACHE FILEPATH
  "Extra CA certificates for checking the fresh signature, when the chain's root is not in the system's bundle")

# Anything given to cmake lands in CMakeCache.txt in clear text.
if(DEFINED CACHE{BRELMOT_SIGN_PASSWORD} OR DEFINED BRELMOT_SIGN_PASSWORD)
  unset(BRELMOT_SIGN_PASSWORD CACHE)
  message(FATAL_ERROR "BrelmotCp signing: do not pass the password to cmake; "
    "export BRELMOT_SIGN_PASSWORD for the build, or set BRELMOT_SIGN_PASSWORD_FILE")
endif()

if(NOT BRELMOT_SIGN)
  return()
endif()

find_program(OSSLSIGNCODE_EXECUTABLE osslsigncode)
find_program(OPENSSL_EXECUTABLE openssl)
find_program(BRELMOT_SIGN_PYTHON NAMES python3 python)
foreach(tool OSSLSIGNCODE_EXECUTABLE OPENSSL_EXECUTABLE BRELMOT_SIGN_PYTHON)
  if(NOT ${tool})
    message(FATAL_ERROR "BrelmotCp signing: BRELMOT_SIGN is ON but ${tool} was not found "
      "(scripts/install-deps.sh installs osslsigncode, openssl and python3)")
  endif()
endforeach()

# The material is checked at build time, not here: the files may only be
# mounted for the build, and every problem then reads the same, as one line.
add_custom_command(TARGET BrelmotCp POST_BUILD
  COMMAND ${BRELMOT_SIGN_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/sign-image.py
    --osslsigncode=${OSSLSIGNCODE_EXECUTABLE}
    --openssl=${OPENSSL_EXECUTABLE}
    --pkcs12=${BRELMOT_SIGN_PKCS12}
    --cert=${BRELMOT_SIGN_CERT}
    --key=${BRELMOT_SIGN_KEY}
    --password-file=${BRELMOT_SIGN_PASSWORD_FILE}
    --timestamp-url=${BRELMOT_SIGN_TIMESTAMP_URL}
    --verify-cafile=${BRELMOT_SIGN_VERIFY_CAFILE}
    $<TARGET_FILE:BrelmotCp>
  VERBATIM)
