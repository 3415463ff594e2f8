# Installs the Python package as a user would, with pip from a clean copy of the source
# into a fresh virtual environment, and runs the module's tests against that copy from a
# folder where neither the build tree nor the source's package can be imported.
#   cmake -DSOURCE_DIR=... -DWORK_DIR=... -DPYTHON=... -DVERSION=... -P installed_test.cmake
# Offline: pip gets --no-index and builds with the system's setuptools.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/src ${WORK_DIR}/run)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                  WORKING_DIRECTORY ${WORK_DIR}/run)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()

# The working tree's files as git sees them (committed or not, but not ignored: no build
# folders); a folder that is no checkout is copied without its build folder.
execute_process(
  COMMAND sh -c "git -C \"$0\" ls-files -z --cached --others --exclude-standard | (cd \"$0\" && tar --null -T - -cf -) | tar -xf - -C \"$1\""
          ${SOURCE_DIR} ${WORK_DIR}/src
  RESULT_VARIABLE status ERROR_QUIET)
if(NOT status EQUAL 0)
  file(REMOVE_RECURSE ${WORK_DIR}/src)
  file(COPY ${SOURCE_DIR}/ DESTINATION ${WORK_DIR}/src REGEX "^${SOURCE_DIR}/(build|\\.git)$" EXCLUDE)
endif()

unset(ENV{PYTHONPATH})
unset(ENV{PYTHONHOME})
if(NOT DEFINED ENV{CMAKE_BUILD_PARALLEL_LEVEL})
  set(ENV{CMAKE_BUILD_PARALLEL_LEVEL} 2)
endif()
set(venv ${WORK_DIR}/venv)
run(${PYTHON} -m venv --system-site-packages ${venv})
run(${venv}/bin/python -m pip install --no-index --no-build-isolation --no-cache-dir
    --disable-pip-version-check -q ${WORK_DIR}/src)

# The package imported is the venv's, whole.
run(${venv}/bin/python -c [[
import pathlib, sys
import torv_package
d = pathlib.Path(torv_package.__file__).resolve().parent
assert d.is_relative_to(pathlib.Path(sys.prefix).resolve()), f"{d} is outside {sys.prefix}"
assert (d / "py.typed").exists(), "no py.typed"
assert torv_package.__version__ == sys.argv[1], torv_package.__version__
assert torv_package._native.__file__.startswith(str(d)), torv_package._native.__file__
print(d)
]] ${VERSION})
message(STATUS "installed: ${last_output}")
string(STRIP "${last_output}" installed)
if(NOT EXISTS ${installed}/__init__.pyi)
  message(FATAL_ERROR "not installed: torv_package/__init__.pyi")
endif()

run(${venv}/bin/python -m pytest -q -p no:cacheprovider ${WORK_DIR}/src/python/tests)
message(STATUS "${last_output}")
