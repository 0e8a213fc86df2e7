# Debian packages with CPack's DEB generator, from any build directory: `cpack -G DEB` there
# (or `make package`) writes four packages into <build>/packages:
#   libtyx-client0       the shared library, with its soname
#   libtyx-client-dev    the headers, the CMake package and the pkg-config file
#   tyx-tools            the tyx command-line tool
#   python3-tyx-client   the module for Debian's /usr/bin/python3 (when the module is built)
# Their files are installed by rules of their own (components deb_*, left out of a plain
# `cmake --install`) with Debian's directories under /usr, whatever CMAKE_INSTALL_PREFIX is.

if(CMAKE_LIBRARY_ARCHITECTURE)
  set(TYX_DEB_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
else()
  set(TYX_DEB_LIBDIR "lib")
endif()
set(TYX_DEB_PYTHONDIR "lib/python3/dist-packages")
set(TYX_DEB_CMAKEDIR "${TYX_DEB_LIBDIR}/cmake/tyx_client_common")

# An export set of its own, so that the CMake package names the library where this layout puts it.
install(TARGETS tyx_client_common EXPORT tyx_client_common_deb_targets
  LIBRARY DESTINATION ${TYX_DEB_LIBDIR} COMPONENT deb_lib NAMELINK_COMPONENT deb_dev EXCLUDE_FROM_ALL)
install(DIRECTORY include/tyx DESTINATION include COMPONENT deb_dev EXCLUDE_FROM_ALL)
install(EXPORT tyx_client_common_deb_targets NAMESPACE tyx:: FILE tyx_client_commonTargets.cmake
  DESTINATION ${TYX_DEB_CMAKEDIR} COMPONENT deb_dev EXCLUDE_FROM_ALL)
configure_package_config_file(cmake/tyx_client_commonConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/deb/tyx_client_commonConfig.cmake INSTALL_DESTINATION ${TYX_DEB_CMAKEDIR})
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/deb/tyx_client_commonConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/tyx_client_commonConfigVersion.cmake
  DESTINATION ${TYX_DEB_CMAKEDIR} COMPONENT deb_dev EXCLUDE_FROM_ALL)
tyx_configure_pkg_config(${CMAKE_CURRENT_BINARY_DIR}/deb/tyx_client_common.pc ${TYX_DEB_LIBDIR} include)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/deb/tyx_client_common.pc
  DESTINATION ${TYX_DEB_LIBDIR}/pkgconfig COMPONENT deb_dev EXCLUDE_FROM_ALL)
# The tool and the module find the library relative to themselves in this layout too.
if(TARGET tyx)
  file(RELATIVE_PATH _tyx_rel "/usr/bin" "/usr/${TYX_DEB_LIBDIR}")
  set_property(TARGET tyx APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${_tyx_rel}")
  install(TARGETS tyx RUNTIME DESTINATION bin COMPONENT deb_tools EXCLUDE_FROM_ALL)
endif()
if(TARGET tyx_client)
  file(RELATIVE_PATH _tyx_rel "/usr/${TYX_DEB_PYTHONDIR}/tyx_client" "/usr/${TYX_DEB_LIBDIR}")
  set_property(TARGET tyx_client APPEND PROPERTY INSTALL_RPATH "$ORIGIN/${_tyx_rel}")
  install(TARGETS tyx_client LIBRARY DESTINATION ${TYX_DEB_PYTHONDIR}/tyx_client COMPONENT deb_python EXCLUDE_FROM_ALL)
  install(FILES ${TYX_PYTHON_PACKAGE_SOURCES} DESTINATION ${TYX_DEB_PYTHONDIR}/tyx_client
          COMPONENT deb_python EXCLUDE_FROM_ALL)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tyx-client)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "tyx-client developers <tyx-client@localhost>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL deb_lib deb_dev deb_tools)
if(TARGET tyx_client)
  list(APPEND CPACK_COMPONENTS_ALL deb_python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The tool and the module link the library of the first package, which the shlibs file it
# carries maps to that package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(_tyx_exact "libtyx-client0 (= ${PROJECT_VERSION}-1)")

# A shlibs file for packages built against the library. Its package's only maintainer scripts
# are the ldconfig calls CPack writes for a shared library; the others have none.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEB_LIB_PACKAGE_NAME libtyx-client0)
set(CPACK_DEBIAN_DEB_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEB_LIB_DESCRIPTION "client library for the tyx real-time data platform
 Publishes objects to relay servers, subscribes to center tables (snapshot, then every row
 change) and runs SQL queries and bulk inserts on database shards, through one Client with
 failover, back-off, reconnection and listener callbacks.")

set(CPACK_DEBIAN_DEB_DEV_PACKAGE_NAME libtyx-client-dev)
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_DEPENDS "${_tyx_exact}")
set(CPACK_DEBIAN_DEB_DEV_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DEB_DEV_DESCRIPTION "client library for the tyx real-time data platform (development files)
 The C++20 headers, the CMake package (find_package(tyx_client_common)) and the pkg-config
 file (tyx_client_common) of libtyx-client0.")

set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_NAME tyx-tools)
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DEB_TOOLS_PACKAGE_DEPENDS "${_tyx_exact}")
set(CPACK_DEBIAN_DEB_TOOLS_DESCRIPTION "command-line tool for the tyx real-time data platform
 tyx publishes, subscribes, queries and uploads from the shell, runs a sandbox of the
 platform's servers and a guided demo on it.")

set(CPACK_DEBIAN_DEB_PYTHON_PACKAGE_NAME python3-tyx-client)
set(CPACK_DEBIAN_DEB_PYTHON_PACKAGE_SECTION python)
# Built for this interpreter's ABI; numpy and pandas hold the columns the module converts.
set(CPACK_DEBIAN_DEB_PYTHON_PACKAGE_DEPENDS
    "${_tyx_exact}, python3 (>= ${TYX_PYTHON_VERSION}), python3 (<< ${TYX_PYTHON_NEXT_VERSION}), python3-numpy, python3-pandas")
set(CPACK_DEBIAN_DEB_PYTHON_DESCRIPTION "Python module for the tyx real-time data platform
 The tyx_client module for /usr/bin/python3: the Client of libtyx-client0 with query
 results and uploads as numpy arrays and pandas DataFrames.")

include(CPack)
