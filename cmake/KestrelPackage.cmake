# The installable package: libkestrel (the SDK's layers in one library) and
# libtether (the cloud link), static or, with BUILD_SHARED_LIBS=ON, shared
# with a version and only the public API exported; their headers; a CMake
# package (find_package(kestrel CONFIG) -> kestrel::kestrel, kestrel::tether)
# and kestrel.pc / tether.pc.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(_kestrel_layers kestrel_core kestrel_proto kestrel_net kestrel_sdk)
set(_objects)
foreach(_l ${_kestrel_layers})
  list(APPEND _objects $<TARGET_OBJECTS:${_l}>)
endforeach()

# The installed libraries are built from the layers' own objects, so nothing
# is compiled twice. Dependencies are found again by the package's config
# file, which defines kestrel::mbedtls and kestrel::cjson.
add_library(kestrel_package ${_objects})
target_include_directories(kestrel_package PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(kestrel_package PUBLIC
  $<BUILD_INTERFACE:kestrel_mbedtls> $<BUILD_INTERFACE:kestrel_cjson>
  $<INSTALL_INTERFACE:kestrel::mbedtls> $<INSTALL_INTERFACE:kestrel::cjson>
  Threads::Threads)

add_library(tether_package $<TARGET_OBJECTS:tether>)
target_include_directories(tether_package PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/cloudlink/include>
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_link_libraries(tether_package PUBLIC
  $<BUILD_INTERFACE:kestrel_mbedtls> $<BUILD_INTERFACE:kestrel_cjson>
  $<INSTALL_INTERFACE:kestrel::mbedtls> $<INSTALL_INTERFACE:kestrel::cjson>
  Threads::Threads rt)

set_target_properties(kestrel_package PROPERTIES OUTPUT_NAME kestrel EXPORT_NAME kestrel)
set_target_properties(tether_package PROPERTIES OUTPUT_NAME tether EXPORT_NAME tether)
foreach(_t kestrel_package tether_package)
  set_target_properties(${_t} PROPERTIES
    LINKER_LANGUAGE CXX
    VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}
    ARCHIVE_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/package
    LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/package)
endforeach()
if(NOT BUILD_SHARED_LIBS)
  # A C program linking the static archives links with the C compiler, which
  # does not bring the C++ runtime by itself.
  foreach(_t kestrel_package tether_package)
    target_link_libraries(${_t} INTERFACE $<INSTALL_INTERFACE:stdc++> $<INSTALL_INTERFACE:m>)
  endforeach()
endif()
if(BUILD_SHARED_LIBS)
  # A shared library names every library it needs, so a consumer links it
  # alone; it exports the C interface only (cmake/export.map).
  foreach(_t kestrel_package tether_package)
    target_link_options(${_t} PRIVATE -Wl,--no-undefined
      -Wl,--version-script=${PROJECT_SOURCE_DIR}/cmake/export.map)
    set_property(TARGET ${_t} APPEND PROPERTY LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/export.map)
  endforeach()
endif()

install(TARGETS kestrel_package tether_package EXPORT kestrelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kestrel/ks_api.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrel)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/cloudlink/include/tether
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")

set(_cmakedir ${CMAKE_INSTALL_LIBDIR}/cmake/kestrel)
install(EXPORT kestrelTargets NAMESPACE kestrel:: DESTINATION ${_cmakedir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kestrelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/package/kestrelConfig.cmake INSTALL_DESTINATION ${_cmakedir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kestrelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/kestrelConfig.cmake
  ${PROJECT_BINARY_DIR}/package/kestrelConfigVersion.cmake DESTINATION ${_cmakedir})

# pkg-config: the dependencies a static link needs are private, so
# `pkg-config --static --libs kestrel` gives all of them, `--libs` only -lkestrel.
# Relocatable: the prefix is found from where the .pc file lies.
file(RELATIVE_PATH KESTREL_PC_UP /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" KESTREL_PC_UP "${KESTREL_PC_UP}")
foreach(_pc kestrel tether)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${_pc}.pc.in ${PROJECT_BINARY_DIR}/package/${_pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/package/${_pc}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()
