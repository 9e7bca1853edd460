# Runs the `teds` program and checks the bytes of its standard output: the
# line ends stay single LF characters and the 0x93/0x94 quote bytes pass
# unchanged, on Windows as elsewhere.
set(command ${TEDS} decode --image "64 80 34 41 0C 40 E2 01 64 08 00")
if(EMULATOR)
  set(command ${EMULATOR} ${command})
endif()
execute_process(COMMAND ${command} OUTPUT_FILE ${OUT} RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "teds exited with ${status}")
endif()
file(READ ${OUT} bytes HEX)
# "...%Sens@Ref[" 0x93 "01" 0x94 "]" LF, ending the output.
if(NOT bytes MATCHES "5b933031945d0a$")
  message(FATAL_ERROR "unexpected end of output: ${bytes}")
endif()
if(bytes MATCHES "^(..)*0d")
  message(FATAL_ERROR "output holds a CR byte: ${bytes}")
endif()
