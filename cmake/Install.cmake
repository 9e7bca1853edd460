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
# (`cc host.c $(pkg-config --cflags --libs orvane_teds)`, then `#include <orvane_teds.h>`;
# the CMake package's target gives the same include path).
install(FILES ${PROJECT_SOURCE_DIR}/capi/orvane_teds.h DESTINATION include/orvane_teds/capi)
# The prefix is found from the file's own place, so `--prefix` at install
# time is honoured.
file(RELATIVE_PATH ORVANE_PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvane_teds.pc.in ${CMAKE_BINARY_DIR}/orvane_teds.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvane_teds.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The optional component `simdevice`: the simulated device's C entry (library
# and <orvane_sim.h>, beside <orvane_teds.h>), so that an installed C or
# Python host can run the examples of docs/hosts.md without the build tree. Not part
# of a plain install: `cmake --install build --component simdevice`. Hosts
# use pkg-config's orvane_sim or find_package(orvane_teds COMPONENTS simdevice).
install(FILES ${PROJECT_SOURCE_DIR}/simdevice/capi/orvane_sim.h
  DESTINATION include/orvane_teds/capi COMPONENT simdevice EXCLUDE_FROM_ALL)
configure_file(${PROJECT_SOURCE_DIR}/cmake/orvane_sim.pc.in ${CMAKE_BINARY_DIR}/orvane_sim.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/orvane_sim.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT simdevice EXCLUDE_FROM_ALL)
if(NOT WIN32)
  set_target_properties(orvane_simdevice PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
install(TARGETS orvane_simdevice EXPORT orvane_tedsSimdeviceTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT simdevice EXCLUDE_FROM_ALL
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT simdevice EXCLUDE_FROM_ALL
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT simdevice EXCLUDE_FROM_ALL)
install(EXPORT orvane_tedsSimdeviceTargets NAMESPACE orvane_teds::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/orvane_teds COMPONENT simdevice EXCLUDE_FROM_ALL)

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
