# Builds the Debian packages of BUILD_DIR with cpack, checks their names, control fields and
# contents with dpkg-deb, then extracts them into a scratch root (nothing touches the system)
# and uses them from there as a user would: the installed tyx runs its demo, a consumer builds
# through find_package and through pkg-config, and /usr/bin/python3 imports the module (when
# PYTHON is set).
include(${CMAKE_CURRENT_LIST_DIR}/consumer_support.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
set(root ${WORK_DIR}/root)

function(deb_field deb field out)
  execute_process(COMMAND dpkg-deb -f ${deb} ${field} OUTPUT_VARIABLE value OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb cannot read ${deb}")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Fails unless the package's file list has a line ending with each of the given paths.
function(expect_files deb)
  execute_process(COMMAND dpkg-deb -c ${deb} OUTPUT_VARIABLE listing)
  foreach(path ${ARGN})
    string(REGEX REPLACE "([.+])" "\\\\\\1" pattern "${path}")
    if(NOT listing MATCHES " \\./${pattern}( -> [^\n]*)?\n")
      message(FATAL_ERROR "${deb} lacks ${path}:\n${listing}")
    endif()
  endforeach()
endfunction()

function(expect_in text what where)
  string(FIND "${text}" "${what}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${where}: \"${what}\" missing from \"${text}\"")
  endif()
endfunction()

run(cpack --config ${BUILD_DIR}/CPackConfig.cmake -B ${WORK_DIR}/packages)

set(names libtyx-client0 libtyx-client-dev tyx-tools)
if(PYTHON)
  list(APPEND names python3-tyx-client)
endif()
file(GLOB debs ${WORK_DIR}/packages/*.deb)
list(LENGTH debs count)
list(LENGTH names expected)
if(NOT count EQUAL expected)
  message(FATAL_ERROR "expected ${expected} packages, found: ${debs}")
endif()
foreach(name ${names})
  file(GLOB found ${WORK_DIR}/packages/${name}_${VERSION}-1_*.deb)
  if(NOT found)
    message(FATAL_ERROR "no package ${name}_${VERSION}-1_ARCH.deb among ${debs}")
  endif()
  set(deb_${name} ${found})
  deb_field(${found} Description description)
  if(description STREQUAL "")
    message(FATAL_ERROR "${name} has no description")
  endif()
  deb_field(${found} Depends depends_${name})
endforeach()

execute_process(COMMAND dpkg-architecture -qDEB_HOST_MULTIARCH OUTPUT_VARIABLE multiarch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(libdir usr/lib/${multiarch})
set(exact "libtyx-client0 (= ${VERSION}-1)")

# The library: its soname link and file, its C and C++ run-time dependencies found by
# dpkg-shlibdeps, a shlibs file, and no maintainer script but the ldconfig calls.
expect_files(${deb_libtyx-client0} ${libdir}/libtyx_client_common.so.0 ${libdir}/libtyx_client_common.so.${VERSION})
foreach(dep libc6 libssl3 libstdc++6)
  expect_in("${depends_libtyx-client0}" ${dep} "libtyx-client0 Depends")
endforeach()
execute_process(COMMAND dpkg-deb -I ${deb_libtyx-client0} shlibs OUTPUT_VARIABLE shlibs)
expect_in("${shlibs}" "libtyx_client_common 0 libtyx-client0" "libtyx-client0 shlibs")
foreach(name ${names})
  foreach(script preinst postinst prerm postrm)
    execute_process(COMMAND dpkg-deb -I ${deb_${name}} ${script} OUTPUT_VARIABLE text ERROR_QUIET)
    if(text AND NOT name STREQUAL "libtyx-client0")
      message(FATAL_ERROR "${name} carries a ${script} script:\n${text}")
    endif()
    set(rest "${text}")
    foreach(line "#!/bin/sh" "set -e" "if [ \"$1\" = \"configure\" ]; then" "if [ \"$1\" = \"remove\" ]; then" "ldconfig" "fi")
      string(REPLACE "${line}" "" rest "${rest}")
    endforeach()
    string(STRIP "${rest}" rest)
    if(NOT rest STREQUAL "")
      message(FATAL_ERROR "${name}'s ${script} does more than call ldconfig:\n${text}")
    endif()
  endforeach()
endforeach()

expect_files(${deb_libtyx-client-dev} usr/include/tyx/client.hpp usr/include/tyx/tyx.hpp ${libdir}/libtyx_client_common.so
             ${libdir}/cmake/tyx_client_common/tyx_client_commonConfig.cmake ${libdir}/pkgconfig/tyx_client_common.pc)
expect_in("${depends_libtyx-client-dev}" "${exact}" "libtyx-client-dev Depends")
expect_files(${deb_tyx-tools} usr/bin/tyx)
expect_in("${depends_tyx-tools}" "${exact}" "tyx-tools Depends")
expect_in("${depends_tyx-tools}" "libc6" "tyx-tools Depends")
if(PYTHON)
  expect_in("${depends_python3-tyx-client}" "${exact}" "python3-tyx-client Depends")
  expect_in("${depends_python3-tyx-client}" "python3-numpy" "python3-tyx-client Depends")
endif()

foreach(name ${names})
  run(dpkg-deb -x ${deb_${name}} ${root})
endforeach()

# The tool finds the library relative to itself.
run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH ${root}/usr/bin/tyx demo)

build_consumers(${root}/usr ${root}/${libdir}/pkgconfig)

if(PYTHON)
  run(${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH PYTHONPATH=${root}/usr/lib/python3/dist-packages ${PYTHON} -c
      "import tyx_client, sys; sys.exit(0 if tyx_client.__file__.startswith('${root}') else 1)")
endif()
