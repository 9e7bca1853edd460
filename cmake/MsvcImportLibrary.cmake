# orvane_teds.lib: an import library of the DLL's C interface in the form
# MSVC's linker takes (mingw's own orvane_teds.dll.a is for mingw hosts). It is
# made with llvm-dlltool from the module definition cmake/orvane_teds.def and
# installed beside the .dll.a; the header comes with the C interface.
# scripts/check-import-lib.sh, also a test of this build, compares its exports
# with the functions capi/orvane_teds.h declares and the DLL exports.
if(NOT WIN32)
  return()
endif()

find_program(ORVANE_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 llvm-dlltool-15 llvm-dlltool-16)
if(NOT ORVANE_LLVM_DLLTOOL)
  message(WARNING "llvm-dlltool not found: orvane_teds.lib for MSVC is not built "
    "(Debian's llvm has it; scripts/install-deps.sh --ci installs it)")
  return()
endif()

set(ORVANE_MSVC_DEF ${PROJECT_SOURCE_DIR}/cmake/orvane_teds.def)
set(ORVANE_MSVC_LIB ${CMAKE_ARCHIVE_OUTPUT_DIRECTORY}/orvane_teds.lib)
add_custom_command(OUTPUT ${ORVANE_MSVC_LIB}
  COMMAND ${ORVANE_LLVM_DLLTOOL} -m i386:x86-64 -d ${ORVANE_MSVC_DEF}
    -D $<TARGET_FILE_NAME:orvane_teds> -l ${ORVANE_MSVC_LIB}
  DEPENDS ${ORVANE_MSVC_DEF}
  COMMENT "Import library orvane_teds.lib for MSVC"
  VERBATIM)
add_custom_target(orvane_teds_msvc_lib ALL DEPENDS ${ORVANE_MSVC_LIB})
install(FILES ${ORVANE_MSVC_LIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})

if(BUILD_TESTING)
  add_test(NAME import_library_exports
    COMMAND bash ${PROJECT_SOURCE_DIR}/scripts/check-import-lib.sh ${CMAKE_BINARY_DIR})
  set_tests_properties(import_library_exports PROPERTIES TIMEOUT 120)
endif()
