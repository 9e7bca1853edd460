# Installs the build into a scratch prefix and builds a C host against it the
# way the README says: pkg-config for the flags, <orvane_teds.h> for the
# interface. Then runs the host.
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix
  RESULT_VARIABLE status OUTPUT_QUIET)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install failed")
endif()
file(GLOB_RECURSE pc ${WORK}/prefix/*/orvane_teds.pc)
if(NOT pc)
  message(FATAL_ERROR "no orvane_teds.pc installed")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
file(WRITE ${WORK}/host.c [=[
#include <orvane_teds.h>
#include <stdio.h>
int main(void) {
  static const uint8_t image[] = {0x64, 0x80, 0x34, 0x41, 0x0C, 0x40, 0xE2, 0x01};
  orvane_teds_decode_result* result = NULL;
  if (orvane_teds_decode_image(image, sizeof image, &result) != ORVANE_TEDS_OK) return 1;
  printf("%u\n", (unsigned)result->transducer->serial_number);
  return orvane_teds_decode_result_free(result);
}
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir}
    pkg-config --cflags --libs orvane_teds
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pkg-config failed")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
get_filename_component(libdir ${pcdir} DIRECTORY)
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Wpedantic -Werror ${WORK}/host.c ${flags}
  -Wl,-rpath,${libdir} -o ${WORK}/host RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the C host did not build against the installed library")
endif()
execute_process(COMMAND ${WORK}/host OUTPUT_VARIABLE out RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT out STREQUAL "123456\n")
  message(FATAL_ERROR "the C host failed: ${status} ${out}")
endif()
