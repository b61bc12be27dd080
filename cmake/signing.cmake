# Authenticode signing of the build's PE files.
#
# Configuring makes the test PKI in <build>/pki (scripts/make-test-pki.sh, once per build tree):
# a test root CA and code-signing certificates for an accepted English publisher, an accepted
# Chinese publisher, a publisher no deployment accepts, an expired certificate and a signer whose
# display name is longer than any name buffer. The private keys live only in the build tree.
#
#   sign_pe(<target> [SIGNER accepted|chinese|unaccepted|expired|long_name] [TEST_PKI])
#
# signs the target's output file after every link (POST_BUILD), so a relinked file is always
# signed again. The default signer is the accepted English publisher; a deployment whose
# deployment.json names "signing.pkcs12" signs the default case with that PKCS#12 file instead,
# its password read from the environment variable SIGNING_PASSWORD at build time. The other
# signers always use the test PKI: they sign test fixtures only. TEST_PKI keeps the test PKI's
# accepted publisher even in such a deployment, for fixtures whose tests expect that name.
# Call it in the folder that defines the target (a POST_BUILD step belongs to that folder), and
# before any other POST_BUILD step that copies the file, since the steps run in call order.
#
# This file also runs as a script (cmake -P) to sign one file; see the end.

if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DSIGN_FILE=<pe> (-DSIGN_CERT=<pem> -DSIGN_KEY=<key> | -DSIGN_PKCS12=<p12>)
  #       -DOSSLSIGNCODE=<tool> -P signing.cmake
  # Signs into a temporary file and renames it over the original, so an interrupted build never
  # leaves a half-written file. When signing fails the unsigned file is removed too: the next
  # build then links and signs again instead of taking an unsigned file for up to date.
  set(signed "${SIGN_FILE}.signing")
  file(REMOVE "${signed}")
  set(sign_args sign -h sha256 -in "${SIGN_FILE}" -out "${signed}")
  # A fixed signing time (SOURCE_DATE_EPOCH) makes the signed file reproducible: the RSA
  # signature itself is deterministic.
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    list(APPEND sign_args -time "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  if(SIGN_PKCS12)
    if(NOT DEFINED ENV{SIGNING_PASSWORD})
      file(REMOVE "${SIGN_FILE}")
      message(FATAL_ERROR "signing ${SIGN_FILE}: SIGNING_PASSWORD is not set for ${SIGN_PKCS12}")
    endif()
    # The password goes through a pipe, never on a command line where other processes see it.
    execute_process(
      COMMAND bash -c "printf '%s' \"$SIGNING_PASSWORD\" | \"$@\" -readpass /dev/stdin" sign
              "${OSSLSIGNCODE}" ${sign_args} -pkcs12 "${SIGN_PKCS12}"
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  else()
    execute_process(
      COMMAND "${OSSLSIGNCODE}" ${sign_args} -certs "${SIGN_CERT}" -key "${SIGN_KEY}"
      RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  endif()
  if(NOT result EQUAL 0 OR NOT EXISTS "${signed}")
    file(REMOVE "${signed}" "${SIGN_FILE}")
    message(FATAL_ERROR "signing ${SIGN_FILE} failed:\n${output}")
  endif()
  file(RENAME "${signed}" "${SIGN_FILE}")
  return()
endif()

find_program(OSSLSIGNCODE osslsigncode REQUIRED)
find_program(OPENSSL openssl REQUIRED)

set(PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(SIGNING_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# The names come raw from the deployment file (deployment.cmake read it into deployment_json).
string(JSON signing_test_signer GET "${deployment_json}" signing test_signer)
string(JSON signing_test_signer_chinese GET "${deployment_json}" signing test_signer_chinese)
string(JSON signing_pkcs12 GET "${deployment_json}" signing pkcs12)
execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/make-test-pki.sh ${PKI_DIR}
                        "${signing_test_signer}" "${signing_test_signer_chinese}"
                RESULT_VARIABLE pki_result)
if(NOT pki_result EQUAL 0)
  message(FATAL_ERROR "scripts/make-test-pki.sh failed; see its output above")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_SOURCE_DIR}/scripts/make-test-pki.sh)

# A real certificate named by the deployment, relative to the deployment file's folder.
set(SIGNING_PKCS12 "")
if(signing_pkcs12)
  get_filename_component(deployment_dir ${DEPLOYMENT_CONFIG} DIRECTORY)
  get_filename_component(SIGNING_PKCS12 "${signing_pkcs12}" ABSOLUTE BASE_DIR ${deployment_dir})
  if(NOT EXISTS ${SIGNING_PKCS12})
    message(FATAL_ERROR "deployment signing certificate ${SIGNING_PKCS12} does not exist")
  endif()
endif()

function(sign_pe target)
  cmake_parse_arguments(ARG "TEST_PKI" "SIGNER" "" ${ARGN})
  if(NOT ARG_SIGNER)
    set(ARG_SIGNER accepted)
  endif()
  if(NOT ARG_SIGNER MATCHES "^(accepted|chinese|unaccepted|expired|long_name)$")
    message(FATAL_ERROR "sign_pe(${target}): unknown SIGNER ${ARG_SIGNER}")
  endif()
  if(ARG_SIGNER STREQUAL "accepted" AND SIGNING_PKCS12 AND NOT ARG_TEST_PKI)
    set(key_args -DSIGN_PKCS12=${SIGNING_PKCS12})
  else()
    set(key_args -DSIGN_CERT=${PKI_DIR}/${ARG_SIGNER}.pem -DSIGN_KEY=${PKI_DIR}/${ARG_SIGNER}.key)
  endif()
  # A certificate made again (a new build tree's PKI, other signer names) relinks and so
  # re-signs the target.
  if(key_args MATCHES "SIGN_CERT")
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${PKI_DIR}/${ARG_SIGNER}.pem)
  else()
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${SIGNING_PKCS12})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DSIGN_FILE=$<TARGET_FILE:${target}> ${key_args}
            -DOSSLSIGNCODE=${OSSLSIGNCODE} -P ${SIGNING_SCRIPT}
    COMMENT "Signing ${target} (${ARG_SIGNER})"
    VERBATIM)
endfunction()
