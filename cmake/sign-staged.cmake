# Run by CPack once the release is staged and before it is zipped: signs the staged copy of the program when a
# certificate is given, as a cache variable or else an environment variable of the same name:
#   MONITOR_SIGN_PKCS12          RSA code-signing certificate with its key, PKCS#12
#   MONITOR_SIGN_PASSWORD_FILE   file holding its password on one line (never on a command line)
#   MONITOR_SIGN_TIMESTAMP_URL   RFC 3161 time-stamp server, optional
# Only options that Debian 12's own osslsigncode (2.5) has are used.
cmake_policy(VERSION 3.25)
foreach(setting PKCS12 PASSWORD_FILE TIMESTAMP_URL)
  set(${setting} "${CPACK_MONITOR_SIGN_${setting}}")
  if(${setting} STREQUAL "")
    set(${setting} "$ENV{MONITOR_SIGN_${setting}}")
  endif()
endforeach()
file(GLOB_RECURSE staged "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/release/ZelnaNivoroMonitor.exe")
if(staged STREQUAL "")
  return()  # a package without the release, such as the kit
endif()
if(PKCS12 STREQUAL "")
  message(STATUS "ZelnaNivoroMonitor.exe is left unsigned: no certificate given (MONITOR_SIGN_PKCS12)")
  return()
endif()
find_program(OSSLSIGNCODE osslsigncode)
if(NOT OSSLSIGNCODE)
  message(FATAL_ERROR "a certificate is given but osslsigncode is missing (tools/setup.sh installs it)")
endif()
if(NOT EXISTS "${PKCS12}" OR NOT EXISTS "${PASSWORD_FILE}")
  message(FATAL_ERROR "certificate '${PKCS12}' or its password file '${PASSWORD_FILE}' (MONITOR_SIGN_PASSWORD_FILE) is missing")
endif()
set(timestamp)
if(NOT TIMESTAMP_URL STREQUAL "")
  set(timestamp -ts "${TIMESTAMP_URL}")
endif()
execute_process(
  COMMAND "${OSSLSIGNCODE}" sign -pkcs12 "${PKCS12}" -readpass "${PASSWORD_FILE}" -h sha256
    -n "Zelna Nivoro tray monitor" ${timestamp} -in "${staged}" -out "${staged}.signed"
  RESULT_VARIABLE failed)
if(failed)
  file(REMOVE "${staged}.signed")
  message(FATAL_ERROR "signing ${staged} failed: nothing is packaged")
endif()
file(RENAME "${staged}.signed" "${staged}")
message(STATUS "ZelnaNivoroMonitor.exe signed with ${PKCS12}")
