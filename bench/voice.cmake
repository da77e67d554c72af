# Voice intercom through the public API against a scripted relay: downlink
# body written by the server -> application data callback, and uplink frame
# handed to ks_stream_send_media -> read by the server, p50/p99.
if(TARGET kestrel)
  add_executable(voice_bench ${CMAKE_CURRENT_SOURCE_DIR}/voice_bench.cpp
                 ${PROJECT_SOURCE_DIR}/tests/net_rtmp/rtmp_peers.cpp)
  target_include_directories(voice_bench PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(voice_bench PRIVATE kestrel)
  target_compile_definitions(voice_bench PRIVATE KESTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  kestrel_strict(voice_bench)
endif()
