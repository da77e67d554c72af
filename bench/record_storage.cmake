# Recording straight to storage: a real-time H.264 + AAC stream recorded into
# devcloud's object store (HTTPS, signed appends); bytes stored per second
# against the stream's bit rate, append latency p50/p99 and CPU per recorded
# stream, beside ffmpeg muxing the same stream to FLV in real time; with
# --streams N, a recorder's N cameras each live to nginx and recorded at once.
add_executable(record_storage_bench ${CMAKE_CURRENT_SOURCE_DIR}/record_storage_bench.cpp
  ${PROJECT_SOURCE_DIR}/tests/net_connect/peers.cpp
  ${PROJECT_SOURCE_DIR}/tests/net_rtmp/rtmp_peers.cpp)
target_include_directories(record_storage_bench PRIVATE ${PROJECT_SOURCE_DIR}
  ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/tests/net_connect)
find_package(GTest REQUIRED)
target_link_libraries(record_storage_bench PRIVATE kestrel GTest::gtest)
target_compile_definitions(record_storage_bench PRIVATE
  DEVCLOUD_DIR="${PROJECT_SOURCE_DIR}/devcloud" KESTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
kestrel_strict(record_storage_bench)
