// TyxClient over tyx::Client, the listener adaptation, query results and tables.
//
// Threads and the GIL: every TyxClient operation converts its arguments with the GIL held, then
// releases it for the library call, so a blocking call never holds up the library's threads.
// Listener events and asynchronous callbacks run on the library's notification thread, which
// takes the GIL for the Python call. Python objects kept by the library (listeners, callbacks)
// are PyRefs, released with the GIL held on whichever thread drops them. The C++ Client is
// destroyed with the GIL released (its destructor delivers the last events, which need it), and
// never on a library thread (its destructor joins them): there it is handed to a thread of its own.
#include <array>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <pybind11/eval.h>
#include <pybind11/functional.h>

#include <tyx/tyx.hpp>

#include "bindings.hpp"
#include "live_table.hpp"
#include "py_support.hpp"
#include "values.hpp"
#include "waits.hpp"

namespace tyx::python {

namespace {

// The Python classes defined in Python source at module load (Listener, Update).
PyObject* listener_class = nullptr;
PyObject* update_class = nullptr;

// ---- Health as dicts (the layout of the tool's --stats JSON) ----

py::dict endpoint_dict(const SessionEndpoint& e) {
    py::dict d;
    d["host"] = to_str(e.host);
    d["port"] = to_str(e.port);
    d["failover"] = e.failover;
    return d;
}

py::dict state_event_dict(const SessionStateEvent& e) {
    py::dict d;
    d["cluster"] = to_str(e.cluster);
    d["kind"] = to_str(to_string(e.kind));
    d["shard"] = e.shard;
    d["endpoint"] = endpoint_dict(e.endpoint);
    d["state"] = to_str(to_string(e.state));
    d["cause"] = to_str(to_string(e.cause));
    d["reason"] = to_str(e.reason);
    d["attempt"] = e.attempt;
    d["pause_ms"] = e.pause.count();
    d["repeated"] = e.repeated;
    return d;
}

py::dict histogram_dict(const LatencyHistogram& h) {
    py::dict d;
    d["count"] = h.count();
    d["sum_us"] = h.sum_us;
    d["p50_us"] = h.quantile(0.5).count();
    d["p99_us"] = h.quantile(0.99).count();
    py::list buckets;
    for (std::size_t i = 0; i < h.counts.size(); ++i) {
        py::dict b;
        if (i < LatencyHistogram::kBoundsUs.size())
            b["le_us"] = LatencyHistogram::kBoundsUs[i];
        else
            b["le_us"] = py::none();
        b["count"] = h.counts[i];
        buckets.append(b);
    }
    d["buckets"] = buckets;
    return d;
}

py::dict counters_dict(const SessionHealth& s) {
    py::dict d;
    for (const auto& c : counters_of(s)) d[to_str(c.name)] = c.value;
    for (const auto& h : histograms_of(s)) d[to_str(h.name)] = histogram_dict(*h.histogram);
    return d;
}

py::dict health_dict(const Health& health) {
    py::list sessions;
    for (const auto& s : health.sessions) {
        py::dict d;
        d["cluster"] = to_str(s.cluster);
        d["kind"] = to_str(to_string(s.kind));
        d["shard"] = s.shard;
        d["state"] = to_str(to_string(s.state));
        d["since"] = std::chrono::duration<double>(s.since.time_since_epoch()).count();
        d["endpoint"] = endpoint_dict(s.endpoint);
        d["connection_attempts"] = s.connection_attempts;
        d["reconnections"] = s.reconnections;
        d["last_error"] = to_str(s.last_error);
        d["unexpected_inputs"] = s.unexpected_inputs;
        d["counters"] = counters_dict(s);
        sessions.append(d);
    }
    py::dict notifications;
    notifications["queued"] = health.notifications.queued;
    notifications["delivered"] = health.notifications.delivered;
    notifications["longest_wait_us"] = health.notifications.longest_wait.count();
    notifications["queued_updates"] = health.notifications.queued_updates;
    notifications["queued_update_bytes"] = health.notifications.queued_update_bytes;
    notifications["oldest_wait_us"] = health.notifications.oldest_wait.count();
    notifications["holding_back"] = health.notifications.holding_back;
    notifications["held_back_us"] = health.notifications.held_back.count();
    py::dict d;
    d["sessions"] = sessions;
    d["notifications"] = notifications;
    return d;
}

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

// Holds the cyclic garbage collector off for a scope (GIL held), then restores its state.
class CollectorPause {
public:
    CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    bool was_enabled_;
};

class ListenerAdapter final : public ClientListener {
public:
    enum Event {
        kConnect,
        kDisconnect,
        kLoggedIn,
        kMessageSent,
        kMessageReceived,
        kCommand,
        kSubscribe,
        kUpdate,
        kLog,
        kSessionState
    };
    static constexpr std::array<const char*, 10> kNames = {
        "on_connect", "on_disconnect", "on_logged_in", "on_message_sent", "on_message_received",
        "on_command", "on_subscribe",  "on_update",    "on_log",          "on_session_state"};

    // How a listener that defines on_updates receives each batch.
    enum class Batches { none, list, pandas };

    ListenerAdapter(std::shared_ptr<ClientCore> core, std::shared_ptr<PyRef> listener,
                    std::array<bool, 10> overridden, Batches batches)
        : core_(std::move(core)),
          listener_(std::move(listener)),
          overridden_(overridden),
          batches_(batches) {}

    void on_connect(Client&, std::string_view name) override {
        dispatch(kConnect, name, [] { return py::tuple(); });
    }
    void on_disconnect(Client&, std::string_view name) override {
        dispatch(kDisconnect, name, [] { return py::tuple(); });
    }
    void on_logged_in(Client&, std::string_view name) override {
        dispatch(kLoggedIn, name, [] { return py::tuple(); });
    }
    void on_message_sent(Client&, std::string_view name, std::string_view message) override {
        dispatch(kMessageSent, name, [&] { return py::make_tuple(to_str(message)); });
    }
    void on_message_received(Client&, std::string_view name, std::int64_t now, std::int64_t seqnum,
                             std::int32_t status, std::string_view message) override {
        dispatch(kMessageReceived, name,
                 [&] { return py::make_tuple(now, seqnum, status, to_str(message)); });
    }
    void on_command(Client&, std::string_view name, std::string_view request_id, std::string_view cmd,
                    std::string_view user_name, std::string_view object_type, std::string_view object_id,
                    const std::map<std::string, std::string>& params) override {
        dispatch(kCommand, name, [&] {
            py::dict p;
            for (const auto& [k, v] : params) p[to_str(k)] = to_str(v);
            return py::make_tuple(to_str(request_id), to_str(cmd), to_str(user_name), to_str(object_type),
                                  to_str(object_id), p);
        });
    }
    void on_subscribe(Client&, std::string_view name, const std::vector<std::string>& tables) override {
        dispatch(kSubscribe, name, [&] {
            py::list t;
            for (const auto& table : tables) t.append(to_str(table));
            return py::make_tuple(t);
        });
    }
    void on_update(Client&, std::string_view name, const CenterIncrementalUpdate& u) override {
        if (batches_ != Batches::none) {
            // Kept without the GIL until the batch ends; records are assigned into, so that their
            // strings and vectors keep their capacity from one batch to the next.
            if (batch_size_ < batch_.size())
                batch_[batch_size_] = u;
            else
                batch_.push_back(u);
            ++batch_size_;
            return;
        }
        dispatch(kUpdate, name, [&] { return py::make_tuple(update_object(u)); });
    }
    void on_update_batch_end(Client&, std::string_view name) override {
        if (batch_size_ == 0) return;
        if (!interpreter_stopping()) {
            mark_library_thread();
            try {
                py::gil_scoped_acquire gil;
                try {
                    py::object updates;
                    if (batches_ == Batches::pandas) {
                        updates = updates_to_pandas(batch_, batch_size_);
                    } else {
                        // Thousands of Update objects at once would run the cyclic collector over
                        // and over; they form no cycle, so it waits until the list is built.
                        const CollectorPause pause;
                        py::list list(batch_size_);
                        for (std::size_t i = 0; i < batch_size_; ++i)
                            PyList_SET_ITEM(list.ptr(), static_cast<py::ssize_t>(i),
                                            update_object(batch_[i]).release().ptr());
                        updates = std::move(list);
                    }
                    listener_->get().attr("on_updates")(core_->client_object(), to_str(name), updates);
                } catch (py::error_already_set& error) {
                    report_callback_error(*core_, name, "on_updates", error);
                }
            } catch (const std::exception& error) {
                report_cpp_error("on_updates", error);
            }
        }
        batch_size_ = 0;
        // A snapshot's batch may be huge; its records are not kept for ever.
        if (batch_.size() > kKeptRecords) batch_.resize(kKeptRecords);
    }
    void on_log(Client&, std::string_view name, std::uint8_t level, std::string_view message) override {
        dispatch(kLog, name, [&] { return py::make_tuple(level, to_str(message)); });
    }
    void on_session_state(Client&, const SessionStateEvent& e) override {
        const std::string name =
            e.cluster + "-" + std::string(e.kind == SessionKind::database ? "jdbc" : to_string(e.kind));
        dispatch(kSessionState, name, [&] { return py::make_tuple(state_event_dict(e)); });
    }

private:
    template <typename MakeArgs>
    void dispatch(Event event, std::string_view cluster_name, MakeArgs&& make_args) {
        if (!overridden_[event] || interpreter_stopping()) return;
        mark_library_thread();
        try {
            py::gil_scoped_acquire gil;
            try {
                py::tuple extra = make_args();
                py::list args;
                args.append(core_->client_object());
                args.append(to_str(cluster_name));
                for (py::handle a : extra) args.append(a);
                listener_->get().attr(kNames[event])(*args);
            } catch (py::error_already_set& error) {
                report_callback_error(*core_, cluster_name, kNames[event], error);
            }
        } catch (const std::exception& error) {
            report_cpp_error(kNames[event], error);
        }
    }

    static py::object update_object(const CenterIncrementalUpdate& u) {
        py::list names(u.field_names.size());
        for (std::size_t i = 0; i < u.field_names.size(); ++i)
            PyList_SET_ITEM(names.ptr(), static_cast<py::ssize_t>(i),
                            to_str(u.field_names[i]).release().ptr());
        py::list values(u.row_data.size());
        for (std::size_t i = 0; i < u.row_data.size(); ++i)
            PyList_SET_ITEM(values.ptr(), static_cast<py::ssize_t>(i),
                            from_field_value(u.row_data[i]).release().ptr());
        return py::reinterpret_borrow<py::object>(update_class)(
            u.seqnum, u.action, u.id, to_str(u.table_name), to_str(u.object_id), names, values);
    }

    static constexpr std::size_t kKeptRecords = 4096;

    std::shared_ptr<ClientCore> core_;
    std::shared_ptr<PyRef> listener_;
    std::array<bool, 10> overridden_;
    Batches batches_;
    // The current batch's updates (the first batch_size_ records); notification thread only.
    std::vector<CenterIncrementalUpdate> batch_;
    std::size_t batch_size_ = 0;
};

// A copy of an accessor that outlives the callback it was handed to (sql_async results).
class SnapshotAccessor final : public TableAccessor {
public:
    explicit SnapshotAccessor(const TableAccessor& from)
        : name_(from.table_name()),
          names_(from.column_names()),
          columns_(from.columns()),
          types_(column_type_codes(from)),
          has_result_set_(from.has_result_set()),
          error_(from.error_message()),
          affected_(from.affected_rows()),
          rows_(from.row_count()),
          null_masks_(from.null_masks()) {}

    const std::vector<std::uint8_t>& types() const { return types_; }

    std::string table_name() const override { return name_; }
    const std::vector<std::string>& column_names() const override { return names_; }
    const std::vector<ColumnValues>& columns() const override { return columns_; }
    bool has_result_set() const override { return has_result_set_; }
    std::string error_message() const override { return error_; }
    std::int64_t affected_rows() const override { return affected_; }
    std::int64_t row_count() const override { return rows_; }

    // The cursor rules every accessor of the library follows.
    std::int64_t cursor_position() const override { return p_; }
    bool cursor_advance() override {
        if (p_ < rows_) ++p_;
        return p_ < rows_;
    }
    bool cursor_advance(std::int64_t n) override { return move_to_target(p_ + n); }
    bool cursor_rewind() override {
        p_ = 0;
        return rows_ > 0;
    }
    bool cursor_move_to(std::int64_t i) override {
        p_ = i;
        return i >= 0 && i < rows_;
    }
    bool cursor_move_by(std::int64_t n) override { return move_to_target(p_ + n); }
    bool cursor_move_to_last() override {
        p_ = rows_ - 1;
        return rows_ > 0;
    }
    bool cursor_retreat(std::int64_t n) override { return move_to_target(p_ - n); }
    bool cursor_eof() const override { return p_ >= rows_; }
    std::int64_t cursor_row_number() const override { return p_ >= 0 && p_ < rows_ ? p_ : -1; }
    std::ostream& print(std::ostream& out) const override { return print_table_accessor(*this, out); }
    const std::vector<NullMask>& null_masks() const override { return null_masks_; }

private:
    bool move_to_target(std::int64_t target) {
        p_ = std::min(target, rows_);
        return target < rows_ && p_ >= 0;
    }

    std::string name_;
    std::vector<std::string> names_;
    std::vector<ColumnValues> columns_;
    std::vector<std::uint8_t> types_;
    bool has_result_set_;
    std::string error_;
    std::int64_t affected_;
    std::int64_t rows_;
    std::vector<NullMask> null_masks_;
    std::int64_t p_ = -1;
};

std::vector<std::uint8_t> codes_of(const TableAccessor& accessor) {
    if (const auto* snapshot = dynamic_cast<const SnapshotAccessor*>(&accessor)) return snapshot->types();
    return column_type_codes(accessor);
}

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

class PyTyxClient;
std::set<PyTyxClient*> live_clients;  // GIL

class PyTyxClient {
public:
    PyTyxClient()
        : client_(new Client(), destroy_client),
          core_(std::make_shared<ClientCore>()),
          board_(std::make_shared<WaitBoard>()) {
        live_clients.insert(this);
    }
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

    void close() {
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

// The library callback that fills a blocking call's completion.
template <typename T>
auto finisher(const std::shared_ptr<Completion<T>>& done) {
    return [done](T value) { done->finish(std::move(value)); };
}
std::function<void()> finisher(const std::shared_ptr<Completion<std::monostate>>& done) {
    return [done] { done->finish({}); };
}
using Done = std::shared_ptr<Completion<std::monostate>>;

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

std::shared_ptr<PyRef> callable_ref(py::handle fn, const char* what) {
    if (!PyCallable_Check(fn.ptr()))
        throw py::type_error(std::string(what) + " must be callable, not '" + type_name(fn) + "'");
    return std::make_shared<PyRef>(py::reinterpret_borrow<py::object>(fn));
}

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

// The library's timeouts are whole milliseconds; seconds from Python are rounded up.
std::chrono::milliseconds timeout_ms(double seconds) {
    if (!(seconds >= 0)) throw py::value_error("timeout must be a number of seconds, 0 or more");
    return std::chrono::ceil<std::chrono::milliseconds>(
        std::chrono::duration<double>(std::min(seconds, 1e9)));
}

void check_table_name_use(py::handle table, py::handle table_name, const char* operation) {
    if (py::isinstance<Table>(table) && !table_name.is_none())
        throw py::type_error(std::string(operation) +
                             "(): table_name is taken from the Table; do not pass it");
}

// The table names (or subscription records) of subscribe and unsubscribe.
struct TableList {
    std::vector<std::string> names;
    std::vector<CenterSubscription> subscriptions;
};

TableList table_list(py::handle tables, const char* operation, bool records_allowed) {
    TableList out;
    if (PyUnicode_Check(tables.ptr())) {
        out.names.push_back(from_str(tables));
        return out;
    }
    const std::string expected =
        records_allowed ? "a str, a list of str or a list of CenterSubscription" : "a str or a list of str";
    if (!py::isinstance<py::iterable>(tables))
        throw py::type_error(std::string(operation) + "() expects " + expected + ", not '" +
                             type_name(tables) + "'");
    for (py::handle t : tables) {
        if (PyUnicode_Check(t.ptr()) && out.subscriptions.empty()) {
            out.names.push_back(from_str(t));
        } else if (records_allowed && py::isinstance<CenterSubscription>(t) && out.names.empty()) {
            out.subscriptions.push_back(t.cast<CenterSubscription>());
        } else {
            throw py::type_error(std::string(operation) + "() expects " + expected +
                                 "; found an item of type '" + type_name(t) + "'");
        }
    }
    return out;
}

std::string accessor_text(const TableAccessor& a) {
    std::ostringstream out;
    a.print(out);
    return out.str();
}

// Walks an accessor's rows from the first, apart from its cursor. Holds the accessor alive
// through the binding's keep_alive; each step reads the row count again, so rows added to a Table
// while iterating are reached.
class RowIterator {
public:
    explicit RowIterator(const TableAccessor& accessor) : accessor_(&accessor), codes_(codes_of(accessor)) {}
    py::tuple next() {
        if (row_ >= accessor_->row_count()) throw py::stop_iteration();
        return accessor_row_tuple(*accessor_, codes_, row_++);
    }

private:
    const TableAccessor* accessor_;
    std::vector<std::uint8_t> codes_;
    std::int64_t row_ = 0;
};

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

}  // namespace

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
    // The listener base class and the update record are plain Python classes, so subclasses
    // need no special __init__.
    py::dict scope;
    scope["__name__"] = "tyx_client";
    py::exec(R"py(
class Listener:
    """Base class of listeners: subclass it, override the events you need, and register an
    instance with TyxClient.listener_add.

    Every event runs on the library's notification thread, one at a time, in event order, with
    the GIL held. While one runs no other event (nor sql_async or on_done callback) of the client
    is delivered, so a slow event, or a blocking call made from one, holds up all that follow.
    Events may call any TyxClient operation, the blocking ones and close() included.

    Each event receives the TyxClient (None while it is closing) and the name of the cluster or
    session first: "<cluster>-relay", "<cluster>-center" or "<cluster>-jdbc" for an event of a
    protocol session, the bare cluster name for a failure of an operation. Events are looked up
    when the listener is added: one not overridden then is never called. An exception raised in
    an event is printed with its traceback to sys.stderr and reported to every listener of the
    client as on_log(client, cluster_name, 3, "Python callback <event> raised <Type>: <text>");
    the notification thread goes on.
    """

    def on_connect(self, client, cluster_name):
        """A session's connection to an endpoint is made (the first one or a reconnection); its
        login or handshake comes next."""
        pass

    def on_disconnect(self, client, cluster_name):
        """A relay or center session's connection ended: it was lost, or a center session
        stopped."""
        pass

    def on_logged_in(self, client, cluster_name):
        """A session completed its login (relay, database) or handshake (center)."""
        pass

    def on_message_sent(self, client, cluster_name, message):
        """A message was written, as a str. Relay sessions report their login, every published
        message (objects, removals, raw texts, commands) and their logout, each without its
        line feed; database sessions their login request and each request's text (a query's
        SQL, a bulk insert's table name)."""
        pass

    def on_message_received(self, client, cluster_name, now, seqnum, status, message):
        """A relay status line: the relay's time `now`, `seqnum`, `status` (ints, 0 when absent)
        and `message` (str). Database sessions report here the message of their login answer and
        each answer, with the three numbers 0."""
        pass

    def on_command(self, client, cluster_name, request_id, cmd, user_name, object_type, object_id, params):
        """A user invoked a registered command (TyxClient.register_command). Answer `request_id`
        with TyxClient.send_command_response. `params` is a dict of the line's other key=value
        pieces, all str."""
        pass

    def on_subscribe(self, client, cluster_name, tables):
        """A center session wrote the snapshot request for `tables` (a list of str): those just
        subscribed, or every subscribed table again after a reconnection."""
        pass

    def on_update(self, client, cluster_name, update):
        """One row change of a subscribed table, as an Update (a new object each time, which may
        be kept): the snapshot's rows first, then every later change."""
        pass

    updates_as = "list"

    def on_updates(self, client, cluster_name, updates):
        """The updates of one received frame at once, in order: each changes message, and the rows
        of a snapshot answer. A listener that overrides it receives no on_update call.

        `updates` is a list of Update, or with `updates_as = "pandas"` (a class or instance
        attribute, read by listener_add) a pandas DataFrame with one row per update, numbered
        from 0: columns seqnum, action, id (int64), table_name and object_id (str), then one
        column per field name in the order first seen in the batch (a field named like one of
        those five is called "field_<name>"). Field columns follow LiveTable.to_pandas: the
        wire type's dtype when uniform, float64 with NaN for an integer field some updates do
        not carry, object (values as on_update gives them, None when absent) otherwise.

        The updates are kept in C++ without the GIL while the frame is delivered, then this runs
        once with the GIL."""
        pass

    def on_log(self, client, cluster_name, level, message):
        """A log message: level 3 for a failed operation (or a Python callback that raised),
        level 2 for an unexpected but harmless input. An exception raised here is only
        printed."""
        pass

    def on_session_state(self, client, cluster_name, event):
        """A session changed state; `event` is a dict: cluster, kind ('relay', 'center',
        'database'), shard, endpoint ({'host', 'port', 'failover': 0 for the primary, i for the
        i-th failover}), state ('connecting', 'logging in', 'up', 'reconnecting', 'stopped'),
        cause ('none', 'refused', 'closed by peer', 'timed out', 'TLS failure', 'login refused',
        'protocol error'), reason (the error text, or ''), attempt (the number of the attempt under
        way or coming, from 1 since the session was last up), pause_ms (the wait before the coming
        attempt) and repeated (failures that repeated an earlier one since the session was last
        up). Comes in order with the session's other events: on_connect before its
        'logging in' change, on_logged_in before its 'up' change, on_disconnect before its
        'reconnecting' change."""
        pass


class Update:
    """One center row change, as Listener.on_update receives it.

    seqnum: the sequence number of the changes message that carried the row; action: ADDED (1),
    UPDATED (2) or REMOVED (3); id: the row's numeric identifier (0 when it carries none);
    table_name; object_id (empty when absent); field_names and row_data: the carried fields'
    names and values, in wire order; row: a dict of the same names to values (the value types
    are in the module documentation).
    """

    ADDED = 1
    UPDATED = 2
    REMOVED = 3
    __slots__ = ("seqnum", "action", "id", "table_name", "object_id", "field_names", "row_data", "row")

    def __init__(self, seqnum, action, id, table_name, object_id, field_names, row_data):
        self.seqnum = seqnum
        self.action = action
        self.id = id
        self.table_name = table_name
        self.object_id = object_id
        self.field_names = field_names
        self.row_data = row_data
        self.row = dict(zip(field_names, row_data))

    def __repr__(self):
        return ("Update(table_name=%r, object_id=%r, action=%d, seqnum=%d, row=%r)"
                % (self.table_name, self.object_id, self.action, self.seqnum, self.row))
)py",
             scope);
    m.attr("Listener") = scope["Listener"];
    m.attr("Update") = scope["Update"];
    listener_class = scope["Listener"].ptr();
    update_class = scope["Update"].ptr();
    Py_INCREF(listener_class);  // kept for the life of the process
    Py_INCREF(update_class);

    py::class_<CommandDefinition>(
        m, "CommandDefinition",
        R"doc(A command the application offers to users, for TyxClient.register_command.

Each field is written under the letter its documentation names (strings other than command_id
and name only when not empty). Every constructor argument is optional and sets the field of the
same name.)doc")
        .def(py::init([](std::string command_id, std::string name, std::string where_clause, std::string help,
                         std::string arguments_json, std::string enabled_expression, std::string style,
                         std::string select_mode, std::string fields, std::string filter_clause,
                         std::string conditions, std::string script, std::int32_t permission_level,
                         std::int32_t priority) {
                 return CommandDefinition{
                     command_id,         name,   where_clause,     help,    arguments_json,
                     enabled_expression, style,  select_mode,      fields,  filter_clause,
                     conditions,         script, permission_level, priority};
             }),
             py::arg("command_id") = "", py::arg("name") = "", py::arg("where_clause") = "",
             py::arg("help") = "", py::arg("arguments_json") = "", py::arg("enabled_expression") = "",
             py::arg("style") = "", py::arg("select_mode") = "", py::arg("fields") = "",
             py::arg("filter_clause") = "", py::arg("conditions") = "", py::arg("script") = "",
             py::arg("permission_level") = 0, py::arg("priority") = 0,
             "Each argument sets the field of the same name.")
        .def_readwrite("command_id", &CommandDefinition::command_id,
                       "I: the application's own identifier of the command.")
        .def_readwrite("name", &CommandDefinition::name, "N: the name users see and invoke.")
        .def_readwrite("where_clause", &CommandDefinition::where_clause,
                       "W: which objects the command applies to.")
        .def_readwrite("help", &CommandDefinition::help, "H: one-line help shown to users.")
        .def_readwrite("arguments_json", &CommandDefinition::arguments_json,
                       "A: the arguments the command takes, as JSON.")
        .def_readwrite("enabled_expression", &CommandDefinition::enabled_expression,
                       "E: when the command is offered.")
        .def_readwrite("style", &CommandDefinition::style, "Y: presentation hint.")
        .def_readwrite("select_mode", &CommandDefinition::select_mode,
                       "S: how objects are selected (for example \"single\", \"multi\").")
        .def_readwrite("fields", &CommandDefinition::fields, "F: fields shown with the command.")
        .def_readwrite("filter_clause", &CommandDefinition::filter_clause,
                       "R: further filtering of the objects.")
        .def_readwrite("conditions", &CommandDefinition::conditions, "K: conditions checked before running.")
        .def_readwrite("script", &CommandDefinition::script, "X: script run by the platform.")
        .def_readwrite("permission_level", &CommandDefinition::permission_level,
                       "P: lowest permission level allowed to invoke it (int).")
        .def_readwrite("priority", &CommandDefinition::priority,
                       "O: ordering among the application's commands (int).");

    py::class_<CenterSubscription>(
        m, "CenterSubscription",
        "One table to subscribe to (TyxClient.subscribe), with two lists of str and a flag\n"
        "carried to the center unchanged.")
        .def(py::init([](std::string table_name, std::vector<std::string> first_list,
                         std::vector<std::string> second_list, bool flag) {
                 return CenterSubscription{std::move(table_name), std::move(first_list),
                                           std::move(second_list), flag};
             }),
             py::arg("table_name"), py::arg("first_list") = std::vector<std::string>{},
             py::arg("second_list") = std::vector<std::string>{}, py::arg("flag") = false,
             "Each argument sets the field of the same name; the lists are lists of str.")
        .def_readwrite("table_name", &CenterSubscription::table_name, "The table to subscribe to.")
        .def_readwrite("first_list", &CenterSubscription::first_list,
                       "A list of str, sent as position 2 (reading gives a copy: assign a new list).")
        .def_readwrite("second_list", &CenterSubscription::second_list,
                       "A list of str, sent as position 4 (reading gives a copy: assign a new list).")
        .def_readwrite("flag", &CenterSubscription::flag, "Sent as position 3.");

    py::class_<CenterColumnSchema>(m, "CenterColumnSchema",
                                   "One column of a center table, as the center announced it.")
        .def_property_readonly(
            "name", [](const CenterColumnSchema& c) { return to_str(c.name); }, "The column's name.")
        .def_readonly("type", &CenterColumnSchema::type, "The column's type code, as received (int).")
        .def_readonly("flags", &CenterColumnSchema::flags, "The column's flags, as received (int).")
        .def("__repr__", [](const CenterColumnSchema& c) {
            return "CenterColumnSchema(" + py::repr(to_str(c.name)).cast<std::string>() +
                   ", type=" + std::to_string(c.type) + ", flags=" + std::to_string(c.flags) + ")";
        });
    py::class_<CenterTableSchema>(m, "CenterTableSchema",
                                  "One center table's schema, as TyxClient.get_table_schema returns it.")
        .def_readonly("kind", &CenterTableSchema::kind, "The table's kind, as received (int).")
        .def_readonly("columns", &CenterTableSchema::columns,
                      "A list of CenterColumnSchema, in the order announced.");

    py::class_<TableAccessor>(m, "TableAccessor",
                              R"doc(A column-oriented table with a row cursor: a query result or a Table.

to_numpy() and to_pandas() convert every column (see the module documentation for the dtypes
and NULL cells); iterating gives each row as a tuple, len() the number of rows, print() prints
the table and to_string() (or str()) returns that text:
    for sym, px in client.sql("demo", "SELECT sym, px FROM prices"): ...
row() gives the cursor's row as a dict. The cursor starts at -1, before the first row, and
never touches the data. The reading loop is
    while result.cursor_advance(): print(result.row())
Every method works on data the accessor holds: none blocks or touches the network, and a result
handed to a sql_async callback may be kept and read on any thread.)doc")
        // Texts that come from a server decode as every value does: bytes that are not UTF-8 become
        // surrogate escapes, and reading them never raises.
        .def(
            "table_name", [](const TableAccessor& a) { return to_str(a.table_name()); },
            "The table's name: a Table's own, or that of a query's first result table.")
        .def(
            "column_names",
            [](const TableAccessor& a) {
                py::list names;
                for (const auto& name : a.column_names()) names.append(to_str(name));
                return names;
            },
            "The names of the columns, in column order.")
        .def(
            "column_types", [](const TableAccessor& a) { return codes_of(a); },
            "The database type code of each column, in column order (for a query, those of the first\n"
            "result table; empty when unknown).")
        .def("has_result_set", &TableAccessor::has_result_set,
             "True when there is a table to read: a query that returned one, or a Table with a column.")
        .def(
            "error_message", [](const TableAccessor& a) { return to_str(a.error_message()); },
            "A query's error messages, each prefixed by its shard (\"[shard i] ...\"), joined by \"; \";\n"
            "empty when there are none (always for a Table).")
        .def("affected_rows", &TableAccessor::affected_rows,
             "The row counts the shards answered (rows a statement changed), added up; 0 for a Table.")
        .def("row_count", &TableAccessor::row_count, "The number of rows the cursor walks.")
        .def("cursor_position", &TableAccessor::cursor_position,
             "The cursor's position: -1 before the first row, row_count() once stepped past the last.")
        .def(
            "cursor_advance",
            [](TableAccessor& a, std::optional<std::int64_t> n) {
                return n ? a.cursor_advance(*n) : a.cursor_advance();
            },
            py::arg("n") = py::none(),
            "Moves one row forward, or `n` rows (never past row_count()); True when on a row.")
        .def("cursor_rewind", &TableAccessor::cursor_rewind,
             "Moves to the first row; True when there is one.")
        .def("cursor_move_to", &TableAccessor::cursor_move_to, py::arg("i"),
             "Moves to row `i`, unchecked; True when `i` is a row.")
        .def("cursor_move_by", &TableAccessor::cursor_move_by, py::arg("n"), "The same as cursor_advance(n).")
        .def("cursor_move_to_last", &TableAccessor::cursor_move_to_last,
             "Moves to the last row; True when there is one.")
        .def("cursor_retreat", &TableAccessor::cursor_retreat, py::arg("n"),
             "Moves `n` rows back; True when the target is a row.")
        .def("cursor_eof", &TableAccessor::cursor_eof, "True when the position is at or past row_count().")
        .def("cursor_row_number", &TableAccessor::cursor_row_number,
             "The position when it is a row, else -1.")
        .def(
            "columns", [](const TableAccessor& a) { return accessor_columns(a, codes_of(a)); },
            "Every column as a numpy array, in column order (NULL cells as in to_numpy).")
        .def(
            "to_numpy", [](const TableAccessor& a) { return accessor_to_dict(a, codes_of(a)); },
            "The columns as a dict of numpy arrays (a repeated name gets '.1', '.2', ... appended).\n"
            "NULL cells are NaN in float and complex columns, NaT in datetime columns and None in the\n"
            "others; an integer or boolean column with a NULL becomes an object array.")
        .def(
            "to_pandas", [](const TableAccessor& a) { return accessor_to_pandas(a, codes_of(a)); },
            "The columns as a pandas DataFrame; columns shorter than the longest are padded with None.\n"
            "NULL cells are NaN in float and complex columns, NaT in datetime columns, None in text and\n"
            "bytes columns, and pd.NA in integer and boolean columns, which then take the nullable\n"
            "dtypes (Int8, Int16, UInt16, Int32, Int64, boolean); a column without NULL cells keeps its\n"
            "numpy dtype.")
        .def(
            "is_null",
            [](const TableAccessor& a, std::size_t column, std::int64_t row) {
                if (column >= a.columns().size())
                    throw py::index_error("column " + std::to_string(column) + " of " +
                                          std::to_string(a.columns().size()));
                return a.is_null(column, row);
            },
            py::arg("column"), py::arg("row"),
            "True when the cell at `row` of column number `column` is NULL (or the column has no value\n"
            "there). Raises IndexError for a column past the last.")
        .def(
            "row",
            [](const TableAccessor& a, std::optional<std::int64_t> i) {
                return accessor_row(a, codes_of(a), i ? *i : a.cursor_position());
            },
            py::arg("i") = py::none(),
            "A dict of the values of row `i` (default: the cursor's row) by column name, as to_numpy\n"
            "names them; None for each NULL cell and each cell the row has not (before the first row,\n"
            "for example).")
        .def(
            "__iter__", [](const TableAccessor& a) { return RowIterator(a); }, py::keep_alive<0, 1>(),
            "Iterates over the rows, each a tuple of its values in column order (None for a NULL\n"
            "cell), from the first row whatever the cursor's position; the cursor does not move.")
        .def(
            "print",
            [](const TableAccessor& a, py::object file) {
                py::object out = file.is_none() ? py::module_::import("sys").attr("stdout") : file;
                out.attr("write")(to_str(accessor_text(a)));
            },
            py::arg("file") = py::none(),
            "Prints the table as text, every row included (long cells are cut, NULL cells read NULL),\n"
            "to sys.stdout or to `file`. to_string() returns the same text.")
        .def(
            "to_string", [](const TableAccessor& a) { return to_str(accessor_text(a)); },
            "The text print() prints.")
        .def(
            "__str__", [](const TableAccessor& a) { return to_str(accessor_text(a)); },
            "The same as to_string().")
        .def(
            "__len__", [](const TableAccessor& a) { return std::max<std::int64_t>(a.row_count(), 0); },
            "row_count().");

    py::class_<RowIterator>(m, "TableRowIterator", "An iterator over the rows of a TableAccessor, as tuples.")
        .def("__iter__", [](py::object self) { return self; })
        .def("__next__", &RowIterator::next);

    py::class_<Table, TableAccessor>(m, "Table",
                                     R"doc(A table built column by column, for sql_insert and sql_replace.

add_column takes a numpy array, a pandas Series or a sequence; the column type follows the dtype
and missing values become NULL cells (see the module documentation). Table.from_pandas and Table.from_dict build a whole table.
Columns of different lengths are accepted; the row count is the longest. The uploading calls
copy the table, so it may be changed or reused afterwards.)doc")
        .def(py::init<std::string>(), py::arg("name"), "An empty table named `name`.")
        .def(
            "add_column",
            [](Table& t, const std::string& name, py::handle values) -> Table& {
                add_python_column(t, name, values);
                return t;
            },
            py::arg("name"), py::arg("values"), py::return_value_policy::reference_internal,
            "Appends the column `name` with `values` (a one-dimensional numpy array, a pandas Series or a\n"
            "sequence) copied, its missing values as NULL cells; returns the table, for chaining. Raises\n"
            "TypeError for values with no column type and OverflowError for a uint64 value above 2**63 - 1.")
        .def(
            "add_column_impl",
            [](Table& t, const std::string& name, std::uint8_t type_code, py::handle values,
               std::int32_t row_count) {
                Table scratch(name);
                add_python_column(scratch, name, values);
                t.add_column_impl(name, type_code, scratch.columns().front(), row_count,
                                  scratch.null_masks().front());
            },
            py::arg("name"), py::arg("type_code"), py::arg("values"), py::arg("row_count"),
            "Appends a column with the given type code and row count, unchecked: `values` is converted\n"
            "as add_column does, then stored under `type_code`.")
        .def("column_row_counts", &Table::column_row_counts,
             "The element count of each column, in column order.")
        .def_static(
            "from_pandas",
            [](const std::string& name, py::handle frame) {
                return to_table(frame, py::str(name), "from_pandas");
            },
            py::arg("name"), py::arg("frame"),
            "A Table named `name` with a column for each column of the pandas DataFrame `frame`, copied.")
        .def_static(
            "from_dict",
            [](const std::string& name, py::handle columns) {
                return to_table(columns, py::str(name), "from_dict");
            },
            py::arg("name"), py::arg("columns"),
            "A Table named `name` from a dict of column names (str) to columns, each as add_column\n"
            "takes it.");

    py::class_<PyTyxClient>(m, "TyxClient", kTyxClientDoc)
        .def(py::init<>(), "A client without clusters; the library's threads start here.")
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
            "Calls close() (which blocks as it says) and lets any exception through.")
        .def(
            "add_cluster",
            [](PyTyxClient& c, const Cluster& cluster, bool wait) {
                Cluster copy = cluster;
                if (!wait) return c.call([&](Client& client) { client.add_cluster(copy, false); });
                c.blocking<std::monostate>(
                    "add_cluster()", [&](Client& client) { client.add_cluster(copy, true); },
                    [&](Client& client, const Done& done) {
                        client.add_cluster_async(copy, finisher(done));
                    });
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
            "listener_add",
            [](py::object self, py::object listener) {
                auto& c = self.cast<PyTyxClient&>();
                if (!py::isinstance(listener, listener_class))
                    throw py::type_error("listener_add() expects a tyx_client.Listener, not '" +
                                         type_name(listener) + "'");
                c.client();  // refuses a closed client
                c.bind_self(self);
                std::array<bool, 10> overridden{};
                py::object base = py::reinterpret_borrow<py::object>(listener_class);
                for (std::size_t i = 0; i < overridden.size(); ++i) {
                    py::object method = py::getattr(listener, ListenerAdapter::kNames[i], py::none());
                    py::object function = py::getattr(method, "__func__", method);
                    overridden[i] = !function.is(base.attr("__dict__")[ListenerAdapter::kNames[i]]);
                }
                auto batches = ListenerAdapter::Batches::none;
                py::object on_updates = py::getattr(listener, "on_updates", py::none());
                if (!py::getattr(on_updates, "__func__", on_updates)
                         .is(base.attr("__dict__")["on_updates"])) {
                    const py::object form = py::getattr(listener, "updates_as", py::none());
                    if (form.is_none() || (PyUnicode_Check(form.ptr()) && from_str(form) == "list"))
                        batches = ListenerAdapter::Batches::list;
                    else if (PyUnicode_Check(form.ptr()) && from_str(form) == "pandas")
                        batches = ListenerAdapter::Batches::pandas;
                    else
                        throw py::value_error(
                            "listener_add(): updates_as must be \"list\" or \"pandas\", not " +
                            py::repr(form).cast<std::string>());
                }
                auto ref = std::make_shared<PyRef>(listener);
                c.core()->listeners.push_back(ref);
                auto adapter = std::make_shared<ListenerAdapter>(c.core(), ref, overridden, batches);
                c.call([&](Client& client) { client.listener_add(adapter); });
            },
            py::arg("listener"),
            R"doc(Registers `listener` (an instance of a Listener subclass) until the client is closed.

Returns at once. The listener hears the events delivered after the call, on the notification
thread, one at a time, in event order. Its event methods are looked up here: an event it does
not override at this point is never called; so are on_updates and updates_as. The same listener
added twice receives every event twice. Raises TypeError for an object that is not a Listener,
ValueError for an updates_as other than "list" or "pandas".)doc")
        .def(
            "health",
            [](PyTyxClient& c) {
                Health health;
                c.call([&](Client& client) { health = client.health(); });
                return health_dict(health);
            },
            R"doc(What every session is doing and has counted, and how the notification queue fares.

Returns at once (it never waits for the network); fine from any thread and from a listener
event. The result is nested dicts:
    {'sessions': [{'cluster', 'kind', 'shard', 'state', 'since' (seconds since the epoch),
                   'endpoint': {'host', 'port', 'failover'}, 'connection_attempts',
                   'reconnections', 'last_error', 'unexpected_inputs', 'counters': {name: int or histogram dict}},
                  ...],
     'notifications': {'queued', 'delivered', 'longest_wait_us', 'queued_updates',
                       'queued_update_bytes', 'oldest_wait_us', 'holding_back', 'held_back_us'}}
Sessions come by cluster (in the order added), kind ('relay', 'center', 'database') and shard.
A histogram is {'count', 'sum_us', 'p50_us', 'p99_us', 'buckets': [{'le_us', 'count'}, ...]},
the last bucket with 'le_us' None.)doc")
        .def(
            "publish_object",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& object_type,
               const std::string& object_id, py::handle fields, py::handle values, std::int64_t seqnum,
               std::int64_t expires_on_ms) {
                std::vector<std::string> names;
                std::vector<FieldValue> field_values;
                to_fields(fields, values, names, field_values);
                // Raised here, as publish_frame raises, where the C++ call would only log.
                if (std::string refusal = Client::object_refusal(object_type, object_id, names, field_values);
                    !refusal.empty())
                    throw py::value_error("publish_object(): " + refusal);
                c.call([&](Client& client) {
                    client.publish_object(cluster_name, object_type, object_id, names, field_values, seqnum,
                                          expires_on_ms);
                });
            },
            py::arg("cluster_name"), py::arg("object_type"), py::arg("object_id"),
            py::arg("fields") = py::none(), py::arg("values") = py::none(), py::arg("seqnum") = 0,
            py::arg("expires_on_ms") = 0,
            R"doc(Publishes one object of type `object_type` and identifier `object_id` (none when empty)
to the relay shards of the cluster `cluster_name`.

`fields` is a dict of field names to values, or a list of names with `values` a list of the
same length (the value types are in the module documentation). `seqnum` is written when
positive, `expires_on_ms` when not 0. Raises TypeError, ValueError or OverflowError for fields
it cannot convert; an unknown cluster is ignored without a report.

The relay text has no escaping, so what the relay could not read back as written raises
ValueError naming the part at fault, and nothing is sent: a line feed or a double quote in the
type, the id or a str value; a field name that is empty, reserved (T, I, E, and id in any case)
or holds a line feed, |, = or a double quote; a char value with a line feed, | or a double
quote; a bytes value with a line feed or |, or beginning with a double quote; a float that is
NaN or infinite. For example: 'publish_object(): the value of field "text" holds a line feed,
which the relay would not read back as written (type "Note", id "n1")'.

Runs on the calling thread with the GIL released: the message goes into each chosen shard's
buffer (through the distribution function, when the cluster has one) and the call returns,
unless the buffer is full with the drop_newest policy, where it waits up to
PublicationConfig.full_buffer_block_ms. Messages published from one thread reach each shard in
call order.)doc")
        .def(
            "serialize_object",
            [](PyTyxClient& c, const std::string& object_type, const std::string& object_id,
               py::handle fields, py::handle values, std::int64_t seqnum, std::int64_t expires_on_ms) {
                std::vector<std::string> names;
                std::vector<FieldValue> field_values;
                to_fields(fields, values, names, field_values);
                std::string text = c.call([&](Client& client) {
                    return client.serialize_object(object_type, object_id, names, field_values, seqnum,
                                                   expires_on_ms);
                });
                return to_str(text);
            },
            py::arg("object_type"), py::arg("object_id"), py::arg("fields") = py::none(),
            py::arg("values") = py::none(), py::arg("seqnum") = 0, py::arg("expires_on_ms") = 0,
            R"doc(The exact text publish_object would send for these arguments, as a str (bytes that are not
UTF-8 as surrogate escapes); sends nothing and returns at once. Raises as publish_object does for
fields it cannot convert; for an object publish_object refuses with ValueError it returns ''.)doc")
        .def(
            "publish_raw",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& text) {
                c.call([&](Client& client) { client.publish_raw(cluster_name, text); });
            },
            py::arg("cluster_name"), py::arg("text"),
            R"doc(Sends `text` (a str, written as UTF-8, or bytes) unchanged to the relay shards of the
cluster; no line feed is added. Runs and returns as publish_object does.)doc")
        .def(
            "flush",
            [](PyTyxClient& c, double timeout, std::optional<std::string> cluster_name) {
                const auto ms = timeout_ms(timeout);
                return c.blocking<std::size_t>(
                    "flush()",
                    [&](Client& client) {
                        return cluster_name ? client.flush(*cluster_name, ms) : client.flush(ms);
                    },
                    [&](Client& client, const std::shared_ptr<Completion<std::size_t>>& done) {
                        if (cluster_name)
                            client.flush_async(*cluster_name, ms, finisher(done));
                        else
                            client.flush_async(ms, finisher(done));
                    });
            },
            py::arg("timeout") = 10.0, py::arg("cluster_name") = py::none(),
            R"doc(Waits until every message published before the call (to every relay shard, or to those of
`cluster_name`) has been received by its relay's host, which acknowledged it over TCP, or until
`timeout` seconds have passed. Returns how many of those messages are still not delivered:
0 when all are. The GIL is released while it waits; Ctrl-C (KeyboardInterrupt) and close()
(RuntimeError) end the wait. Raises ValueError for a negative timeout. A message the relay's host never acknowledged is written again after a
reconnection; one dropped by the full-buffer policy or replaced by conflation is not waited
for. Call it before relying on what was published, for instance before querying it.)doc")
        .def(
            "remove_object",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& object_id,
               const std::string& object_type, std::int64_t seqnum) {
                if (std::string refusal = Client::removal_refusal(object_id, object_type); !refusal.empty())
                    throw py::value_error("remove_object(): " + refusal);
                c.call([&](Client& client) {
                    client.remove_object(cluster_name, object_id, object_type, seqnum);
                });
            },
            py::arg("cluster_name"), py::arg("object_id"), py::arg("object_type"), py::arg("seqnum") = 0,
            R"doc(Publishes the removal of an object. Note the order: identifier, then type. `seqnum` is
written when positive. Runs and returns as publish_object does; an id or a type holding a line
feed or a double quote raises ValueError naming it, and nothing is sent.)doc")
        .def(
            "register_command",
            [](PyTyxClient& c, const std::string& cluster_name, const CommandDefinition& command) {
                CommandDefinition copy = command;
                c.call([&](Client& client) { client.register_command(cluster_name, copy); });
            },
            py::arg("cluster_name"), py::arg("command"),
            R"doc(Registers `command` (a CommandDefinition) with the cluster's relays. A user invoking it
arrives as Listener.on_command; answer with send_command_response. Runs and returns as
publish_object does.)doc")
        .def(
            "send_command_response",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& request_id,
               std::int32_t status, const std::string& message, const std::string& script) {
                c.call([&](Client& client) {
                    client.send_command_response(cluster_name, request_id, status, message, script);
                });
            },
            py::arg("cluster_name"), py::arg("request_id"), py::arg("status"), py::arg("message"),
            py::arg("script") = "",
            R"doc(Answers the command request `request_id` (from Listener.on_command) with an integer
status, a message and an optional script. Runs and returns as publish_object does.)doc")
        .def(
            "send_command_help",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& request_id,
               const std::string& help_text) {
                c.call(
                    [&](Client& client) { client.send_command_help(cluster_name, request_id, help_text); });
            },
            py::arg("cluster_name"), py::arg("request_id"), py::arg("help_text"),
            R"doc(Sends `help_text` as the answer to the command request `request_id`. Runs and returns as
publish_object does.)doc")
        .def(
            "pause_commands",
            [](PyTyxClient& c, const std::string& cluster_name, std::int32_t delay_ms) {
                c.call([&](Client& client) { client.pause_commands(cluster_name, delay_ms); });
            },
            py::arg("cluster_name"), py::arg("delay_ms"),
            R"doc(Writes the pause message for commands, with `delay_ms` in milliseconds. Runs and returns as
publish_object does.)doc")
        .def(
            "subscribe",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle tables, bool wait) {
                TableList list = table_list(tables, "subscribe", true);
                auto direct = [&](bool waiting) {
                    return [&, waiting](Client& client) {
                        if (!list.subscriptions.empty())
                            client.subscribe(cluster_name, std::move(list.subscriptions), waiting);
                        else
                            client.subscribe(cluster_name, std::move(list.names), waiting);
                    };
                };
                if (!wait) return c.call(direct(false));
                c.blocking<std::monostate>(
                    "subscribe()", direct(true), [&](Client& client, const Done& done) {
                        if (!list.subscriptions.empty())
                            client.subscribe_async(cluster_name, std::move(list.subscriptions),
                                                   finisher(done));
                        else
                            client.subscribe_async(cluster_name, std::move(list.names), finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("wait") = true,
            R"doc(Subscribes to center tables on every center shard of the cluster.

`tables` is a table name, a list of names or a list of CenterSubscription records (not a mix).
Each table's snapshot arrives as Listener.on_update events, then every later change; a center
session announces each request it writes with on_subscribe, and requests every subscribed
table again after a reconnection. wait=True blocks, with the GIL released, until every center
shard has answered for the tables (a table subscribed before and not yet answered included), or
until the cluster's SubscriptionConfig.snapshot_timeout_ms has passed, with a level-3 on_log
naming the shards that did not answer (the subscription stays); removing the cluster ends the
wait too, and Ctrl-C and close() end it as the class documentation says. wait=False returns at
once.
Raises TypeError for other kinds of `tables`; an unknown cluster gives a level-3 on_log.)doc")
        .def(
            "unsubscribe",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle tables, bool wait) {
                TableList list = table_list(tables, "unsubscribe", false);
                if (!wait)
                    return c.call([&](Client& client) {
                        client.unsubscribe(cluster_name, std::move(list.names), false);
                    });
                c.blocking<std::monostate>(
                    "unsubscribe()",
                    [&](Client& client) { client.unsubscribe(cluster_name, std::move(list.names), true); },
                    [&](Client& client, const Done& done) {
                        client.unsubscribe_async(cluster_name, std::move(list.names), finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("wait") = true,
            R"doc(Ends the subscriptions to `tables` (a table name or a list of names) on every center shard.

wait=True blocks, with the GIL released, until every center session has taken the request (it
does not wait for the network; Ctrl-C and close() end the wait); wait=False returns at once. Raises TypeError for other kinds of
`tables`.)doc")
        .def(
            "get_table_schema",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& table_name) {
                using Schema = std::optional<CenterTableSchema>;
                return c.blocking<Schema>(
                    "get_table_schema()",
                    [&](Client& client) { return client.get_table_schema(cluster_name, table_name); },
                    [&](Client& client, const std::shared_ptr<Completion<Schema>>& done) {
                        client.get_table_schema_async(cluster_name, table_name, finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("table_name"),
            R"doc(The CenterTableSchema of the subscribed table `table_name`, as the lowest-numbered center
shard that has it announced it; None when no shard has one (the table is not subscribed, its
snapshot has not arrived yet, or the cluster is unknown). Blocks, with the GIL released, only
until the control thread has looked it up: it never waits for the network (Ctrl-C and close()
end the wait).)doc")
        .def(
            "sql",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& query) {
                using Result = std::unique_ptr<TableAccessor>;
                return c.blocking<Result>(
                    "sql()", [&](Client& client) { return client.sql(cluster_name, query); },
                    [&](Client& client, const std::shared_ptr<Completion<Result>>& done) {
                        client.sql_async_owned(cluster_name, query, finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("query"),
            R"doc(Runs the SQL text `query` on every database shard of the cluster and returns one
TableAccessor over all their results.

Blocks, with the GIL released, until every shard has answered or failed: at most
DatabaseConfig.query_timeout_ms plus one second from the call, whatever the connections are
doing (a failed attempt is retried once after reconnecting, within the same time); Ctrl-C
(KeyboardInterrupt) and close() (RuntimeError) end the wait, the query going on without a
reader. Nothing is raised for a failed query: error_message() says what failed, shard by shard ("[shard i]
text"), the database's own errors and the shards that timed out, lost their connection or could
not be reached; the rows of the shards that answered are still there, and a failed shard also
gives a level-3 on_log. A result with no rows and an empty error_message() is an empty result;
one with no rows and an error_message() is a failure. An unknown cluster gives a result over
zero rows whose error_message() says so.)doc")
        .def(
            "add_cluster_async",
            [](py::object self, const Cluster& cluster, py::handle on_done) {
                auto& c = self.cast<PyTyxClient&>();
                auto done = python_done_callback<>(c.core(), cluster.name, callable_ref(on_done, "on_done"),
                                                   "add_cluster_async on_done");
                Cluster copy = cluster;
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) { client.add_cluster_async(copy, std::move(done)); });
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
                auto& c = self.cast<PyTyxClient&>();
                auto done = python_done_callback<>(c.core(), cluster_name, callable_ref(on_done, "on_done"),
                                                   "remove_cluster_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) { client.remove_cluster_async(cluster_name, std::move(done)); });
            },
            py::arg("cluster_name"), py::arg("on_done"),
            R"doc(As remove_cluster(cluster_name, wait=True) without blocking: on_done() runs once every
session of the cluster has stopped. Runs its callback as add_cluster_async says.)doc")
        .def(
            "subscribe_async",
            [](py::object self, const std::string& cluster_name, py::handle tables, py::handle on_done) {
                auto& c = self.cast<PyTyxClient&>();
                TableList list = table_list(tables, "subscribe_async", true);
                auto done = python_done_callback<>(c.core(), cluster_name, callable_ref(on_done, "on_done"),
                                                   "subscribe_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    if (!list.subscriptions.empty())
                        client.subscribe_async(cluster_name, std::move(list.subscriptions), std::move(done));
                    else
                        client.subscribe_async(cluster_name, std::move(list.names), std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("on_done"),
            R"doc(As subscribe(cluster_name, tables, wait=True) without blocking; `tables` as subscribe takes
them. on_done() runs once every center shard has answered for the tables, or after the cluster's
SubscriptionConfig.snapshot_timeout_ms, after the level-3 on_log naming the shards that did not
answer (the subscription stays). Runs its callback as add_cluster_async says.)doc")
        .def(
            "unsubscribe_async",
            [](py::object self, const std::string& cluster_name, py::handle tables, py::handle on_done) {
                auto& c = self.cast<PyTyxClient&>();
                TableList list = table_list(tables, "unsubscribe_async", false);
                auto done = python_done_callback<>(c.core(), cluster_name, callable_ref(on_done, "on_done"),
                                                   "unsubscribe_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    client.unsubscribe_async(cluster_name, std::move(list.names), std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("on_done"),
            R"doc(As unsubscribe(cluster_name, tables, wait=True) without blocking: on_done() runs once every
center session has taken the request. Runs its callback as add_cluster_async says.)doc")
        .def(
            "get_table_schema_async",
            [](py::object self, const std::string& cluster_name, const std::string& table_name,
               py::handle on_done) {
                auto& c = self.cast<PyTyxClient&>();
                auto done = python_done_callback<std::optional<CenterTableSchema>>(
                    c.core(), cluster_name, callable_ref(on_done, "on_done"),
                    "get_table_schema_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    client.get_table_schema_async(cluster_name, table_name, std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table_name"), py::arg("on_done"),
            R"doc(As get_table_schema without blocking: on_done(schema) runs with the CenterTableSchema, or
None where get_table_schema gives None. Runs its callback as add_cluster_async says.)doc")
        .def(
            "flush_async",
            [](py::object self, py::handle on_done, double timeout, std::optional<std::string> cluster_name) {
                auto& c = self.cast<PyTyxClient&>();
                const auto ms = timeout_ms(timeout);
                auto done = python_done_callback<std::size_t>(c.core(), cluster_name.value_or(std::string()),
                                                              callable_ref(on_done, "on_done"),
                                                              "flush_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    if (cluster_name)
                        client.flush_async(*cluster_name, ms, std::move(done));
                    else
                        client.flush_async(ms, std::move(done));
                });
            },
            py::arg("on_done"), py::arg("timeout") = 10.0, py::arg("cluster_name") = py::none(),
            R"doc(As flush without blocking any thread: waits for the messages published before this call,
then on_done(left) runs with the number flush would have returned (0: all delivered). A client
closed meanwhile ends the wait at once with what is left then. Raises ValueError for a negative
timeout; runs its callback as add_cluster_async says.)doc")
        .def(
            "sql_async",
            [](py::object self, const std::string& cluster_name, const std::string& query,
               py::handle callback) {
                auto& c = self.cast<PyTyxClient&>();
                auto fn = callable_ref(callback, "the sql_async callback");
                c.client();
                c.bind_self(self);
                std::function<void(const TableAccessor&)> deliver = [core = c.core(), cluster_name,
                                                                     fn](const TableAccessor& result) {
                    if (interpreter_stopping()) return;
                    mark_library_thread();
                    try {
                        // The library's accessor lives for this call only: keep a copy (made
                        // without the GIL).
                        std::unique_ptr<TableAccessor> copy = std::make_unique<SnapshotAccessor>(result);
                        py::gil_scoped_acquire gil;
                        try {
                            fn->get()(py::cast(std::move(copy)));
                        } catch (py::error_already_set& error) {
                            report_callback_error(*core, cluster_name, "sql_async callback", error);
                        }
                    } catch (const std::exception& error) {
                        report_cpp_error("sql_async callback", error);
                    }
                };
                c.call([&](Client& client) { client.sql_async(cluster_name, query, std::move(deliver)); });
            },
            py::arg("cluster_name"), py::arg("query"), py::arg("callback"),
            R"doc(As sql, without blocking: returns at once, and callback(result) runs later on the
notification thread, in order with the listener events, with the GIL held. `result` is a
TableAccessor that may be kept after the call. The callback runs exactly once, within the
deadline sql has: when the query fails (a timeout, a lost connection) or the client is closed
with the query in flight, `result` has no rows and error_message() says what failed, after a
level-3 on_log reporting it; an unknown cluster gives a result over zero rows, and a level-3
on_log. An exception raised by the callback is reported as Listener describes. Raises TypeError
when `callback` is not callable.)doc")
        .def(
            "sql_insert",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle table, py::handle table_name) {
                check_table_name_use(table, table_name, "sql_insert");
                Table t = to_table(table, table_name, "sql_insert");
                c.blocking<std::monostate>(
                    "sql_insert()", [&](Client& client) { client.sql_insert(cluster_name, std::move(t)); },
                    [&](Client& client, const Done& done) {
                        client.sql_insert_async(cluster_name, std::move(t), finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("table_name") = py::none(),
            R"doc(Uploads `table` with one bulk insert per database shard of the cluster.

`table` is a Table (its own name is used; passing table_name raises TypeError), or a pandas
DataFrame or a dict of column names to arrays or sequences, with table_name=<str>. The columns
are converted and copied before anything is sent (the dtypes are in the module documentation;
TypeError for one that has no column type, OverflowError for a uint64 value above 2**63 - 1).
Missing values (pd.NA, None, NaN and pd.NaT in object columns, NaT, masked cells) are stored
as NULL; a NaN in a float column is stored as NaN. Blocks, with the GIL released, until every shard
has answered or failed (within the deadline sql has; Ctrl-C and close() end the wait, the upload
going on). Nothing is raised for a failed upload:
when any shard refuses it, times out or cannot be reached, one level-3 on_log says so ("Failed
to execute bulk insert: [shard i] reason (table name)").)doc")
        .def(
            "sql_insert_async",
            [](py::object self, const std::string& cluster_name, py::handle table, py::handle on_done,
               py::handle table_name) {
                auto& c = self.cast<PyTyxClient&>();
                check_table_name_use(table, table_name, "sql_insert_async");
                Table t = to_table(table, table_name, "sql_insert_async");
                if (on_done.is_none()) {
                    c.call([&](Client& client) { client.sql_insert_async(cluster_name, std::move(t)); });
                    return;
                }
                auto done = python_done_callback<>(c.core(), cluster_name, callable_ref(on_done, "on_done"),
                                                   "sql_insert_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    client.sql_insert_async(cluster_name, std::move(t), std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("on_done") = py::none(),
            py::arg("table_name") = py::none(),
            R"doc(As sql_insert, without blocking: the data is converted and copied, then the call
returns at once. on_done(), when given, runs later on the notification thread, in order with
the listener events, with the GIL held, exactly once, when every shard has answered or failed;
a failure is reported first by one level-3 on_log, as for sql_insert. Raises TypeError when
on_done is not callable.)doc")
        .def(
            "sql_replace",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle table, const std::string& suffix,
               py::handle table_name) {
                check_table_name_use(table, table_name, "sql_replace");
                Table t = to_table(table, table_name, "sql_replace");
                c.blocking<std::monostate>(
                    "sql_replace()",
                    [&](Client& client) { client.sql_replace(cluster_name, std::move(t), suffix); },
                    [&](Client& client, const Done& done) {
                        client.sql_replace_async(cluster_name, std::move(t), suffix, finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("suffix") = "",
            py::arg("table_name") = py::none(),
            R"doc(Replaces the contents of a database table with `table` (given as for sql_insert).

Creates the table when no shard knows it (CREATE ... USE<suffix> InitialCapacity=n), else
empties it (DELETE), then inserts the rows. A suffix that is not empty brings its own leading
space. Blocks, with the GIL released, for all three steps, together within the deadline sql
has (Ctrl-C and close() end the wait, the steps going on). A failure of any step on any shard
gives one level-3 on_log, as for sql_insert.)doc")
        .def(
            "sql_replace_async",
            [](py::object self, const std::string& cluster_name, py::handle table, const std::string& suffix,
               py::handle table_name, py::handle on_done) {
                auto& c = self.cast<PyTyxClient&>();
                check_table_name_use(table, table_name, "sql_replace_async");
                Table t = to_table(table, table_name, "sql_replace_async");
                if (on_done.is_none()) {
                    c.call([&](Client& client) {
                        client.sql_replace_async(cluster_name, std::move(t), suffix);
                    });
                    return;
                }
                auto done = python_done_callback<>(c.core(), cluster_name, callable_ref(on_done, "on_done"),
                                                   "sql_replace_async on_done");
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    client.sql_replace_async(cluster_name, std::move(t), suffix, std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("suffix") = "",
            py::arg("table_name") = py::none(), py::kw_only(), py::arg("on_done") = py::none(),
            R"doc(As sql_replace without waiting for the insert.

Without on_done it blocks (with the GIL released) for the first step only, creating or emptying
the table, within the deadline sql has; the insert then goes on in the background, and a
failure of any step gives one level-3 on_log. With on_done (keyword only) it blocks for nothing:
the table is converted and copied, every step runs in the background, and on_done() runs once
all of them have finished or failed, after the failure's level-3 on_log; it runs as
add_cluster_async says. Raises TypeError when on_done is not callable.)doc");
}

}  // namespace tyx::python
