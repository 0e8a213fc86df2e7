// Listener and Update, the Python classes of center events, and TyxClient.listener_add: each
// Python listener is registered with the library through a ListenerAdapter, which calls the
// events it overrides on the notification thread with the GIL held.
#include "client_bindings.hpp"  // ahead of any container conversion

#include <array>
#include <map>

#include <pybind11/eval.h>

#include "updates.hpp"
#include "values.hpp"

namespace tyx::python {

namespace {

// The Python classes defined in Python source at module load.
PyObject* listener_class = nullptr;
PyObject* update_class = nullptr;

// The listener base class and the update record are plain Python classes, so subclasses need no
// special __init__.
const char* const kListenerSource = R"py(
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
)py";

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
    // A Python listener that does not define on_message_sent costs publishers nothing, nor one
    // without on_message_received a copy of each database answer.
    bool hears_message_sent() const override { return overridden_[kMessageSent]; }
    bool hears_message_received() const override { return overridden_[kMessageReceived]; }
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
        dispatch(kUpdate, name, [&] { return py::make_tuple(update_object(update_class, u)); });
    }
    void on_update_batch_end(Client&, std::string_view name) override {
        if (batch_size_ == 0) return;
        if (!interpreter_stopping()) {
            mark_library_thread();
            try {
                py::gil_scoped_acquire gil;
                try {
                    py::object updates;
                    if (batches_ == Batches::pandas)
                        updates = updates_to_pandas(batch_, batch_size_);
                    else
                        updates = update_list(update_class, batch_, batch_size_);
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

    static constexpr std::size_t kKeptRecords = 4096;

    std::shared_ptr<ClientCore> core_;
    std::shared_ptr<PyRef> listener_;
    std::array<bool, 10> overridden_;
    Batches batches_;
    // The current batch's updates (the first batch_size_ records); notification thread only.
    std::vector<CenterIncrementalUpdate> batch_;
    std::size_t batch_size_ = 0;
};

// The events `listener` overrides, by ListenerAdapter::Event.
std::array<bool, 10> overridden_events(py::handle listener) {
    std::array<bool, 10> overridden{};
    py::object base = py::reinterpret_borrow<py::object>(listener_class);
    for (std::size_t i = 0; i < overridden.size(); ++i) {
        py::object method = py::getattr(listener, ListenerAdapter::kNames[i], py::none());
        py::object function = py::getattr(method, "__func__", method);
        overridden[i] = !function.is(base.attr("__dict__")[ListenerAdapter::kNames[i]]);
    }
    return overridden;
}

// How `listener` receives batches: not at all unless it overrides on_updates, then as its
// updates_as says.
ListenerAdapter::Batches batch_form(py::handle listener) {
    py::object base = py::reinterpret_borrow<py::object>(listener_class);
    py::object on_updates = py::getattr(listener, "on_updates", py::none());
    if (py::getattr(on_updates, "__func__", on_updates).is(base.attr("__dict__")["on_updates"]))
        return ListenerAdapter::Batches::none;
    const py::object form = py::getattr(listener, "updates_as", py::none());
    if (form.is_none() || (PyUnicode_Check(form.ptr()) && from_str(form) == "list"))
        return ListenerAdapter::Batches::list;
    if (PyUnicode_Check(form.ptr()) && from_str(form) == "pandas") return ListenerAdapter::Batches::pandas;
    throw py::value_error("listener_add(): updates_as must be \"list\" or \"pandas\", not " +
                          py::repr(form).cast<std::string>());
}

}  // namespace

void bind_listener_classes(py::module_& m) {
    py::dict scope;
    scope["__name__"] = "tyx_client";
    py::exec(kListenerSource, scope);
    m.attr("Listener") = scope["Listener"];
    m.attr("Update") = scope["Update"];
    listener_class = scope["Listener"].ptr();
    update_class = scope["Update"].ptr();
    Py_INCREF(listener_class);  // kept for the life of the process
    Py_INCREF(update_class);
}

void bind_listener_calls(TyxClientClass& cls) {
    cls.def(
        "listener_add",
        [](py::object self, py::object listener) {
            auto& c = self.cast<PyTyxClient&>();
            if (!py::isinstance(listener, listener_class))
                throw py::type_error("listener_add() expects a tyx_client.Listener, not '" +
                                     type_name(listener) + "'");
            c.client();  // refuses a closed client
            c.bind_self(self);
            const std::array<bool, 10> overridden = overridden_events(listener);
            const auto batches = batch_form(listener);
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
ValueError for an updates_as other than "list" or "pandas".)doc");
}

}  // namespace tyx::python
