# orvane_find_test_python(VAR IMPORTS): sets VAR to the first python3 that can
# run `import IMPORTS` (e.g. "pytest, jsonschema"): the one on the search path,
# then Debian's own (a python3 of a version manager may shadow it). Empty when
# neither can.
function(orvane_find_test_python var imports)
  find_package(Python3 COMPONENTS Interpreter)
  set(found "")
  foreach(_python ${Python3_EXECUTABLE} /usr/bin/python3)
    if(found OR NOT EXISTS "${_python}")
      continue()
    endif()
    execute_process(COMMAND ${_python} -c "import ${imports}"
      RESULT_VARIABLE _missing OUTPUT_QUIET ERROR_QUIET)
    if(_missing EQUAL 0)
      set(found ${_python})
    endif()
  endforeach()
  set(${var} "${found}" PARENT_SCOPE)
  set(Python3_EXECUTABLE "${Python3_EXECUTABLE}" PARENT_SCOPE)
endfunction()
