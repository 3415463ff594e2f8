# Builds tests/consumer against the project installed in PREFIX twice, with find_package
# and with pkg-config, and runs both on the sample package; then, when PYTHON is given,
# runs check.py against the installed Python module.
#   cmake -DPREFIX=... -DSOURCE_DIR=... -DWORK_DIR=... -DSAMPLE=... -DEXPECTED=...
#         [-DPYTHON=...] -P run.cmake
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${PREFIX})

include(${CMAKE_CURRENT_LIST_DIR}/run_command.cmake)

file(GLOB_RECURSE pc_file ${prefix}/*/torv_package.pc)
foreach(installed include/torv_package/application.hpp include/torv_package/application.capnp
                  bin/vindle bin/torv-package share/man/man1/vindle.1 share/man/man1/torv-package.1
                  lib/cmake/torv_package/torv_packageConfig.cmake)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()
if(NOT pc_file)
  message(FATAL_ERROR "not installed: torv_package.pc")
endif()

# With CMake.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build -G Ninja
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
set(binaries ${WORK_DIR}/build/consumer)

# With pkg-config.
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags --libs torv_package)
separate_arguments(flags UNIX_COMMAND "${last_output}")
run(c++ -std=c++23 -O1 ${SOURCE_DIR}/tests/consumer/main.cpp ${flags} -o ${WORK_DIR}/consumer-pkg-config)
list(APPEND binaries ${WORK_DIR}/consumer-pkg-config)

foreach(binary ${binaries})
  file(REMOVE_RECURSE ${WORK_DIR}/scratch)
  file(MAKE_DIRECTORY ${WORK_DIR}/scratch)
  run(${binary} ${SAMPLE} ${WORK_DIR}/scratch)
  if(NOT last_output STREQUAL "${EXPECTED}\n")
    message(FATAL_ERROR "${binary} printed '${last_output}', expected '${EXPECTED}'")
  endif()
  message(STATUS "${binary}: ${last_output}")
endforeach()

if(PYTHON)
  file(GLOB module ${prefix}/lib/python3/dist-packages/torv_package/_native*.so)
  if(NOT module OR NOT EXISTS ${prefix}/lib/python3/dist-packages/torv_package/__init__.py)
    message(FATAL_ERROR "not installed: lib/python3/dist-packages/torv_package")
  endif()
  file(REMOVE_RECURSE ${WORK_DIR}/scratch)
  file(MAKE_DIRECTORY ${WORK_DIR}/scratch)
  set(ENV{PYTHONPATH} ${prefix}/lib/python3/dist-packages)
  run(${PYTHON} ${SOURCE_DIR}/tests/consumer/check.py ${SAMPLE} ${WORK_DIR}/scratch)
  message(STATUS "${last_output}")
endif()

# The installed torv-package.
function(expect_status status)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE got OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT got EQUAL ${status})
    message(FATAL_ERROR "expected status ${status}, got ${got}: ${ARGN}\n${out}\n${err}")
  endif()
  set(last_output "${out}" PARENT_SCOPE)
endfunction()
set(tool ${prefix}/bin/torv-package)
expect_status(0 ${tool} info ${SAMPLE})
if(NOT last_output MATCHES "compiler version  sample-compiler 2.3.0\ntiles             3\n")
  message(FATAL_ERROR "torv-package info printed:\n${last_output}")
endif()
expect_status(0 ${tool} diff ${SAMPLE} ${SAMPLE})
expect_status(2 ${tool} check ${SAMPLE} ${WORK_DIR}/missing.torv)
expect_status(2 ${tool} diff ${SAMPLE} ${WORK_DIR}/missing.torv)
message(STATUS "torv-package: info, check, diff as expected")
