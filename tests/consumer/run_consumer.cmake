# Installs the build into WORK_DIR/prefix, runs the installed tyx demo, then builds the consumer
# project twice, once with find_package(tyx_client_common) and once with pkg-config, and runs
# both results.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
# Nothing private is installed: only public headers.
file(GLOB_RECURSE installed_headers RELATIVE ${prefix}/include ${prefix}/include/*)
foreach(h ${installed_headers})
  if(NOT h MATCHES "^tyx/[a-z_]+\\.hpp$")
    message(FATAL_ERROR "unexpected installed header: ${h}")
  endif()
endforeach()

# The installed tool finds the library relative to itself: no LD_LIBRARY_PATH.
if(EXISTS ${prefix}/bin/tyx)
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${prefix}/bin/tyx demo)
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
run(${WORK_DIR}/cmake-build/consumer)

file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
list(GET pc_dirs 0 pc_dir)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
execute_process(COMMAND pkg-config --cflags --libs tyx_client_common
  OUTPUT_VARIABLE pc_flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "pkg-config does not know tyx_client_common")
endif()
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
execute_process(COMMAND pkg-config --variable=libdir tyx_client_common
  OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
run(${CXX} ${SOURCE_DIR}/main.cpp -o ${WORK_DIR}/consumer-pc ${pc_flags} -Wl,-rpath,${libdir})
run(${WORK_DIR}/consumer-pc)
