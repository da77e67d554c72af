# Idle cost of the demonstration camera: CPU share and resident memory of a
# kestrel_demo that is online against a local cloud and serves no stream.
if(TARGET kestrel_demo)
  kestrel_add_bench(demo_idle_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/demo_idle_bench.cpp)
  add_dependencies(demo_idle_bench kestrel_demo)
  target_compile_definitions(demo_idle_bench PRIVATE
    KESTREL_DEMO_PATH="$<TARGET_FILE:kestrel_demo>"
    DEVCLOUD_PATH="${PROJECT_SOURCE_DIR}/devcloud/devcloud"
    KESTREL_MEDIA_DIR="${PROJECT_SOURCE_DIR}/demo/media")
endif()
