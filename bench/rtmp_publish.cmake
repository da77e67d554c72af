# The same 24 s of sample media published to a local nginx relay by
# RtmpClient and by ffmpeg: CPU at real-time pace and rate as fast as possible.
if(TARGET kestrel_net)
  add_executable(rtmp_publish_bench ${CMAKE_CURRENT_SOURCE_DIR}/rtmp_publish_bench.cpp
                 ${PROJECT_SOURCE_DIR}/tests/net_rtmp/rtmp_peers.cpp)
  target_include_directories(rtmp_publish_bench PRIVATE ${PROJECT_SOURCE_DIR}
                             ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(rtmp_publish_bench PRIVATE kestrel_net)
  target_compile_definitions(rtmp_publish_bench PRIVATE
    KESTREL_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  kestrel_strict(rtmp_publish_bench)
endif()
