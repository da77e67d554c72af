kestrel_add_bench(ring_buffer_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ring_buffer_bench.cpp LIBS kestrel)
