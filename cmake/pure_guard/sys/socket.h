// The socket API (also reached through netinet/in.h and netdb.h); in a pure target it stops
// the compilation.
#error "sockets are not available here: this target holds pure codecs and parsers, with no I/O"
