# Picture uploads (1 MiB JPEG, one HTTPS PUT each, new connection each) through
# the SDK's upload pool to a local server, set beside curl -T doing the same.
kestrel_add_bench(picture_upload_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/picture_upload_bench.cpp
          ${PROJECT_SOURCE_DIR}/tests/net_http/http_peer.cpp
  LIBS kestrel_sdk)
target_include_directories(picture_upload_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/net_http)
target_compile_definitions(picture_upload_bench PRIVATE
  HTTP_TEST_SERVER="${PROJECT_SOURCE_DIR}/tests/net_http/http_test_server.py")
