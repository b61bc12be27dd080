# Reads deploy/deployment.json (or the file named by -DDEPLOYMENT_CONFIG=...) and compiles its
# values into generated/deploy/deployment_config.h.
set(DEPLOYMENT_CONFIG ${CMAKE_SOURCE_DIR}/deploy/deployment.json CACHE FILEPATH
    "The deployment configuration: hosts, pages, accepted publishers, signing certificate")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${DEPLOYMENT_CONFIG})
file(READ ${DEPLOYMENT_CONFIG} deployment_json)

function(deployment_text out_var)
  string(JSON value GET "${deployment_json}" ${ARGN})
  # Escape for a C++ wide literal.
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out_var} "${value}" PARENT_SCOPE)
endfunction()

set(deployment_lines "")
foreach(pair statistics_host:kStatisticsHost web_service_url:kWebServiceUrl
             report_url:kReportUrl config_server_url:kConfigServerUrl
             file_server_url:kFileServerUrl public_server_url:kPublicServerUrl
             installer_download_url:kInstallerDownloadUrl account_page_url:kAccountPageUrl)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 key)
  list(GET pair 1 name)
  deployment_text(value ${key})
  string(APPEND deployment_lines "inline constexpr wchar_t ${name}[] = L\"${value}\";\n")
endforeach()

string(JSON publisher_count LENGTH "${deployment_json}" accepted_publishers)
set(publisher_lines "")
math(EXPR last "${publisher_count} - 1")
foreach(i RANGE ${last})
  deployment_text(name accepted_publishers ${i})
  string(APPEND publisher_lines "    L\"${name}\",\n")
endforeach()

deployment_text(DEPLOY_PKCS12 signing pkcs12)
deployment_text(DEPLOY_TEST_SIGNER signing test_signer)
deployment_text(DEPLOY_TEST_SIGNER_CHINESE signing test_signer_chinese)

set(deployment_header "// Generated from ${DEPLOYMENT_CONFIG}; do not edit.
#pragma once

namespace deploy {

${deployment_lines}
inline constexpr int kAcceptedPublisherCount = ${publisher_count};
inline constexpr const wchar_t* kAcceptedPublishers[${publisher_count}] = {
${publisher_lines}};

}  // namespace deploy
")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/deploy/deployment_config.h
     CONTENT "${deployment_header}" @ONLY)
