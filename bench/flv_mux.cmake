kestrel_add_bench(flv_mux_bench
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/flv_mux_bench.cpp
  LIBS kestrel_proto)
target_compile_definitions(flv_mux_bench PRIVATE
  KESTREL_MEDIA_DIR="${PROJECT_SOURCE_DIR}/demo/media")
