// OpenSSL 3 headers include this one first; in a pure target it stops the compilation.
#error "OpenSSL is not available here: this target holds pure codecs and parsers, with no I/O"
