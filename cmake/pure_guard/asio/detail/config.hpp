// Every asio header includes this one first; in a pure target it stops the compilation.
#error "asio is not available here: this target holds pure codecs and parsers, with no I/O"
