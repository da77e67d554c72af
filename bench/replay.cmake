if(TARGET kestrel_camera)
  kestrel_add_bench(replay_bench
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/replay_bench.cpp
    LIBS kestrel_camera)
  target_compile_definitions(replay_bench PRIVATE
    KESTREL_MEDIA_DIR="${PROJECT_SOURCE_DIR}/demo/media")
endif()
