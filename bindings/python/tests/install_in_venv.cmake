# Installs the package the way docs/hosts.md says, with pip into a fresh virtual
# environment, from a copy of its folder (pip builds in place) and without
# the network; then checks that the installed package (not the source) is
# the one imported, with its typing marker, and runs the tests against it.
# Arguments: PYTHON, SOURCE (bindings/python), WORK.
file(REMOVE_RECURSE ${WORK})
file(COPY ${SOURCE}/pyproject.toml ${SOURCE}/orvane_teds DESTINATION ${WORK}/src
  PATTERN "__pycache__" EXCLUDE)
function(run what)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status
    OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status}):\n${out}")
  endif()
endfunction()
# The system's site packages give the venv setuptools, wheel and pytest.
run("venv" ${PYTHON} -m venv --system-site-packages ${WORK}/venv)
if(WIN32)
  set(venv_python ${WORK}/venv/Scripts/python.exe)
else()
  set(venv_python ${WORK}/venv/bin/python)
endif()
run("pip install" ${venv_python} -m pip install --no-build-isolation --no-index --no-deps
  --disable-pip-version-check ${WORK}/src)
run("import of the installed package" ${venv_python} -c [=[
import os, orvane_teds
here = os.path.dirname(orvane_teds.__file__)
assert os.sep + "venv" + os.sep in here, here
assert os.path.isfile(os.path.join(here, "py.typed")), "no py.typed"
assert orvane_teds.version()
with orvane_teds.SimulatedDevice() as device, orvane_teds.Session(poll_ms=0) as session:
    assert session.query(timeout_s=20).transducers
]=])
# The tests' folder holds no package, so they import the installed one.
run("tests against the installed package" ${venv_python} -m pytest -q -p no:cacheprovider
  ${SOURCE}/tests)
