# What the consumer checks share.

# Runs a command; fails the check, with its output, when it fails.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "command failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
endfunction()

# Builds the consumer project against an installed tree, once through find_package (with
# `prefix_path` as CMAKE_PREFIX_PATH) and once through pkg-config (the .pc files in `pc_dir`),
# and runs both programs. Needs SOURCE_DIR, WORK_DIR and CXX.
function(build_consumers prefix_path pc_dir)
  run(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/cmake-build -DCMAKE_PREFIX_PATH=${prefix_path}
      -DCMAKE_CXX_COMPILER=${CXX})
  run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-build)
  run(${WORK_DIR}/cmake-build/consumer)

  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  execute_process(COMMAND pkg-config --cflags --libs tyx_client_common
    OUTPUT_VARIABLE pc_flags RESULT_VARIABLE rc OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "pkg-config does not know tyx_client_common in ${pc_dir}")
  endif()
  separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
  execute_process(COMMAND pkg-config --variable=libdir tyx_client_common
    OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE)
  run(${CXX} ${SOURCE_DIR}/main.cpp -o ${WORK_DIR}/consumer-pc ${pc_flags} -Wl,-rpath,${libdir})
  run(${WORK_DIR}/consumer-pc)
endfunction()
