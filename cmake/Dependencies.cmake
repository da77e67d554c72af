# System dependencies shared by every target: mbedTLS 2.x (no CMake package on
# Debian, so located by hand), cJSON 1.7 and threads.
find_package(Threads REQUIRED)

find_path(MBEDTLS_INCLUDE_DIR mbedtls/ssl.h REQUIRED)
find_library(MBEDTLS_LIBRARY mbedtls REQUIRED)
find_library(MBEDX509_LIBRARY mbedx509 REQUIRED)
find_library(MBEDCRYPTO_LIBRARY mbedcrypto REQUIRED)
if(NOT TARGET kestrel_mbedtls)
  add_library(kestrel_mbedtls INTERFACE)
  target_include_directories(kestrel_mbedtls INTERFACE ${MBEDTLS_INCLUDE_DIR})
  target_link_libraries(kestrel_mbedtls INTERFACE
    ${MBEDTLS_LIBRARY} ${MBEDX509_LIBRARY} ${MBEDCRYPTO_LIBRARY})
endif()

find_path(CJSON_INCLUDE_DIR cjson/cJSON.h REQUIRED)
find_library(CJSON_LIBRARY cjson REQUIRED)
if(NOT TARGET kestrel_cjson)
  add_library(kestrel_cjson INTERFACE)
  target_include_directories(kestrel_cjson INTERFACE ${CJSON_INCLUDE_DIR})
  target_link_libraries(kestrel_cjson INTERFACE ${CJSON_LIBRARY})
endif()

# Our own code is held to -Wall -Wextra -Werror; a parent project that embeds
# us keeps its own flags for its own targets.
function(kestrel_strict target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
