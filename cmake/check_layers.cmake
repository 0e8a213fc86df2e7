# The folders of src/ stand in layers, and an include may only run down: from a folder to one
# of a lower layer, to the same folder, or to the public headers (tyx/). Folders of one layer
# (the three protocols) know nothing of each other. Run at configure time and as a test:
#   cmake -DTYX_SOURCE_DIR=<source root> -P cmake/check_layers.cmake
set(_tyx_layer_transport 1)
set(_tyx_layer_core 2)
set(_tyx_layer_rt 3)
set(_tyx_layer_center 3)
set(_tyx_layer_jdbc 3)
set(_tyx_layer_multiplex 4)
set(_tyx_layer_client 5)

if(NOT TYX_SOURCE_DIR)
  get_filename_component(TYX_SOURCE_DIR "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)
endif()

set(_tyx_upward "")
file(GLOB_RECURSE _tyx_sources RELATIVE "${TYX_SOURCE_DIR}/src" "${TYX_SOURCE_DIR}/src/*.hpp"
     "${TYX_SOURCE_DIR}/src/*.cpp")
foreach(_file IN LISTS _tyx_sources)
  string(REGEX MATCH "^[^/]+" _from "${_file}")
  if(NOT DEFINED _tyx_layer_${_from})
    list(APPEND _tyx_upward "src/${_file}: folder ${_from} has no layer")
    continue()
  endif()
  file(STRINGS "${TYX_SOURCE_DIR}/src/${_file}" _includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"[^\"/]+/")
  foreach(_line IN LISTS _includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"/]+)/.*$" "\\1" _to "${_line}")
    if(_to STREQUAL "tyx" OR _to STREQUAL _from OR NOT DEFINED _tyx_layer_${_to})
      continue()
    endif()
    if(NOT _tyx_layer_${_to} LESS _tyx_layer_${_from})
      list(APPEND _tyx_upward "src/${_file} includes ${_to}/ (layer ${_tyx_layer_${_to}} from layer ${_tyx_layer_${_from}})")
    endif()
  endforeach()
endforeach()

if(_tyx_upward)
  list(JOIN _tyx_upward "\n  " _tyx_report)
  message(FATAL_ERROR "Includes that do not run down the layers of src/:\n  ${_tyx_report}")
endif()
