kestrel_add_bench(net_echo_bench SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/net_echo_bench.cpp LIBS kestrel_net)
