# CPack runs this after cmake/sign.cmake, on its staging folder: the archive's README says whether the
# binaries are signed. It is installed saying "not signed"; sign.cmake stops the packaging when a
# signature fails, so a certificate in the environment here means all three binaries carry one.
if(NOT DEFINED ENV{ZKSND_SIGN_CERT})
  return()
endif()
file(GLOB _readme "${CPACK_TEMPORARY_DIRECTORY}/README.md" "${CPACK_TEMPORARY_DIRECTORY}/*/README.md")
list(LENGTH _readme _count)
if(NOT _count EQUAL 1)
  message(FATAL_ERROR "expected one README.md at the top of ${CPACK_TEMPORARY_DIRECTORY}, found: ${_readme}")
endif()
file(READ "${_readme}" _text)
string(FIND "${_text}" "The binaries are not signed." _at)
if(_at EQUAL -1)
  message(FATAL_ERROR "${_readme} has no line on signatures")
endif()
string(REPLACE "The binaries are not signed."
  "The binaries in `bin/` are signed with Authenticode (on Windows, `signtool verify /pa /v bin\\zksndapi.dll` shows the signer)."
  _text "${_text}")
file(WRITE "${_readme}" "${_text}")
