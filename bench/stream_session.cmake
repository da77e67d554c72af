# Live streams through the public API: frame-to-relay latency, CPU per stream
# beside ffmpeg -re -c copy, and how many 1 Mbit/s streams run without a drop.
if(TARGET kestrel)
  add_executable(stream_session_bench ${CMAKE_CURRENT_SOURCE_DIR}/stream_session_bench.cpp
                 ${PROJECT_SOURCE_DIR}/tests/net_rtmp/rtmp_peers.cpp)
  target_include_directories(stream_session_bench PRIVATE ${PROJECT_SOURCE_DIR}
                             ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(stream_session_bench PRIVATE kestrel)
  target_compile_definitions(stream_session_bench PRIVATE
    KESTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  kestrel_strict(stream_session_bench)
endif()
