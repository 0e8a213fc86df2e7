// What the binding units of TyxClient share: PyTyxClient (the Python object over tyx::Client),
// ClientCore (what its listeners and callbacks share with it), the helpers of its blocking and
// *_async calls, and the registration function of each area, which bind_client calls in the order
// pybind11 needs (a class named in a signature is registered before the methods naming it).
//
// Threads and the GIL: every TyxClient operation converts its arguments with the GIL held, then
// releases it for the library call, so a blocking call never holds up the library's threads.
// Listener events and asynchronous callbacks run on the library's notification thread, which
// takes the GIL for the Python call. Python objects kept by the library (listeners, callbacks)
// are PyRefs, released with the GIL held on whichever thread drops them. The C++ Client is
// destroyed with the GIL released (its destructor delivers the last events, which need it), and
// never on a library thread (its destructor joins them): there it is handed to a thread of its own.
#pragma once

#include "bindings.hpp"  // ahead of any container conversion

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <tyx/client.hpp>
#include <tyx/health.hpp>
#include <tyx/table.hpp>

#include "py_support.hpp"
#include "waits.hpp"

namespace tyx::python {

// What listeners and callbacks of one TyxClient share with it; every member is used with the GIL.
struct ClientCore {
    // The TyxClient object (borrowed), passed to callbacks as `client`; None once it is closing.
    PyObject* self = nullptr;
    // The Python listeners, in registration order, to report callback exceptions to.
    std::vector<std::shared_ptr<PyRef>> listeners;

    py::object client_object() const { return self ? py::reinterpret_borrow<py::object>(self) : py::none(); }
};

// An exception raised by Python code the library called: the traceback goes to sys.stderr, and
// every listener of the client receives it as a level-3 on_log event (unless it came from
// on_log itself). The notification loop goes on.
void report_callback_error(ClientCore& core, std::string_view cluster_name, const std::string& callback,
                           py::error_already_set& error);
// A C++ exception thrown while calling Python code: one line on sys.stderr (takes the GIL).
void report_cpp_error(std::string_view callback, const std::exception& error);

// The object behind a Python TyxClient; GIL.
class PyTyxClient {
public:
    PyTyxClient();
    ~PyTyxClient() { close(); }
    PyTyxClient(const PyTyxClient&) = delete;
    PyTyxClient& operator=(const PyTyxClient&) = delete;

    std::shared_ptr<Client> client() const {
        if (!client_) throw std::runtime_error("the TyxClient is closed");
        return client_;
    }
    const std::shared_ptr<ClientCore>& core() const { return core_; }
    const std::shared_ptr<WaitBoard>& board() const { return board_; }
    bool closed() const { return !client_; }

    // Remembers the Python object, handed to callbacks as their `client` argument.
    void bind_self(py::handle self) {
        if (client_) core_->self = self.ptr();
    }

    void close();

    // Runs `f(client)` with the GIL released.
    template <typename F>
    auto call(F&& f) const {
        std::shared_ptr<Client> c = client();
        py::gil_scoped_release nogil;
        std::shared_ptr<Client> held = std::move(c);  // dropped before the GIL is taken back
        return f(*held);
    }

    // A blocking call: `start(client, done)` begins the operation through its asynchronous form,
    // whose callback fills `done`; the caller then waits without the GIL and without holding the
    // Client, so that Ctrl-C (KeyboardInterrupt) and close() (RuntimeError) end the wait while
    // the operation completes on its own. On a library thread, whose callbacks the wait would
    // hold up, `direct(client)` runs the blocking C++ form instead. `what` names the call.
    template <typename T, typename Direct, typename Start>
    T blocking(const char* what, Direct&& direct, Start&& start) const {
        if (on_library_thread()) {
            if constexpr (std::is_same_v<T, std::monostate>) {
                call(std::forward<Direct>(direct));
                return {};
            } else {
                return call(std::forward<Direct>(direct));
            }
        }
        auto done = std::make_shared<Completion<T>>();
        call([&](Client& client) { start(client, done); });
        return done->wait(board_, what);
    }

private:
    std::shared_ptr<Client> client_;
    std::shared_ptr<ClientCore> core_;
    std::shared_ptr<WaitBoard> board_;
};

using TyxClientClass = py::class_<PyTyxClient>;

// The library callback that fills a blocking call's completion.
template <typename T>
auto finisher(const std::shared_ptr<Completion<T>>& done) {
    return [done](T value) { done->finish(std::move(value)); };
}
inline std::function<void()> finisher(const std::shared_ptr<Completion<std::monostate>>& done) {
    return [done] { done->finish({}); };
}
using Done = std::shared_ptr<Completion<std::monostate>>;

// The name of a value's Python type, for error messages.
std::string type_name(py::handle value);

// A reference to `fn`; TypeError naming it as `what` when it is not callable.
std::shared_ptr<PyRef> callable_ref(py::handle fn, const char* what);

// A completion callback of the library calling the Python `fn` with its values converted, on the
// notification thread with the GIL held; an exception it raises is reported as a listener's is,
// under the name `what` ("sql_insert_async on_done").
template <typename... Args>
std::function<void(Args...)> python_done_callback(const std::shared_ptr<ClientCore>& core,
                                                  std::string cluster_name, std::shared_ptr<PyRef> fn,
                                                  std::string what) {
    return [core, cluster_name = std::move(cluster_name), fn, what = std::move(what)](Args... values) {
        if (interpreter_stopping()) return;
        mark_library_thread();
        try {
            py::gil_scoped_acquire gil;
            try {
                fn->get()(py::cast(std::move(values))...);
            } catch (py::error_already_set& error) {
                report_callback_error(*core, cluster_name, what, error);
            }
        } catch (const std::exception& error) {
            report_cpp_error(what, error);
        }
    };
}

// The on_done of an *_async call of the TyxClient `self`, as python_done_callback makes it:
// TypeError when `on_done` is not callable, then RuntimeError when the client is closed; the
// client then hands itself to the callbacks.
template <typename... Args>
std::function<void(Args...)> on_done_callback(py::handle self, std::string cluster_name, py::handle on_done,
                                              std::string what) {
    auto& c = self.cast<PyTyxClient&>();
    auto done = python_done_callback<Args...>(c.core(), std::move(cluster_name),
                                              callable_ref(on_done, "on_done"), std::move(what));
    c.client();
    c.bind_self(self);
    return done;
}

// The library's timeouts are whole milliseconds; seconds from Python are rounded up.
std::chrono::milliseconds timeout_ms(double seconds);

// A session state change as the dict Listener.on_session_state receives (health_bindings.cpp).
py::dict state_event_dict(const SessionStateEvent& event);

// A copy of a query result that outlives the callback it was handed to (table_bindings.cpp).
std::unique_ptr<TableAccessor> result_snapshot(const TableAccessor& result);

// The areas of the binding, in the order bind_client registers them: first the classes the
// TyxClient methods take or return, then the methods of each area.
void bind_listener_classes(py::module_& m);      // Listener, Update
void bind_command_definition(py::module_& m);    // CommandDefinition
void bind_subscription_records(py::module_& m);  // CenterSubscription, CenterColumnSchema, CenterTableSchema
void bind_tables(py::module_& m);                // TableAccessor, TableRowIterator, Table
void bind_listener_calls(TyxClientClass& cls);   // listener_add
void bind_health(TyxClientClass& cls);           // health
void bind_publishing(TyxClientClass& cls);       // publish_object ... pause_commands, flush
void bind_subscriptions(TyxClientClass& cls);    // subscribe, unsubscribe, get_table_schema
void bind_queries(TyxClientClass& cls);          // sql, sql_insert, sql_replace

}  // namespace tyx::python
