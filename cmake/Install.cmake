# `cmake --install` puts headers, the two libraries and a CMake package in
# place, so that a host project can say find_package(orvane_teds).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

foreach(_dir onewire relay devicelink serial teds)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/${_dir}/ DESTINATION include/orvane_teds/${_dir}
    FILES_MATCHING PATTERN "*.h" PATTERN "test" EXCLUDE)
endforeach()
install(DIRECTORY ${PROJECT_SOURCE_DIR}/orvane/ DESTINATION include/orvane_teds/orvane
  FILES_MATCHING PATTERN "*.h" PATTERN "test" EXCLUDE)

install(TARGETS orvane orvane_teds EXPORT orvane_tedsTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(EXPORT orvane_tedsTargets NAMESPACE orvane_teds::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvane_teds)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/orvane_tedsConfig.cmake.in
  ${CMAKE_BINARY_DIR}/orvane_tedsConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvane_teds)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/orvane_tedsConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/orvane_tedsConfig.cmake
  ${CMAKE_BINARY_DIR}/orvane_tedsConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvane_teds)
