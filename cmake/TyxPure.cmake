# tyx_target_pure(target): the target's sources may not use asio, OpenSSL or sockets. asio sits in
# /usr/include, so leaving its directory out is not enough: the guard headers shadow the first
# header each of them includes and stop the compilation with an error that says why.
function(tyx_target_pure target)
  target_include_directories(${target} BEFORE PRIVATE ${PROJECT_SOURCE_DIR}/cmake/pure_guard)
endfunction()
