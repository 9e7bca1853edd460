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
# The C interface: one header, and a pkg-config file for C hosts
# (`cc host.c $(pkg-config --cflags --libs orvane_teds)`, then `#include <orvane_teds.h>`).
install(FILES ${PROJECT_SOURCE_DIR}/capi/orvane_teds.h DESTINATION include/orvane_teds/capi)
# The prefix is found from the file's own place, so `--prefix` at install
# time is honoured.
file(RELATIVE_PATH ORVANE_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvane_teds.pc.in ${CMAKE_BINARY_DIR}/orvane_teds.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvane_teds.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# An installed library finds the device library beside it wherever the
# prefix is.
if(NOT WIN32)
  set_target_properties(orvane_teds PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
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

# On Windows the DLLs need mingw's thread library beside them, and MSVC hosts
# link the C interface through orvane_teds.lib.
if(MINGW)
  install(FILES ${ORVANE_WINPTHREAD_DLL} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
include(${PROJECT_SOURCE_DIR}/cmake/MsvcImportLibrary.cmake)
