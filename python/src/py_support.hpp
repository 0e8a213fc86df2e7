// Helpers shared by the module's bindings: Python references that may be dropped on any thread,
// the marking of library threads, text decoding that never fails, and the report of an exception
// raised by Python code that the library called.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <string_view>

namespace tyx::python {

namespace py = pybind11;

// True once the interpreter has started to shut down; no Python code may run then.
bool interpreter_stopping();

// Marks the calling thread as one of the library's own threads (notification or control loop).
// A Client must never be destroyed on such a thread, since its destructor joins them.
void mark_library_thread();
bool on_library_thread();

// A strong reference to a Python object owned by C++ code that may drop it on any thread: the
// reference is released with the GIL held, and left alone while the interpreter shuts down.
class PyRef {
public:
    explicit PyRef(py::object object) : object_(object.release().ptr()) {}
    ~PyRef();
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;

    // Only with the GIL held.
    py::handle get() const { return object_; }

private:
    PyObject* object_;
};

// A Python str from bytes that should be UTF-8; bytes that are not become lone surrogates
// ("surrogateescape"), so the text never fails to decode and `s.encode("utf-8",
// "surrogateescape")` gives the bytes back.
py::str to_str(std::string_view text);
// The UTF-8 bytes of a Python str (lone surrogates back to the bytes they stand for).
std::string from_str(py::handle text);

// Writes the traceback of `error` to sys.stderr after the line "tyx_client: " + context, and
// returns the one-line summary "<Type>: <message>". Never throws.
std::string print_callback_exception(const std::string& context, py::error_already_set& error);

}  // namespace tyx::python
