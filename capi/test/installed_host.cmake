# Installs the build (and the optional simdevice component) into a scratch
# prefix and builds the C example of docs/hosts.md against it the way that
# page says: with pkg-config, and as a CMake project through find_package, both
# including <orvane_teds.h>. Runs each: the built-in bench's sensor is
# reported (exit 0), a device that is not there ends with "no transducer
# found" (exit 1). Arguments: BUILD, CC, CMAKE_GENERATOR_NAME, DOC, WORK.
file(REMOVE_RECURSE ${WORK})
foreach(component "" simdevice)
  set(args --install ${BUILD} --prefix ${WORK}/prefix)
  if(component)
    list(APPEND args --component ${component})
  endif()
  execute_process(COMMAND ${CMAKE_COMMAND} ${args} RESULT_VARIABLE status OUTPUT_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "install ${component} failed")
  endif()
endforeach()
file(GLOB_RECURSE pc ${WORK}/prefix/*/orvane_teds.pc)
if(NOT pc)
  message(FATAL_ERROR "no orvane_teds.pc installed")
endif()
get_filename_component(pcdir ${pc} DIRECTORY)
get_filename_component(libdir ${pcdir} DIRECTORY)

# The C example of docs/hosts.md, as it stands.
file(READ ${DOC} readme)
string(FIND "${readme}" "## From C (" at)
string(SUBSTRING "${readme}" ${at} -1 readme)
string(FIND "${readme}" "```c\n" begin)
math(EXPR begin "${begin} + 5")
string(SUBSTRING "${readme}" ${begin} -1 readme)
string(FIND "${readme}" "```" end)
string(SUBSTRING "${readme}" 0 ${end} example)
file(WRITE ${WORK}/host.c "${example}")

function(check_host program)
  execute_process(COMMAND ${program} OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT out MATCHES "\\[14 3A 7F 1B 05 00 00 B6\\] serial 123456\n")
    message(FATAL_ERROR "${program} failed: ${status}\n${out}${err}")
  endif()
  execute_process(COMMAND ${program} NO-SUCH OUTPUT_VARIABLE out ERROR_VARIABLE err
    RESULT_VARIABLE status)
  if(NOT status EQUAL 1 OR NOT err STREQUAL "no transducer found on NO-SUCH\n")
    message(FATAL_ERROR "${program} NO-SUCH: ${status}\n${out}${err}")
  endif()
endfunction()

# pkg-config.
execute_process(COMMAND ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${pcdir}
    pkg-config --cflags --libs orvane_sim orvane_teds
  OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "pkg-config failed")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
execute_process(COMMAND ${CC} -std=c99 -Wall -Wextra -Wpedantic -Werror ${WORK}/host.c ${flags}
  -Wl,-rpath,${libdir} -o ${WORK}/host RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the C host did not build against the installed library")
endif()
check_host(${WORK}/host)

# The CMake package.
file(WRITE ${WORK}/project/CMakeLists.txt [=[
cmake_minimum_required(VERSION 3.25)
project(host C)
find_package(orvane_teds REQUIRED COMPONENTS simdevice)
add_executable(host ../host.c)
set_target_properties(host PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
target_compile_options(host PRIVATE -Wall -Wextra -Wpedantic -Werror)
target_link_libraries(host PRIVATE orvane_teds::orvane_teds orvane_teds::orvane_simdevice)
]=])
execute_process(COMMAND ${CMAKE_COMMAND} -S ${WORK}/project -B ${WORK}/project/build
    -G ${CMAKE_GENERATOR_NAME} -DCMAKE_C_COMPILER=${CC} -DCMAKE_PREFIX_PATH=${WORK}/prefix
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the CMake host did not configure:\n${out}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${WORK}/project/build
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the CMake host did not build:\n${out}")
endif()
check_host(${WORK}/project/build/host)
