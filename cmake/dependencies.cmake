# Third-party code comes from Debian's packages, fetched and built by scripts/build-deps.sh into
# the build tree (never committed). Configuring runs the script; its stamps keep it incremental.
execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/build-deps.sh ${CMAKE_BINARY_DIR}
                RESULT_VARIABLE deps_result)
if(NOT deps_result EQUAL 0)
  message(FATAL_ERROR "scripts/build-deps.sh failed; see its output above")
endif()

# cJSON, as a static library. CJSON_HIDE_SYMBOLS must reach every file that includes cJSON.h,
# or the executable exports the whole cJSON API.
add_library(cjson STATIC ${DEPS_DIR}/cjson/cJSON.c)
target_compile_definitions(cjson PUBLIC CJSON_HIDE_SYMBOLS)
target_include_directories(cjson SYSTEM PUBLIC ${DEPS_DIR}/cjson)
target_compile_options(cjson PRIVATE -w)

# The 7z engine, a prebuilt module of the deps step; it ships beside the executable.
set(SEVENZIP_DLL ${DEPS_DIR}/7zip/7z.dll)
# Its interface headers (for the 7z client of config/), used with -isystem.
file(GLOB SEVENZIP_SOURCE_DIR LIST_DIRECTORIES true ${DEPS_DIR}/src/7zip/7zip-*)
set(SEVENZIP_INCLUDE_DIR ${SEVENZIP_SOURCE_DIR}/CPP)
