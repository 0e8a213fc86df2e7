# Installs the build into WORK_DIR/prefix, runs the installed tyx demo, then builds the consumer
# project twice, once with find_package(tyx_client_common) and once with pkg-config, and runs
# both results.
include(${CMAKE_CURRENT_LIST_DIR}/consumer_support.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

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

file(GLOB pc_dirs ${prefix}/lib*/pkgconfig ${prefix}/lib/*/pkgconfig)
list(GET pc_dirs 0 pc_dir)
build_consumers(${prefix} ${pc_dir})
