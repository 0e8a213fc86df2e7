# TYX_SANITIZE=address builds everything with AddressSanitizer and UBSan; TYX_SANITIZE=thread with TSan.
if(TYX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(TYX_SANITIZE STREQUAL "thread")
  # g++ 12 warns (-Wtsan) about the fences inside asio's handlers; that warning is not ours.
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer $<$<CXX_COMPILER_ID:GNU>:-Wno-tsan>)
  add_link_options(-fsanitize=thread)
elseif(NOT TYX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TYX_SANITIZE must be empty, 'address' or 'thread', not '${TYX_SANITIZE}'")
endif()
