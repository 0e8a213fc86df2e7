// TyxClient.live_table and LiveTable. Each Client gets one listener (LiveTableHub) that routes
// center events to the states of its live tables; the hub and the states run on the
// notification thread without the GIL. Python threads only take a state's lock to copy it.
#include "live_table.hpp"

#include "bindings.hpp"  // ahead of any container conversion

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <utility>

#include "py_support.hpp"
#include "updates.hpp"
#include "waits.hpp"

namespace tyx::python {

// ---- RowSet -----------------------------------------------------------------------------------

std::string row_key(const Update& update) {
    return update.object_id.empty() ? std::to_string(update.id) : update.object_id;
}

void RowSet::apply(const Update& update) {
    switch (update.action) {
        case 1:
        case 2:
            merge(update);
            break;
        case 3:
            remove(row_key(update));
            break;
        default:
            break;
    }
}

const std::vector<std::size_t>& RowSet::columns_of(const std::vector<std::string>& names) {
    if (names == last_names_) return last_columns_;
    last_names_ = names;
    last_columns_.clear();
    for (const auto& name : names) {
        auto [it, added] = columns_.try_emplace(name, names_.size());
        if (added) {
            names_.push_back(name);
            cells_.emplace_back(keys_.size());
        }
        last_columns_.push_back(it->second);
    }
    return last_columns_;
}

void RowSet::merge(const Update& update) {
    std::string key = row_key(update);
    auto [it, added] = slots_.try_emplace(key, keys_.size());
    if (added) {
        keys_.push_back(std::move(key));
        for (auto& column : cells_) column.emplace_back();
    }
    const std::size_t slot = it->second;
    const std::vector<std::size_t>& columns = columns_of(update.field_names);
    const std::size_t n = std::min(columns.size(), update.row_data.size());
    for (std::size_t i = 0; i < n; ++i) cells_[columns[i]][slot] = update.row_data[i];
}

void RowSet::remove(const std::string& key) {
    auto it = slots_.find(key);
    if (it == slots_.end()) return;
    // The last row moves into the hole, so that every column stays dense.
    const std::size_t slot = it->second;
    const std::size_t last = keys_.size() - 1;
    slots_.erase(it);
    if (slot != last) {
        keys_[slot] = std::move(keys_[last]);
        slots_[keys_[slot]] = slot;
        for (auto& column : cells_) column[slot] = std::move(column[last]);
    }
    keys_.pop_back();
    for (auto& column : cells_) column.pop_back();
}

// ---- LiveTableState ---------------------------------------------------------------------------

void LiveTableState::on_update(const Update& update) {
    std::lock_guard lock(mutex_);
    (pending_ ? incoming_ : rows_).apply(update);
    ++version_;
}

void LiveTableState::on_snapshot_answered() {
    {
        std::lock_guard lock(mutex_);
        if (pending_) {
            rows_ = std::move(incoming_);
            incoming_.clear();
            pending_ = false;
        }
        answered_ = true;
        ++changes_;
    }
    changed_.notify_all();
}

void LiveTableState::on_batch_end() {
    {
        std::lock_guard lock(mutex_);
        if (pending_) incoming_.clear();
        ++changes_;
    }
    changed_.notify_all();
}

void LiveTableState::on_disconnect() {
    std::lock_guard lock(mutex_);
    pending_ = true;
    incoming_.clear();
}

void LiveTableState::copy_from(LiveTableState& other) {
    std::scoped_lock lock(mutex_, other.mutex_);
    rows_ = other.rows_;
    incoming_ = other.incoming_;
    pending_ = other.pending_;
    answered_ = other.answered_;
}

LiveTableState::Copy LiveTableState::copy() {
    std::lock_guard lock(mutex_);
    return Copy{rows_.keys(), rows_.names(), rows_.cells()};
}

std::size_t LiveTableState::size() {
    std::lock_guard lock(mutex_);
    return rows_.size();
}

std::uint64_t LiveTableState::version() {
    std::lock_guard lock(mutex_);
    return version_;
}

std::uint64_t LiveTableState::changes() {
    std::lock_guard lock(mutex_);
    return changes_;
}

template <typename Pred>
LiveTableState::Woken LiveTableState::wait_until(std::unique_lock<std::mutex>& lock,
                                                 Clock::time_point deadline, Pred pred) {
    changed_.wait_until(lock, deadline, [&] { return pred() || released_; });
    if (pred()) return Woken::event;
    return released_ ? Woken::released : Woken::deadline;
}

LiveTableState::Woken LiveTableState::wait_answered(Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return wait_until(lock, deadline, [&] { return answered_; });
}

LiveTableState::Woken LiveTableState::wait_change(std::uint64_t seen, Clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    return wait_until(lock, deadline, [&] { return changes_ != seen; });
}

void LiveTableState::release(const std::string& owner) {
    {
        std::lock_guard lock(mutex_);
        if (released_) return;
        released_ = owner;
    }
    changed_.notify_all();
}

std::string LiveTableState::released_by() {
    std::lock_guard lock(mutex_);
    return released_.value_or(std::string());
}

// ---- Rows as a DataFrame ----------------------------------------------------------------------

namespace {

py::object string_index(const std::vector<std::string>& keys) {
    py::list values(keys.size());
    for (std::size_t i = 0; i < keys.size(); ++i)
        PyList_SET_ITEM(values.ptr(), static_cast<py::ssize_t>(i), to_str(keys[i]).release().ptr());
    return py::module_::import("pandas").attr("Index")(
        py::module_::import("numpy").attr("array")(values, py::arg("dtype") = "object"),
        py::arg("name") = "id");
}

}  // namespace


// ---- The hub ----------------------------------------------------------------------------------

namespace {

// The live tables of one Client, by cluster and table. Events run on the notification thread;
// open and close on Python threads. The mutex guards the registry and is held while a state is
// fed, so a state taken out by close gets nothing more.
class LiveTableHub final : public ClientListener {
public:
    // Registers `state` for the table; true when it is the table's first (the caller then
    // subscribes). A later one starts as a copy of the first.
    bool open(const std::string& cluster, const std::string& table, const std::shared_ptr<LiveTableState>& state) {
        std::lock_guard lock(mutex_);
        auto& states = tables_[cluster][table];
        if (!states.empty()) state->copy_from(*states.front());
        states.push_back(state);
        return states.size() == 1;
    }
    // Takes `state` out; true when the table has no live table left (the caller unsubscribes).
    bool close(const std::string& cluster, const std::string& table, const LiveTableState* state) {
        std::lock_guard lock(mutex_);
        auto c = tables_.find(cluster);
        if (c == tables_.end()) return false;
        auto t = c->second.find(table);
        if (t == c->second.end()) return false;
        std::erase_if(t->second, [&](const auto& s) { return s.get() == state; });
        if (!t->second.empty()) return false;
        c->second.erase(t);
        if (c->second.empty()) tables_.erase(c);
        return true;
    }

    void on_update(Client&, std::string_view name, const CenterIncrementalUpdate& update) override {
        std::lock_guard lock(mutex_);
        Tables* tables = center_tables(name);
        if (tables == nullptr) return;
        auto t = tables->find(update.table_name);
        if (t == tables->end()) return;
        for (const auto& state : t->second) state->on_update(update);
    }
    void on_snapshot_answered(Client&, std::string_view name, const std::vector<std::string>& answered) override {
        std::lock_guard lock(mutex_);
        Tables* tables = center_tables(name);
        if (tables == nullptr) return;
        for (const auto& table : answered) {
            auto t = tables->find(table);
            if (t == tables->end()) continue;
            for (const auto& state : t->second) state->on_snapshot_answered();
        }
    }
    void on_update_batch_end(Client&, std::string_view name) override {
        each_state(name, [](LiveTableState& s) { s.on_batch_end(); });
    }
    void on_disconnect(Client&, std::string_view name) override {
        each_state(name, [](LiveTableState& s) { s.on_disconnect(); });
    }

private:
    using States = std::vector<std::shared_ptr<LiveTableState>>;
    using Tables = std::map<std::string, States, std::less<>>;

    // The tables of the cluster whose center session is `name` ("<cluster>-center").
    Tables* center_tables(std::string_view name) {
        constexpr std::string_view kSuffix = "-center";
        if (!name.ends_with(kSuffix)) return nullptr;
        auto c = tables_.find(name.substr(0, name.size() - kSuffix.size()));
        return c == tables_.end() ? nullptr : &c->second;
    }
    template <typename F>
    void each_state(std::string_view name, F&& f) {
        std::lock_guard lock(mutex_);
        Tables* tables = center_tables(name);
        if (tables == nullptr) return;
        for (auto& [table, states] : *tables)
            for (const auto& state : states) f(*state);
    }

    std::mutex mutex_;
    std::map<std::string, Tables, std::less<>> tables_;
};

// The hub of each Client that has one; GIL.
struct HubEntry {
    std::weak_ptr<Client> client;
    std::weak_ptr<LiveTableHub> hub;
};
std::vector<HubEntry> hubs;

std::shared_ptr<LiveTableHub> hub_of(const std::shared_ptr<Client>& client) {
    std::erase_if(hubs, [](const HubEntry& e) { return e.client.expired() || e.hub.expired(); });
    for (const auto& e : hubs)
        if (e.client.lock() == client) return e.hub.lock();
    auto hub = std::make_shared<LiveTableHub>();
    {
        py::gil_scoped_release nogil;
        client->listener_add(hub);
    }
    hubs.push_back({client, hub});
    return hub;
}

std::optional<LiveTableState::Clock::time_point> deadline_after(std::optional<double> timeout) {
    if (!timeout) return std::nullopt;
    // Far enough for any wait, near enough not to overflow the clock.
    const double seconds = std::min(std::max(0.0, *timeout), 1e9);
    return LiveTableState::Clock::now() +
           std::chrono::duration_cast<LiveTableState::Clock::duration>(std::chrono::duration<double>(seconds));
}

// Releases a table's waits when its client is closed.
class ClientCloseWaker final : public Releasable {
public:
    explicit ClientCloseWaker(LiveTableState& state) : state_(state) {}
    void release(const std::string& owner) override { state_.release(owner); }

private:
    LiveTableState& state_;
};

class PyLiveTable {
public:
    PyLiveTable(const std::shared_ptr<Client>& client, std::shared_ptr<WaitBoard> board, std::string cluster,
                std::string table)
        : client_(client),
          board_(std::move(board)),
          hub_(hub_of(client)),
          state_(std::make_shared<LiveTableState>()),
          cluster_(std::move(cluster)),
          table_(std::move(table)) {
        if (!hub_->open(cluster_, table_, state_)) return;
        // Named again even when this client subscribes to it already (with subscribe), so that
        // the center answers with a snapshot this table can start from; when it does not, the
        // unsubscription writes nothing.
        py::gil_scoped_release nogil;
        client->unsubscribe(cluster_, std::vector<std::string>{table_}, false);
        client->subscribe(cluster_, std::vector<std::string>{table_}, false);
    }
    ~PyLiveTable() { close(); }
    PyLiveTable(const PyLiveTable&) = delete;
    PyLiveTable& operator=(const PyLiveTable&) = delete;

    void close() {
        if (closed_) return;
        closed_ = true;
        // Waiters in other threads wake; the rows stay as they are.
        state_->release("the LiveTable");
        if (!hub_->close(cluster_, table_, state_.get())) return;
        if (std::shared_ptr<Client> client = client_.lock()) {
            py::gil_scoped_release nogil;
            client->unsubscribe(cluster_, std::vector<std::string>{table_}, false);
        }
    }

    py::object to_pandas() {
        LiveTableState::Copy copy;
        {
            py::gil_scoped_release nogil;
            copy = state_->copy();
        }
        py::dict columns;
        for (std::size_t c = 0; c < copy.names.size(); ++c) {
            columns[to_str(copy.names[c])] = cells_to_numpy(copy.cells[c]);
            std::vector<FieldValue>().swap(copy.cells[c]);  // freed as soon as converted
        }
        return data_frame(columns, string_index(copy.keys));
    }

    bool wait_for(py::object self, py::object predicate, std::optional<double> timeout) {
        const auto deadline = deadline_after(timeout);
        ClientCloseWaker waker(*state_);
        BoardEntry entry(board_, waker);
        if (!wait_in_looks([&](auto until) { return state_->wait_answered(until); }, deadline)) return false;
        if (predicate.is_none()) return true;
        for (;;) {
            const std::uint64_t seen = state_->changes();
            if (py::bool_(predicate(self))) return true;
            if (!wait_in_looks([&](auto until) { return state_->wait_change(seen, until); }, deadline))
                return false;
        }
    }

    std::size_t size() { return state_->size(); }
    std::uint64_t version() { return state_->version(); }
    bool closed() const { return closed_; }
    const std::string& cluster() const { return cluster_; }
    const std::string& table() const { return table_; }

private:
    // Runs `wait(until)` with the GIL released, in looks of at most kSignalLook between which
    // Python's signal handlers run (GIL held on entry and return). True for the event, false at
    // the deadline; a close raises RuntimeError.
    template <typename Wait>
    bool wait_in_looks(Wait&& wait, std::optional<LiveTableState::Clock::time_point> deadline) {
        for (;;) {
            const auto now = LiveTableState::Clock::now();
            const auto look = now + kSignalLook;
            const auto until = deadline ? std::min(*deadline, look) : look;
            LiveTableState::Woken woken;
            {
                py::gil_scoped_release nogil;
                woken = wait(until);
            }
            if (woken == LiveTableState::Woken::event) return true;
            if (woken == LiveTableState::Woken::released) {
                const std::string owner = state_->released_by();
                throw std::runtime_error(owner + " was closed while " +
                                         (owner == "the LiveTable" ? "wait_for()" : "LiveTable.wait_for()") +
                                         " waited");
            }
            if (deadline && LiveTableState::Clock::now() >= *deadline) return false;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        }
    }

    std::weak_ptr<Client> client_;
    std::shared_ptr<WaitBoard> board_;
    std::shared_ptr<LiveTableHub> hub_;
    std::shared_ptr<LiveTableState> state_;
    std::string cluster_;
    std::string table_;
    bool closed_ = false;
};

// Counts the updates a Client delivers, in C++: the baseline of the Python benchmarks.
class UpdateCounter final : public ClientListener {
public:
    void on_update(Client&, std::string_view, const CenterIncrementalUpdate&) override {
        count.fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<std::uint64_t> count{0};
};

const char* const kLiveTableDoc = R"doc(The rows of one center table, kept up to date in C++ (TyxClient.live_table).

A listener of the client applies every update of the table on the notification thread, without
the GIL: added and updated rows merge their fields into the row of their object id (a row
without one is keyed by its numeric id, in decimal), removed rows are dropped. Until the table's
snapshot answer arrives, and again after every lost center connection, the snapshot's rows are
gathered apart and then replace the rows at once: rows removed while the connection was down
disappear, and no reader sees a snapshot half applied.

to_pandas() gives a consistent copy; len(table) is the number of rows; version counts the
updates applied; wait_for() waits for the snapshot or for a condition. close() (or leaving a
`with` block) stops the updates and unsubscribes the table unless another live table of the
same client still keeps it; the rows stay readable as they were. Every method may be called from
any Python thread.

With several center shards, rows of all shards are kept together, and the snapshot that follows
a reconnection of any shard replaces them all.)doc";

}  // namespace

void bind_live_table(py::module_& m) {
    py::class_<PyLiveTable>(m, "LiveTable", kLiveTableDoc)
        .def("to_pandas", &PyLiveTable::to_pandas,
             R"doc(A DataFrame of the rows as they are now: the index is the object id (named "id"), with
one column per field the table's rows have carried, in the order first seen. Rows are in no
particular order (sort_index() sorts them).

A column whose values all have one wire type gets its dtype (int8 ... int64, uint8 ... uint64,
float32, float64); chars, strings and bytes give object columns (str, bytes). A null value, or
a field a row never carried, is NaN in a float column and None in an object column, and turns an
integer column into float64 (NaN in place of the missing values). A column whose type changes
from row to row is an object column of the values as Listener.on_update gives them.

The rows are copied under the table's lock with the GIL released, then converted: updates go on
meanwhile.)doc")
        .def(
            "wait_for",
            [](py::object self, py::object predicate, std::optional<double> timeout) {
                return self.cast<PyLiveTable&>().wait_for(self, std::move(predicate), timeout);
            },
            py::arg("predicate") = py::none(), py::arg("timeout") = py::none(),
            R"doc(Waits, with the GIL released, for the table's first snapshot answer (an empty table's
included) and, with `predicate`, until predicate(table) holds: it is called with the GIL on the
calling thread once the snapshot is in, then after each batch of updates. `timeout` is in
seconds (None: no limit). Returns True, or False once the timeout passed. An exception raised
by the predicate propagates. Ctrl-C raises KeyboardInterrupt within about 100 ms; close() of
the table from another thread raises RuntimeError ("the LiveTable was closed while wait_for()
waited"), and so does closing its TyxClient, here and in every later wait that would have to
wait.)doc")
        .def("close", &PyLiveTable::close,
             "Stops updating the table and unsubscribes it, unless another live table of the client\n"
             "keeps it. The rows stay readable as they were; threads waiting in wait_for() raise\n"
             "RuntimeError. Idempotent.")
        .def_property_readonly("closed", &PyLiveTable::closed, "True once close() was called.")
        .def_property_readonly("version", &PyLiveTable::version,
                               "The number of updates applied so far (snapshot rows included).")
        .def_property_readonly("cluster_name", &PyLiveTable::cluster, "The table's cluster.")
        .def_property_readonly("table_name", &PyLiveTable::table, "The table's name.")
        .def("__len__", &PyLiveTable::size, "The number of rows.")
        .def(
            "__enter__", [](py::object self) { return self; }, "Returns the table.")
        .def(
            "__exit__",
            [](PyLiveTable& t, py::args) {
                t.close();
                return false;
            },
            "Calls close().")
        .def("__repr__", [](PyLiveTable& t) {
            return "LiveTable(" + py::repr(to_str(t.cluster())).cast<std::string>() + ", " +
                   py::repr(to_str(t.table())).cast<std::string>() + ", rows=" + std::to_string(t.size()) +
                   (t.closed() ? ", closed" : "") + ")";
        });

    py::object client_class = m.attr("TyxClient");
    client_class.attr("live_table") = py::cpp_function(
        [](py::object self, std::string cluster_name, std::string table_name) {
            return std::make_unique<PyLiveTable>(client_of(self), wait_board_of(self),
                                                 std::move(cluster_name), std::move(table_name));
        },
        py::name("live_table"), py::is_method(client_class), py::arg("cluster_name"), py::arg("table_name"),
        R"doc(Subscribes to `table_name` and returns a LiveTable that keeps its rows.

Returns at once; table.wait_for() waits for the snapshot. Live tables of one client share its
notification thread with its listeners, and several may keep the same table. When the client
subscribes to the table already (subscribe), the table is subscribed again so that the center
sends a snapshot: its listeners then receive the snapshot rows once more, as after a
reconnection.)doc");

    py::class_<UpdateCounter, std::shared_ptr<UpdateCounter>>(m, "_UpdateCounter",
                                                               "Counts a client's updates in C++ (benchmarks).")
        .def(py::init([](py::object client) {
                 auto counter = std::make_shared<UpdateCounter>();
                 std::shared_ptr<Client> c = client_of(client);
                 py::gil_scoped_release nogil;
                 c->listener_add(counter);
                 return counter;
             }),
             py::arg("client"), "Registers a counting listener on `client`.")
        .def_property_readonly(
            "count", [](const UpdateCounter& c) { return c.count.load(std::memory_order_relaxed); },
            "The updates counted so far.");
}

}  // namespace tyx::python
