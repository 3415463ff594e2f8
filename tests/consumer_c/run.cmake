# Builds tests/consumer_c against the installed C API twice, with find_package and with
# pkg-config, and checks both builds: tile_dump prints every tile asked for as vindle does
# (both streams, byte for byte), walk prints the sample as torv-package json does (compared
# as JSON); then Python's ctypes opens the sample through the shared library.
#   cmake -DPREFIX=... -DSOURCE_DIR=... -DWORK_DIR=... -DSAMPLE=... -DDEVICE=... -DPYTHON=...
#         -P run.cmake
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(source ${SOURCE_DIR}/tests/consumer_c)

include(${CMAKE_CURRENT_LIST_DIR}/../consumer/run_command.cmake)

file(GLOB library ${PREFIX}/lib*/libtorv_package.so.0)
file(GLOB pc_file ${PREFIX}/lib*/pkgconfig/torv_package_c.pc)
if(NOT library OR NOT pc_file OR NOT EXISTS ${PREFIX}/include/torv_package/accessors.h)
  message(FATAL_ERROR "the C API is not installed in ${PREFIX}")
endif()

# Neither package's flags carry anything of how the library itself was built.
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(pkg-config --cflags torv_package torv_package_c)
if(last_output MATCHES "-D")
  message(FATAL_ERROR "pkg-config --cflags gives definitions to consumers: ${last_output}")
endif()

# With CMake.
run(${CMAKE_COMMAND} -S ${source} -B ${WORK_DIR}/build -G Ninja -DCMAKE_PREFIX_PATH=${PREFIX}
    -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
set(builds ${WORK_DIR}/build)

# With pkg-config, the library found at run time where it was installed.
run(pkg-config --cflags --libs torv_package_c)
separate_arguments(flags UNIX_COMMAND "${last_output} -Wl,-rpath,${pc_dir}/..")
file(MAKE_DIRECTORY ${WORK_DIR}/pkg-config)
run(cc -std=c11 -Wall -Wextra -pedantic -Werror ${source}/tile_dump.c ${flags} -o ${WORK_DIR}/pkg-config/tile_dump)
run(c++ -std=c++17 -Wall -Wextra -pedantic -Werror ${source}/walk.cpp ${flags} -o ${WORK_DIR}/pkg-config/walk)
list(APPEND builds ${WORK_DIR}/pkg-config)

# Regions and words of tiles with both, the all-tile region alone (1471), and the device
# package's first and last tiles.
set(dumps "${SAMPLE} 0" "${SAMPLE} 1" "${SAMPLE} 1471" "${DEVICE} 0" "${DEVICE} 1471")
run(${PREFIX}/bin/torv-package json --data=hex ${SAMPLE})
set(expected_json "${last_output}")
foreach(build ${builds})
  foreach(dump ${dumps})
    separate_arguments(arguments UNIX_COMMAND "${dump}")
    execute_process(COMMAND ${PREFIX}/bin/vindle ${arguments} OUTPUT_VARIABLE vindle_out ERROR_VARIABLE vindle_err)
    execute_process(COMMAND ${build}/tile_dump ${arguments} RESULT_VARIABLE status
                    OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT status EQUAL 0 OR NOT out STREQUAL vindle_out OR NOT err STREQUAL vindle_err)
      message(FATAL_ERROR "${build}/tile_dump ${dump} (status ${status}) differs from vindle:\n"
                          "stderr:\n${err}\nvindle's:\n${vindle_err}")
    endif()
    string(LENGTH "${out}" length)
    message(STATUS "${build}/tile_dump ${dump}: as vindle, ${length} bytes")
  endforeach()
  run(${build}/walk ${SAMPLE})
  string(JSON same EQUAL "${last_output}" "${expected_json}")
  if(NOT same)
    message(FATAL_ERROR "${build}/walk differs from torv-package json:\n${last_output}")
  endif()
  message(STATUS "${build}/walk: as torv-package json")
endforeach()

run(${PYTHON} ${source}/ctypes_check.py ${library} ${SAMPLE})
set(expected "ctypes: version=${VERSION} compiler=sample-compiler 2.3.0 tiles=0,1,1471 data=0000a0e31eff2fe1 missing=2 Io(Os { code: 2, message: \"No such file or directory\" })\n")
if(NOT last_output STREQUAL expected)
  message(FATAL_ERROR "ctypes printed '${last_output}', expected '${expected}'")
endif()
message(STATUS "${last_output}")
