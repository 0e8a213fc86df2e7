// TyxClient: the wrapper's lifetime and closing, the reports of Python callbacks that raised, and
// the class itself with its lifetime and cluster methods. The methods of the other areas are
// registered by their own units, in the order bind_client gives (client_bindings.hpp).
#include "client_bindings.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include <tyx/config.hpp>

namespace tyx::python {

namespace {

// Clients destroyed on a library thread are finished on threads of their own; these count them
// so that interpreter shutdown can wait for them.
std::mutex detached_mutex;
std::condition_variable detached_done;
int detached_count = 0;

void destroy_client(Client* client) {
    if (on_library_thread()) {
        {
            std::lock_guard lock(detached_mutex);
            ++detached_count;
        }
        std::thread([client] {
            delete client;
            std::lock_guard lock(detached_mutex);
            --detached_count;
            detached_done.notify_all();
        }).detach();
        return;
    }
    if (Py_IsInitialized() && PyGILState_Check()) {
        py::gil_scoped_release nogil;
        delete client;
    } else {
        delete client;
    }
}

std::set<PyTyxClient*> live_clients;  // GIL

const char* const kTyxClientDoc = R"doc(A client of one or more clusters, over the library's Client.

TyxClient() starts the library's threads: a control thread (operations, center and database
sessions), relay worker threads and one notification thread.

Threads and blocking: every operation may be called from any Python thread and from listener
callbacks, and releases the GIL while the library works. The calls that block are add_cluster,
remove_cluster, subscribe and unsubscribe with wait=True, sql, get_table_schema, flush,
sql_insert, sql_replace, the first step of sql_replace_async without on_done, and
LiveTable.wait_for; each method's documentation says until what. Publishing (publish_object,
publish_raw, remove_object and the command calls) runs on the calling thread and returns at
once, unless a full relay buffer makes it wait (see PublicationConfig.full_buffer_block_ms).
Every other call returns at once.

Interrupting a wait: a blocking call waits with the GIL released and looks at Python's signals
at least every 100 ms, so Ctrl-C raises KeyboardInterrupt in the main thread within about that
time (Python runs signal handlers in the main thread only). The abandoned operation completes
on its own inside the library and its result is dropped; the client stays usable. close() called
from another thread ends every wait of the client at once with RuntimeError ("the TyxClient was
closed while sql() waited"). A blocking call made from a listener event or another callback
waits for the library directly, and neither of these ends it.

Callbacks: Listener events, sql_async callbacks and the on_done callbacks of the *_async methods
run on the library's notification thread, one at a time, in event order, with the GIL held; a
blocking call made from one holds up every later event until it returns. Each *_async method
(add_cluster_async, remove_cluster_async, subscribe_async, unsubscribe_async,
get_table_schema_async, flush_async, sql_async, sql_insert_async, sql_replace_async) returns at
once and runs its callback exactly once, after the events of its operation, also when the
operation fails or the client is closed first. The distribution function of a PublicationConfig
runs on the publishing thread.

Errors: arguments that cannot be converted raise TypeError, ValueError or OverflowError before
anything is sent, and so does (with ValueError) an object the relay could not read back as
written; every operation on a closed client raises RuntimeError. Failures of the library itself
(an unknown cluster, a lost connection, a timeout) raise no exception: they arrive as
Listener.on_log events of level 3 (and on_session_state changes), and as empty query results.

close() (or leaving a `with` block) stops every cluster, delivers the pending events and joins the
library's threads; events delivered while closing receive None as their `client`.)doc";

// The constructor, close() and the context manager.
void bind_lifetime(TyxClientClass& cls) {
    cls.def(py::init<>(), "A client without clusters; the library's threads start here.")
        .def("close", &PyTyxClient::close,
             R"doc(Stops every cluster and joins the library's threads; the client is unusable afterwards.

What was published before is written ahead of each relay shard's logout, and pending events are
delivered (with None as their `client`). Blocks, with the GIL released, until all of that is
done. Called from a listener event or another callback it returns at once and the closing
finishes on a thread of its own; while a call of another thread is still running, that call
finishes the closing when it returns. Threads waiting in a blocking call of this client (or in
LiveTable.wait_for of its live tables) raise RuntimeError at once; the pending callbacks of the
*_async methods run before it returns. Calling it again does nothing.)doc")
        .def_property_readonly("closed", &PyTyxClient::closed, "True once close() has been called.")
        .def(
            "__enter__", [](py::object self) { return self; }, "Returns the client itself.")
        .def(
            "__exit__",
            [](PyTyxClient& c, py::args) {
                c.close();
                return false;
            },
            "Calls close() (which blocks as it says) and lets any exception through.");
}

void bind_clusters(TyxClientClass& cls) {
    cls.def(
           "add_cluster",
           [](PyTyxClient& c, const Cluster& cluster, bool wait) {
               Cluster copy = cluster;
               if (!wait) return c.call([&](Client& client) { client.add_cluster(copy, false); });
               c.blocking<std::monostate>(
                   "add_cluster()", [&](Client& client) { client.add_cluster(copy, true); },
                   [&](Client& client, const Done& done) { client.add_cluster_async(copy, finisher(done)); });
           },
           py::arg("cluster"), py::arg("wait") = true,
           R"doc(Starts the relay, center and database sessions of `cluster` (a Cluster, copied: later
changes to it have no effect).

wait=True blocks, with the GIL released, until every session has logged in or has tried each of
its endpoints once (a session that failed goes on trying in the background); Ctrl-C and close()
end the wait as the class documentation says. wait=False returns at once. Either way, what is published right after the call is kept until the relay shards
first log in. A second cluster of a name already added is refused with a level-3 on_log. The
sessions' events (on_connect, on_logged_in, on_session_state, ...) arrive on the notification
thread.)doc")
        .def(
            "remove_cluster",
            [](PyTyxClient& c, const std::string& name, bool wait) {
                if (!wait) return c.call([&](Client& client) { client.remove_cluster(name, false); });
                c.blocking<std::monostate>(
                    "remove_cluster()", [&](Client& client) { client.remove_cluster(name, true); },
                    [&](Client& client, const Done& done) {
                        client.remove_cluster_async(name, finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("wait") = true,
            R"doc(Stops the sessions of the cluster named `cluster_name` and forgets it.

What was published before the call is written ahead of each relay shard's logout. wait=True
blocks, with the GIL released, until every session of the cluster has stopped (Ctrl-C and
close() end the wait); wait=False returns at once. An unknown name is ignored.)doc")
        .def(
            "add_cluster_async",
            [](py::object self, const Cluster& cluster, py::handle on_done) {
                auto done = on_done_callback<>(self, cluster.name, on_done, "add_cluster_async on_done");
                Cluster copy = cluster;
                self.cast<PyTyxClient&>().call(
                    [&](Client& client) { client.add_cluster_async(copy, std::move(done)); });
            },
            py::arg("cluster"), py::arg("on_done"),
            R"doc(As add_cluster(cluster, wait=True) without blocking: returns at once, and on_done() runs
when add_cluster would have returned (every session logged in or tried each of its endpoints
once).

Completion callbacks (every *_async method): the callback runs exactly once, later, on the
library's notification thread, in order with the listener events (after the events of its own
operation) and with the GIL held; also when the operation fails, and when the client is closed
with it pending (close() runs it before it returns). An exception it raises is reported as a
listener's is (printed, and a level-3 on_log to every listener). Raises TypeError when on_done
is not callable and RuntimeError on a closed client.)doc")
        .def(
            "remove_cluster_async",
            [](py::object self, const std::string& cluster_name, py::handle on_done) {
                auto done = on_done_callback<>(self, cluster_name, on_done, "remove_cluster_async on_done");
                self.cast<PyTyxClient&>().call(
                    [&](Client& client) { client.remove_cluster_async(cluster_name, std::move(done)); });
            },
            py::arg("cluster_name"), py::arg("on_done"),
            R"doc(As remove_cluster(cluster_name, wait=True) without blocking: on_done() runs once every
session of the cluster has stopped. Runs its callback as add_cluster_async says.)doc");
}

}  // namespace

PyTyxClient::PyTyxClient()
    : client_(new Client(), destroy_client),
      core_(std::make_shared<ClientCore>()),
      board_(std::make_shared<WaitBoard>()) {
    live_clients.insert(this);
}

void PyTyxClient::close() {
    live_clients.erase(this);
    if (!client_) return;
    core_->self = nullptr;
    // Threads waiting in a call of this client raise RuntimeError at once; the operations
    // they waited for end with the Client below, their results dropped.
    board_->close("the TyxClient");
    // The last reference destroys the Client through destroy_client (GIL released). A call
    // running in another thread keeps its own reference until it returns.
    auto client = std::move(client_);
    client.reset();
}

void report_callback_error(ClientCore& core, std::string_view cluster_name, const std::string& callback,
                           py::error_already_set& error) {
    const std::string summary = print_callback_exception(
        "exception in " + callback + " (cluster '" + std::string(cluster_name) + "')", error);
    if (callback == "on_log") return;
    const std::string message = "Python callback " + callback + " raised " + summary;
    const auto listeners = core.listeners;
    for (const auto& listener : listeners) {
        try {
            listener->get().attr("on_log")(core.client_object(), to_str(cluster_name), 3, message);
        } catch (py::error_already_set& nested) {
            print_callback_exception("exception in on_log", nested);
        }
    }
}

void report_cpp_error(std::string_view callback, const std::exception& error) {
    py::gil_scoped_acquire gil;
    try {
        py::module_::import("sys").attr("stderr").attr("write")(
            "tyx_client: error in " + std::string(callback) + ": " + error.what() + "\n");
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("tyx_client error report");
    }
}

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

std::shared_ptr<PyRef> callable_ref(py::handle fn, const char* what) {
    if (!PyCallable_Check(fn.ptr()))
        throw py::type_error(std::string(what) + " must be callable, not '" + type_name(fn) + "'");
    return std::make_shared<PyRef>(py::reinterpret_borrow<py::object>(fn));
}

std::chrono::milliseconds timeout_ms(double seconds) {
    if (!(seconds >= 0)) throw py::value_error("timeout must be a number of seconds, 0 or more");
    return std::chrono::ceil<std::chrono::milliseconds>(
        std::chrono::duration<double>(std::min(seconds, 1e9)));
}

std::shared_ptr<Client> client_of(py::handle tyx_client) {
    if (!py::isinstance<PyTyxClient>(tyx_client))
        throw py::type_error("expected a tyx_client.TyxClient, not '" + type_name(tyx_client) + "'");
    return tyx_client.cast<PyTyxClient&>().client();
}

std::shared_ptr<WaitBoard> wait_board_of(py::handle tyx_client) {
    if (!py::isinstance<PyTyxClient>(tyx_client))
        throw py::type_error("expected a tyx_client.TyxClient, not '" + type_name(tyx_client) + "'");
    return tyx_client.cast<PyTyxClient&>().board();
}

void close_all_clients() {
    const std::vector<PyTyxClient*> open(live_clients.begin(), live_clients.end());
    for (PyTyxClient* c : open) c->close();
    py::gil_scoped_release nogil;
    std::unique_lock lock(detached_mutex);
    detached_done.wait_for(lock, std::chrono::seconds(10), [] { return detached_count == 0; });
}

void bind_client(py::module_& m) {
    bind_listener_classes(m);
    bind_command_definition(m);
    bind_subscription_records(m);
    bind_tables(m);
    TyxClientClass cls(m, "TyxClient", kTyxClientDoc);
    bind_lifetime(cls);
    bind_clusters(cls);
    bind_listener_calls(cls);
    bind_health(cls);
    bind_publishing(cls);
    bind_subscriptions(cls);
    bind_queries(cls);
}

}  // namespace tyx::python
