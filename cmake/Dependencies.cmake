# Third-party packages, all from Debian. A mingw cross build cannot use the
# host's CMake packages, so header-only libraries are reached through a folder
# of links to their host headers, and GoogleTest is built from Debian's source.

if(CMAKE_CROSSCOMPILING)
  set(_hostinc ${CMAKE_BINARY_DIR}/hostinc)
  file(MAKE_DIRECTORY ${_hostinc})
  foreach(_dir nlohmann CLI)
    if(EXISTS /usr/include/${_dir} AND NOT EXISTS ${_hostinc}/${_dir})
      file(CREATE_LINK /usr/include/${_dir} ${_hostinc}/${_dir} SYMBOLIC)
    endif()
  endforeach()
  add_library(orvane_nlohmann_json INTERFACE)
  target_include_directories(orvane_nlohmann_json SYSTEM INTERFACE ${_hostinc})
  add_library(orvane_cli11 INTERFACE)
  target_include_directories(orvane_cli11 SYSTEM INTERFACE ${_hostinc})
else()
  find_package(nlohmann_json 3 REQUIRED)
  find_package(CLI11 REQUIRED)
  add_library(orvane_nlohmann_json INTERFACE)
  target_link_libraries(orvane_nlohmann_json INTERFACE nlohmann_json::nlohmann_json)
  add_library(orvane_cli11 INTERFACE)
  target_link_libraries(orvane_cli11 INTERFACE CLI11::CLI11)
endif()

if(BUILD_TESTING)
  include(GoogleTest)
  if(CMAKE_CROSSCOMPILING)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    add_library(orvane_gtest_main INTERFACE)
    target_link_libraries(orvane_gtest_main INTERFACE gmock gtest gtest_main)
  else()
    find_package(GTest REQUIRED)
    add_library(orvane_gtest_main INTERFACE)
    target_link_libraries(orvane_gtest_main INTERFACE GTest::gmock GTest::gtest GTest::gtest_main)
  endif()
endif()

# cpp-httplib, for `teds serve`. Debian builds it as a shared library whose
# header only declares; pkg-config gives the library and the switches it was
# built with (they change the layout of its classes, so they must match).
# A Windows cross build takes the same version as its upstream single header
# (declarations and code), which scripts/httplib-single-header.sh takes from
# Debian's source package; only that header is put on the include path, not
# the Linux headers beside it. Without either, `teds` is built without
# `serve`, and says so when asked for it.
set(ORVANE_HAVE_HTTPLIB OFF)
if(CMAKE_CROSSCOMPILING)
  find_file(ORVANE_HTTPLIB_SINGLE_HEADER httplib.h
    PATHS /usr/local/share/orvane-teds/cpp-httplib NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(ORVANE_HTTPLIB_SINGLE_HEADER AND WIN32)
    set(ORVANE_HAVE_HTTPLIB ON)
    configure_file(${ORVANE_HTTPLIB_SINGLE_HEADER} ${CMAKE_BINARY_DIR}/httplib/httplib.h COPYONLY)
    add_library(orvane_httplib INTERFACE)
    target_include_directories(orvane_httplib SYSTEM INTERFACE ${CMAKE_BINARY_DIR}/httplib)
    target_compile_definitions(orvane_httplib INTERFACE _WIN32_WINNT=0x0A00)
    target_link_libraries(orvane_httplib INTERFACE ws2_32 Threads::Threads)
  else()
    message(STATUS "cpp-httplib's single header not found (scripts/httplib-single-header.sh): "
                   "`teds serve` is left out")
  endif()
else()
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(ORVANE_HTTPLIB QUIET IMPORTED_TARGET cpp-httplib)
  endif()
  if(ORVANE_HTTPLIB_FOUND)
    set(ORVANE_HAVE_HTTPLIB ON)
    add_library(orvane_httplib INTERFACE)
    target_link_libraries(orvane_httplib INTERFACE PkgConfig::ORVANE_HTTPLIB Threads::Threads)
  else()
    message(STATUS "cpp-httplib not found (Debian: libcpp-httplib-dev, pkg-config): "
                   "`teds serve` is left out")
  endif()
endif()
