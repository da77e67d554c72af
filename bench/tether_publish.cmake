# Publish rate of the cloud link library to a local Mosquitto over TLS, set
# beside mosquitto_pub sending the same messages.
kestrel_add_bench(tether_publish
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tether_publish.cpp
          ${PROJECT_SOURCE_DIR}/tests/cloudlink/broker_fixture.cpp
  LIBS tether)
target_include_directories(tether_publish PRIVATE
  ${PROJECT_SOURCE_DIR}/tests ${PROJECT_SOURCE_DIR}/cloudlink)
