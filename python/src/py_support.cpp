#include "py_support.hpp"

namespace tyx::python {

namespace {
thread_local bool library_thread = false;
}

bool interpreter_stopping() {
#if PY_VERSION_HEX >= 0x030D0000
    return !Py_IsInitialized() || Py_IsFinalizing();
#else
    return !Py_IsInitialized() || _Py_IsFinalizing();
#endif
}

void mark_library_thread() {
    library_thread = true;
}
bool on_library_thread() {
    return library_thread;
}

PyRef::~PyRef() {
    // At shutdown a thread other than the main one must not take the GIL; the interpreter
    // reclaims everything anyway.
    if (object_ == nullptr || interpreter_stopping()) return;
    py::gil_scoped_acquire gil;
    Py_DECREF(object_);
}

py::str to_str(std::string_view text) {
    PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
    if (s == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

std::string from_str(py::handle text) {
    PyObject* b = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
    if (b == nullptr) throw py::error_already_set();
    auto bytes = py::reinterpret_steal<py::bytes>(b);
    char* data = nullptr;
    Py_ssize_t size = 0;
    PyBytes_AsStringAndSize(bytes.ptr(), &data, &size);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string print_callback_exception(const std::string& context, py::error_already_set& error) {
    std::string summary;
    try {
        summary = py::str(error.type().attr("__name__")).cast<std::string>();
        const std::string message = py::str(error.value()).cast<std::string>();
        if (!message.empty()) summary += ": " + message;
        auto stderr_file = py::module_::import("sys").attr("stderr");
        if (!stderr_file.is_none()) {
            stderr_file.attr("write")("tyx_client: " + context + "\n");
            py::module_::import("traceback")
                .attr("print_exception")(error.type(), error.value(), error.trace(),
                                         py::arg("file") = stderr_file);
            stderr_file.attr("flush")();
        }
    } catch (py::error_already_set& nested) {
        // Nothing sensible is left to report to: drop the secondary failure.
        nested.discard_as_unraisable("tyx_client error report");
    } catch (...) {
    }
    if (summary.empty()) summary = "exception";
    return summary;
}

}  // namespace tyx::python
