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
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <pybind11/eval.h>
#include <pybind11/functional.h>

#include <tyx/tyx.hpp>

#include "bindings.hpp"
#include "py_support.hpp"
#include "values.hpp"

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
        d["counters"] = counters_dict(s);
        sessions.append(d);
    }
    py::dict notifications;
    notifications["queued"] = health.notifications.queued;
    notifications["delivered"] = health.notifications.delivered;
    notifications["longest_wait_us"] = health.notifications.longest_wait.count();
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

    ListenerAdapter(std::shared_ptr<ClientCore> core, std::shared_ptr<PyRef> listener,
                    std::array<bool, 10> overridden)
        : core_(std::move(core)), listener_(std::move(listener)), overridden_(overridden) {}

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
        dispatch(kUpdate, name, [&] {
            py::list names;
            for (const auto& n : u.field_names) names.append(to_str(n));
            py::list values;
            for (const auto& v : u.row_data) values.append(from_field_value(v));
            py::object update = py::reinterpret_borrow<py::object>(update_class)(
                u.seqnum, u.action, u.id, to_str(u.table_name), to_str(u.object_id), names, values);
            return py::make_tuple(update);
        });
    }
    void on_log(Client&, std::string_view name, std::uint8_t level, std::string_view message) override {
        dispatch(kLog, name, [&] { return py::make_tuple(level, to_str(message)); });
    }
    void on_session_state(Client&, const SessionStateEvent& e) override {
        const std::string name = e.cluster + "-" + std::string(e.kind == SessionKind::database ? "jdbc" : to_string(e.kind));
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

    std::shared_ptr<ClientCore> core_;
    std::shared_ptr<PyRef> listener_;
    std::array<bool, 10> overridden_;
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
          rows_(from.row_count()) {}

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
    PyTyxClient() : client_(new Client(), destroy_client), core_(std::make_shared<ClientCore>()) {
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
    bool closed() const { return !client_; }

    // Remembers the Python object, handed to callbacks as their `client` argument.
    void bind_self(py::handle self) {
        if (client_) core_->self = self.ptr();
    }

    void close() {
        live_clients.erase(this);
        if (!client_) return;
        core_->self = nullptr;
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

private:
    std::shared_ptr<Client> client_;
    std::shared_ptr<ClientCore> core_;
};

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

std::shared_ptr<PyRef> callable_ref(py::handle fn, const char* what) {
    if (!PyCallable_Check(fn.ptr()))
        throw py::type_error(std::string(what) + " must be callable, not '" + type_name(fn) + "'");
    return std::make_shared<PyRef>(py::reinterpret_borrow<py::object>(fn));
}

// A callback of the library with no arguments of its own (sql_insert_async's on_done).
std::function<void()> python_done_callback(const std::shared_ptr<ClientCore>& core, std::string cluster_name,
                                           std::shared_ptr<PyRef> fn) {
    return [core, cluster_name = std::move(cluster_name), fn] {
        if (interpreter_stopping()) return;
        mark_library_thread();
        try {
            py::gil_scoped_acquire gil;
            try {
                fn->get()();
            } catch (py::error_already_set& error) {
                report_callback_error(*core, cluster_name, "sql_insert_async on_done", error);
            }
        } catch (const std::exception& error) {
            report_cpp_error("sql_insert_async on_done", error);
        }
    };
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

const char* const kTyxClientDoc = R"doc(A client of one or more clusters, over the library's Client.

Every operation may be called from any Python thread and from listener callbacks. Blocking
operations (add_cluster, remove_cluster, subscribe and unsubscribe with wait=True, sql,
get_table_schema, sql_insert, sql_replace and the first step of sql_replace_async) release the
GIL while they wait. Listener events, sql_async callbacks and on_done callbacks run on the
library's notification thread, one at a time, with the GIL held.

close() (or leaving a `with` block) stops every cluster, delivers the pending events and joins the
library's threads; events delivered while closing receive None as their `client`. Operations on a
closed client raise RuntimeError.)doc";

}  // namespace

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
    """Base class of listeners: subclass it and override the events you need.

    Every event runs on the library's notification thread, one at a time, with the GIL held,
    and receives the TyxClient (None while it is closing) and the name of the cluster or session
    first ("<cluster>-relay", "-center" or "-jdbc" for a protocol session). An exception raised
    here is printed with its traceback to sys.stderr and reported to every listener of the client
    as on_log(client, cluster_name, 3, "Python callback <event> raised <Type>: <text>"); the
    notification thread goes on. Events are looked up when the listener is added.
    """

    def on_connect(self, client, cluster_name):
        pass

    def on_disconnect(self, client, cluster_name):
        pass

    def on_logged_in(self, client, cluster_name):
        pass

    def on_message_sent(self, client, cluster_name, message):
        pass

    def on_message_received(self, client, cluster_name, now, seqnum, status, message):
        pass

    def on_command(self, client, cluster_name, request_id, cmd, user_name, object_type, object_id, params):
        pass

    def on_subscribe(self, client, cluster_name, tables):
        pass

    def on_update(self, client, cluster_name, update):
        pass

    def on_log(self, client, cluster_name, level, message):
        pass

    def on_session_state(self, client, cluster_name, event):
        """A session changed state; `event` is a dict: cluster, kind, shard, endpoint (host, port,
        failover), state, cause, reason, attempt, pause_ms, repeated."""
        pass


class Update:
    """One center row change: action 1 added, 2 updated, 3 removed; `row` maps field names to values."""

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

    py::class_<CommandDefinition>(m, "CommandDefinition",
                                  "A relay command users can invoke; see register_command.")
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
             py::arg("permission_level") = 0, py::arg("priority") = 0)
        .def_readwrite("command_id", &CommandDefinition::command_id)
        .def_readwrite("name", &CommandDefinition::name)
        .def_readwrite("where_clause", &CommandDefinition::where_clause)
        .def_readwrite("help", &CommandDefinition::help)
        .def_readwrite("arguments_json", &CommandDefinition::arguments_json)
        .def_readwrite("enabled_expression", &CommandDefinition::enabled_expression)
        .def_readwrite("style", &CommandDefinition::style)
        .def_readwrite("select_mode", &CommandDefinition::select_mode)
        .def_readwrite("fields", &CommandDefinition::fields)
        .def_readwrite("filter_clause", &CommandDefinition::filter_clause)
        .def_readwrite("conditions", &CommandDefinition::conditions)
        .def_readwrite("script", &CommandDefinition::script)
        .def_readwrite("permission_level", &CommandDefinition::permission_level)
        .def_readwrite("priority", &CommandDefinition::priority);

    py::class_<CenterSubscription>(m, "CenterSubscription",
                                   "One table to subscribe to, with its two lists and flag.")
        .def(py::init([](std::string table_name, std::vector<std::string> first_list,
                         std::vector<std::string> second_list, bool flag) {
                 return CenterSubscription{std::move(table_name), std::move(first_list),
                                           std::move(second_list), flag};
             }),
             py::arg("table_name"), py::arg("first_list") = std::vector<std::string>{},
             py::arg("second_list") = std::vector<std::string>{}, py::arg("flag") = false)
        .def_readwrite("table_name", &CenterSubscription::table_name)
        .def_readwrite("first_list", &CenterSubscription::first_list)
        .def_readwrite("second_list", &CenterSubscription::second_list)
        .def_readwrite("flag", &CenterSubscription::flag);

    py::class_<CenterColumnSchema>(m, "CenterColumnSchema")
        .def_readonly("name", &CenterColumnSchema::name)
        .def_readonly("type", &CenterColumnSchema::type)
        .def_readonly("flags", &CenterColumnSchema::flags)
        .def("__repr__", [](const CenterColumnSchema& c) {
            return "CenterColumnSchema(" + py::repr(py::str(c.name)).cast<std::string>() +
                   ", type=" + std::to_string(c.type) + ", flags=" + std::to_string(c.flags) + ")";
        });
    py::class_<CenterTableSchema>(m, "CenterTableSchema")
        .def_readonly("kind", &CenterTableSchema::kind)
        .def_readonly("columns", &CenterTableSchema::columns);

    py::class_<TableAccessor>(m, "TableAccessor",
                              R"doc(A column-oriented table with a row cursor: a query result or a Table.

to_numpy() and to_pandas() convert every column (see the module documentation for the dtypes);
row() gives the cursor's row as a dict. The reading loop is
    while result.cursor_advance(): print(result.row()))doc")
        .def("table_name", &TableAccessor::table_name)
        .def("column_names", &TableAccessor::column_names)
        .def(
            "column_types", [](const TableAccessor& a) { return codes_of(a); },
            "The database type code of each column (empty when unknown).")
        .def("has_result_set", &TableAccessor::has_result_set)
        .def("error_message", &TableAccessor::error_message)
        .def("affected_rows", &TableAccessor::affected_rows)
        .def("row_count", &TableAccessor::row_count)
        .def("cursor_position", &TableAccessor::cursor_position)
        .def(
            "cursor_advance",
            [](TableAccessor& a, std::optional<std::int64_t> n) {
                return n ? a.cursor_advance(*n) : a.cursor_advance();
            },
            py::arg("n") = py::none())
        .def("cursor_rewind", &TableAccessor::cursor_rewind)
        .def("cursor_move_to", &TableAccessor::cursor_move_to, py::arg("i"))
        .def("cursor_move_by", &TableAccessor::cursor_move_by, py::arg("n"))
        .def("cursor_move_to_last", &TableAccessor::cursor_move_to_last)
        .def("cursor_retreat", &TableAccessor::cursor_retreat, py::arg("n"))
        .def("cursor_eof", &TableAccessor::cursor_eof)
        .def("cursor_row_number", &TableAccessor::cursor_row_number)
        .def(
            "columns",
            [](const TableAccessor& a) {
                const auto codes = codes_of(a);
                py::list out;
                for (std::size_t i = 0; i < a.columns().size(); ++i)
                    out.append(column_to_numpy(a.columns()[i], i < codes.size() ? codes[i] : -1));
                return out;
            },
            "Every column as a numpy array, in column order.")
        .def(
            "to_numpy", [](const TableAccessor& a) { return accessor_to_dict(a, codes_of(a)); },
            "The columns as a dict of numpy arrays (a repeated name gets '.1', '.2', ... appended).")
        .def(
            "to_pandas", [](const TableAccessor& a) { return accessor_to_pandas(a, codes_of(a)); },
            "The columns as a pandas DataFrame; columns shorter than the longest are padded with None.")
        .def(
            "row",
            [](const TableAccessor& a, std::optional<std::int64_t> i) {
                return accessor_row(a, codes_of(a), i ? *i : a.cursor_position());
            },
            py::arg("i") = py::none(), "The values of row i (default: the cursor's row) by column name.")
        .def(
            "print", [](const TableAccessor& a) { return accessor_text(a); }, "The table as text.")
        .def("__str__", [](const TableAccessor& a) { return accessor_text(a); })
        .def("__len__", [](const TableAccessor& a) { return std::max<std::int64_t>(a.row_count(), 0); });

    py::class_<Table, TableAccessor>(m, "Table",
                                     R"doc(A table built column by column, for sql_insert and sql_replace.

add_column takes a numpy array, a pandas Series or a sequence; the column type follows the dtype
(see the module documentation). Table.from_pandas and Table.from_dict build a whole table.)doc")
        .def(py::init<std::string>(), py::arg("name"))
        .def(
            "add_column",
            [](Table& t, const std::string& name, py::handle values) -> Table& {
                add_python_column(t, name, values);
                return t;
            },
            py::arg("name"), py::arg("values"), py::return_value_policy::reference_internal)
        .def(
            "add_column_impl",
            [](Table& t, const std::string& name, std::uint8_t type_code, py::handle values,
               std::int32_t row_count) {
                Table scratch(name);
                add_python_column(scratch, name, values);
                t.add_column_impl(name, type_code, scratch.columns().front(), row_count);
            },
            py::arg("name"), py::arg("type_code"), py::arg("values"), py::arg("row_count"),
            "Appends a column with the given type code and row count, unchecked.")
        .def("column_row_counts", &Table::column_row_counts)
        .def_static(
            "from_pandas",
            [](const std::string& name, py::handle frame) {
                return to_table(frame, py::str(name), "from_pandas");
            },
            py::arg("name"), py::arg("frame"))
        .def_static(
            "from_dict",
            [](const std::string& name, py::handle columns) {
                return to_table(columns, py::str(name), "from_dict");
            },
            py::arg("name"), py::arg("columns"));

    py::class_<PyTyxClient>(m, "TyxClient", kTyxClientDoc)
        .def(py::init<>())
        .def("close", &PyTyxClient::close, "Stops every cluster and joins the library's threads.")
        .def_property_readonly("closed", &PyTyxClient::closed)
        .def("__enter__", [](py::object self) { return self; })
        .def("__exit__",
             [](PyTyxClient& c, py::args) {
                 c.close();
                 return false;
             })
        .def(
            "add_cluster",
            [](PyTyxClient& c, const Cluster& cluster, bool wait) {
                Cluster copy = cluster;
                c.call([&](Client& client) { client.add_cluster(copy, wait); });
            },
            py::arg("cluster"), py::arg("wait") = true)
        .def(
            "remove_cluster",
            [](PyTyxClient& c, const std::string& name, bool wait) {
                c.call([&](Client& client) { client.remove_cluster(name, wait); });
            },
            py::arg("cluster_name"), py::arg("wait") = true)
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
                auto ref = std::make_shared<PyRef>(listener);
                c.core()->listeners.push_back(ref);
                auto adapter = std::make_shared<ListenerAdapter>(c.core(), ref, overridden);
                c.call([&](Client& client) { client.listener_add(adapter); });
            },
            py::arg("listener"),
            "Registers a Listener until the client is closed; the same listener added twice receives every "
            "event twice.")
        .def(
            "health",
            [](PyTyxClient& c) {
                Health health;
                c.call([&](Client& client) { health = client.health(); });
                return health_dict(health);
            },
            "What every session is doing and has counted, as nested dicts: {'sessions': [{'cluster', 'kind', "
            "'shard', 'state', 'since', 'endpoint', 'connection_attempts', 'reconnections', 'last_error', "
            "'counters'}, ...], 'notifications': {'queued', 'delivered', 'longest_wait_us'}}. Never waits for "
            "the network.")
        .def(
            "publish_object",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& object_type,
               const std::string& object_id, py::handle fields, py::handle values, std::int64_t seqnum,
               std::int64_t expires_on_ms) {
                std::vector<std::string> names;
                std::vector<FieldValue> field_values;
                to_fields(fields, values, names, field_values);
                c.call([&](Client& client) {
                    client.publish_object(cluster_name, object_type, object_id, names, field_values, seqnum,
                                          expires_on_ms);
                });
            },
            py::arg("cluster_name"), py::arg("object_type"), py::arg("object_id"),
            py::arg("fields") = py::none(), py::arg("values") = py::none(), py::arg("seqnum") = 0,
            py::arg("expires_on_ms") = 0,
            "Publishes an object: `fields` a dict of names to values, or a list of names with `values`.")
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
            "The exact text publish_object would send (bytes that are not UTF-8 as surrogate escapes).")
        .def(
            "publish_raw",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& text) {
                c.call([&](Client& client) { client.publish_raw(cluster_name, text); });
            },
            py::arg("cluster_name"), py::arg("text"),
            "Sends `text` (str or bytes) unchanged; no line feed is added.")
        .def(
            "remove_object",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& object_id,
               const std::string& object_type, std::int64_t seqnum) {
                c.call([&](Client& client) {
                    client.remove_object(cluster_name, object_id, object_type, seqnum);
                });
            },
            py::arg("cluster_name"), py::arg("object_id"), py::arg("object_type"), py::arg("seqnum") = 0,
            "Removes an object. Note the order: identifier, then type.")
        .def(
            "register_command",
            [](PyTyxClient& c, const std::string& cluster_name, const CommandDefinition& command) {
                CommandDefinition copy = command;
                c.call([&](Client& client) { client.register_command(cluster_name, copy); });
            },
            py::arg("cluster_name"), py::arg("command"))
        .def(
            "send_command_response",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& request_id,
               std::int32_t status, const std::string& message, const std::string& script) {
                c.call([&](Client& client) {
                    client.send_command_response(cluster_name, request_id, status, message, script);
                });
            },
            py::arg("cluster_name"), py::arg("request_id"), py::arg("status"), py::arg("message"),
            py::arg("script") = "")
        .def(
            "send_command_help",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& request_id,
               const std::string& help_text) {
                c.call(
                    [&](Client& client) { client.send_command_help(cluster_name, request_id, help_text); });
            },
            py::arg("cluster_name"), py::arg("request_id"), py::arg("help_text"))
        .def(
            "pause_commands",
            [](PyTyxClient& c, const std::string& cluster_name, std::int32_t delay_ms) {
                c.call([&](Client& client) { client.pause_commands(cluster_name, delay_ms); });
            },
            py::arg("cluster_name"), py::arg("delay_ms"))
        .def(
            "subscribe",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle tables, bool wait) {
                TableList list = table_list(tables, "subscribe", true);
                c.call([&](Client& client) {
                    if (!list.subscriptions.empty())
                        client.subscribe(cluster_name, std::move(list.subscriptions), wait);
                    else
                        client.subscribe(cluster_name, std::move(list.names), wait);
                });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("wait") = true,
            "Subscribes to tables (names or CenterSubscription records): each table's snapshot arrives as\n"
            "on_update events, then every later change.")
        .def(
            "unsubscribe",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle tables, bool wait) {
                TableList list = table_list(tables, "unsubscribe", false);
                c.call(
                    [&](Client& client) { client.unsubscribe(cluster_name, std::move(list.names), wait); });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("wait") = true)
        .def(
            "get_table_schema",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& table_name) {
                return c.call(
                    [&](Client& client) { return client.get_table_schema(cluster_name, table_name); });
            },
            py::arg("cluster_name"), py::arg("table_name"),
            "The table's schema from the centers, or None. Blocks.")
        .def(
            "sql",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& query) {
                return c.call([&](Client& client) { return client.sql(cluster_name, query); });
            },
            py::arg("cluster_name"), py::arg("query"),
            "Runs `query` on every database shard and returns one TableAccessor over all results. Blocks.")
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
            "As sql, without blocking: callback(result) runs on the notification thread.")
        .def(
            "sql_insert",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle table, py::handle table_name) {
                check_table_name_use(table, table_name, "sql_insert");
                Table t = to_table(table, table_name, "sql_insert");
                c.call([&](Client& client) { client.sql_insert(cluster_name, std::move(t)); });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("table_name") = py::none(),
            "Uploads a Table, a DataFrame or a dict of arrays (these two with table_name=) with one bulk\n"
            "insert per database shard. Blocks.")
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
                auto done = python_done_callback(c.core(), cluster_name, callable_ref(on_done, "on_done"));
                c.client();
                c.bind_self(self);
                c.call([&](Client& client) {
                    client.sql_insert_async(cluster_name, std::move(t), std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("on_done") = py::none(),
            py::arg("table_name") = py::none(),
            "As sql_insert without blocking; on_done() runs on the notification thread once every shard "
            "answered.")
        .def(
            "sql_replace",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle table, const std::string& suffix,
               py::handle table_name) {
                check_table_name_use(table, table_name, "sql_replace");
                Table t = to_table(table, table_name, "sql_replace");
                c.call([&](Client& client) { client.sql_replace(cluster_name, std::move(t), suffix); });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("suffix") = "",
            py::arg("table_name") = py::none(),
            "Creates the table when no shard knows it (CREATE ... USE<suffix>), else empties it, then "
            "inserts\n"
            "the rows. A suffix that is not empty brings its own leading space. Blocks.")
        .def(
            "sql_replace_async",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle table, const std::string& suffix,
               py::handle table_name) {
                check_table_name_use(table, table_name, "sql_replace_async");
                Table t = to_table(table, table_name, "sql_replace_async");
                c.call([&](Client& client) { client.sql_replace_async(cluster_name, std::move(t), suffix); });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("suffix") = "",
            py::arg("table_name") = py::none(), "As sql_replace; blocks for the create-or-empty step only.");
}

}  // namespace tyx::python
