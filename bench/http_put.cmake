# HTTPS PUT of 8 MiB to a local server (tests/net_http/http_test_server.py)
# by the SDK's HTTP client, set beside curl -T sending the same file.
kestrel_add_bench(http_put_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/http_put_bench.cpp
          ${PROJECT_SOURCE_DIR}/tests/net_http/http_peer.cpp
  LIBS kestrel_net)
target_include_directories(http_put_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests/net_http)
target_compile_definitions(http_put_bench PRIVATE
  HTTP_TEST_SERVER="${PROJECT_SOURCE_DIR}/tests/net_http/http_test_server.py")
