# CPack runs this after installing into its staging folder and before zipping:
# it signs zksndapi.dll and both tools with Authenticode (osslsigncode) when the
# environment names a certificate, and leaves them unsigned otherwise.
#   ZKSND_SIGN_CERT           certificate chain, PEM or DER (signer first)
#   ZKSND_SIGN_KEY            its private key, PEM or DER
#   ZKSND_SIGN_PASSWORD_FILE  optional: file holding the key's passphrase
#   ZKSND_SIGN_TIMESTAMP_URL  optional: RFC 3161 time-stamping server
# Each signature is verified against the certificate before the archive is made.
if(NOT DEFINED ENV{ZKSND_SIGN_CERT} AND NOT DEFINED ENV{ZKSND_SIGN_KEY})
  message(STATUS "zksndapi: unsigned binaries (set ZKSND_SIGN_CERT and ZKSND_SIGN_KEY to sign)")
  return()
endif()
if(NOT EXISTS "$ENV{ZKSND_SIGN_CERT}" OR NOT EXISTS "$ENV{ZKSND_SIGN_KEY}")
  message(FATAL_ERROR "ZKSND_SIGN_CERT and ZKSND_SIGN_KEY must both name existing files")
endif()
find_program(ZK_OSSLSIGNCODE osslsigncode REQUIRED)

set(_options -certs "$ENV{ZKSND_SIGN_CERT}" -key "$ENV{ZKSND_SIGN_KEY}" -h sha256
             -n "Tessaline audio client" -i "https://zelkor.invalid/tessaline")
if(DEFINED ENV{ZKSND_SIGN_PASSWORD_FILE})
  list(APPEND _options -readpass "$ENV{ZKSND_SIGN_PASSWORD_FILE}")
endif()
if(DEFINED ENV{ZKSND_SIGN_TIMESTAMP_URL})
  list(APPEND _options -ts "$ENV{ZKSND_SIGN_TIMESTAMP_URL}")
endif()

# (the staging folder holds bin/ directly, or below a top-level folder)
file(GLOB_RECURSE _binaries "${CPACK_TEMPORARY_DIRECTORY}/zksndapi.dll"
                            "${CPACK_TEMPORARY_DIRECTORY}/zksndctl.exe"
                            "${CPACK_TEMPORARY_DIRECTORY}/tessaline-emu.exe")
list(LENGTH _binaries _count)
if(NOT _count EQUAL 3)
  message(FATAL_ERROR "expected the DLL and both tools in ${CPACK_TEMPORARY_DIRECTORY}, found: ${_binaries}")
endif()
foreach(_file ${_binaries})
  execute_process(COMMAND ${ZK_OSSLSIGNCODE} sign ${_options} -in "${_file}" -out "${_file}.signed"
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "signing ${_file} failed:\n${_out}")
  endif()
  file(RENAME "${_file}.signed" "${_file}")
  execute_process(COMMAND ${ZK_OSSLSIGNCODE} verify -CAfile "$ENV{ZKSND_SIGN_CERT}" -in "${_file}"
                  RESULT_VARIABLE _rc OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "the signature of ${_file} does not verify:\n${_out}")
  endif()
  message(STATUS "zksndapi: signed ${_file}")
endforeach()
