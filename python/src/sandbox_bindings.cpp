// tyx_client.Sandbox: the loopback relay, center and database servers, started and stopped from
// Python so that code using the module can be tried without a platform. Starting, stopping and
// waiting release the GIL.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>

#include "bindings.hpp"
#include "py_support.hpp"
#include "sandbox.hpp"

namespace tyx::python {

namespace {

py::list str_list(const std::vector<std::string>& lines) {
    py::list out;
    for (const auto& line : lines) out.append(to_str(line));
    return out;
}

// Seconds from Python as the servers' milliseconds: at least 0, and at most a billion seconds, so
// that an unbounded timeout (float("inf")) waits as long as any wait can instead of overflowing
// the conversion and the clock arithmetic behind it.
std::chrono::milliseconds to_ms(double seconds) {
    return std::chrono::milliseconds(
        static_cast<std::int64_t>(std::min(std::max(0.0, seconds), 1e9) * 1000.0));
}

class PySandbox;
std::set<PySandbox*> live_sandboxes;  // GIL

class PySandbox {
public:
    explicit PySandbox(sandbox::SandboxOptions options) : options_(std::move(options)) {
        live_sandboxes.insert(this);
    }
    ~PySandbox() {
        live_sandboxes.erase(this);
        stop();
    }
    PySandbox(const PySandbox&) = delete;
    PySandbox& operator=(const PySandbox&) = delete;

    void start() {
        if (sandbox_) throw std::runtime_error("the sandbox is already running");
        py::gil_scoped_release nogil;
        sandbox_ = std::make_unique<sandbox::Sandbox>(options_);
    }
    void stop() {
        auto running = std::move(sandbox_);
        if (!running) return;
        if (PyGILState_Check()) {
            py::gil_scoped_release nogil;
            running.reset();
        } else {
            running.reset();
        }
    }
    bool running() const { return sandbox_ != nullptr; }
    sandbox::Sandbox& get() const {
        if (!sandbox_) throw std::runtime_error("the sandbox is not running; call start() first");
        return *sandbox_;
    }
    const sandbox::SandboxOptions& options() const { return options_; }

private:
    sandbox::SandboxOptions options_;
    std::unique_ptr<sandbox::Sandbox> sandbox_;
};

sandbox::FaultInjector& injector_of(const PySandbox& s, const std::string& server) {
    auto& box = s.get();
    if (server == "relay") return box.relay().faults();
    if (server == "center") return box.center().faults();
    if (server == "database") return box.database().faults();
    throw py::value_error("server must be \"relay\", \"center\" or \"database\", not \"" + server + "\"");
}

using SandboxClass = py::class_<PySandbox>;

const char* const kSandboxDoc =
    R"doc(A small platform on loopback: a relay, a center and a database server.

Objects published to the relay are kept as rows of tables (one per object type, `id` holding
the identifier) that the center serves to subscribers and the database answers SQL about.
Ports of 0 pick ephemeral ports; read the chosen ones after start(). Use it as a context
manager, or call start() and stop(). The servers run on threads of their own; the calls that
wait (start, stop, the wait_* calls) release the GIL while they do.

    with tyx_client.Sandbox() as sandbox, tyx_client.TyxClient() as client:
        client.add_cluster(sandbox.cluster("demo"))
)doc";

// The constructor, start and stop, and the context manager.
void bind_lifetime(SandboxClass& cls) {
    cls.def(py::init([](std::string host, std::uint16_t relay_port, std::uint16_t center_port,
                        std::uint16_t database_port, std::string sqlite_path, std::optional<std::string> user,
                        std::optional<std::string> password, bool store_publications,
                        std::optional<std::string> certificate_chain_file, std::string private_key_file,
                        std::string private_key_password, std::string client_ca_file, std::string faults,
                        bool relay_counting_only) {
                sandbox::SandboxOptions o;
                o.host = std::move(host);
                o.relay_port = relay_port;
                o.center_port = center_port;
                o.database_port = database_port;
                o.sqlite_path = std::move(sqlite_path);
                o.database_user = std::move(user);
                o.database_password = std::move(password);
                o.store_publications = store_publications;
                o.relay_counting_only = relay_counting_only;
                if (certificate_chain_file)
                    o.tls = sandbox::SandboxTls{*certificate_chain_file, std::move(private_key_file),
                                                std::move(private_key_password), std::move(client_ca_file)};
                o.faults = sandbox::parse_fault_plan(faults);  // std::invalid_argument: ValueError
                return std::make_unique<PySandbox>(std::move(o));
            }),
            py::arg("host") = "127.0.0.1", py::arg("relay_port") = 0, py::arg("center_port") = 0,
            py::arg("database_port") = 0,
            py::arg("sqlite_path") = ":memory:", py::arg("database_user") = py::none(),
            py::arg("database_password") = py::none(), py::arg("store_publications") = true,
            py::arg("certificate_chain_file") = py::none(), py::arg("private_key_file") = "",
            py::arg("private_key_password") = "", py::arg("client_ca_file") = "", py::arg("faults") = "",
            py::arg("relay_counting_only") = false,
            "A stopped sandbox; start() (or entering a `with` block) starts it.\n"
            "host and the three ports: where the servers listen (a port of 0: an ephemeral one).\n"
            "sqlite_path: the SQLite database behind the tables, \":memory:\" or a file path.\n"
            "database_user, database_password: checked at the database login when given.\n"
            "store_publications=False: publications are recorded by the relay but not stored (nor sent by\n"
            "the center).\n"
            "With certificate_chain_file (PEM) and private_key_file (with private_key_password when\n"
            "encrypted), all three servers accept TLS only; with client_ca_file too, they require a client\n"
            "certificate it signed.\n"
            "faults: seeded random faults the servers inject, written as for `tyx sandbox --faults`,\n"
            "e.g. \"seed=7;relay:drop=0.001,stall=3s/200ms;database:delay=0.1/2s\" (ValueError when wrong).\n"
            "relay_counting_only=True: the relay only counts lines and bytes (for benchmarks): nothing is\n"
            "parsed, recorded or stored but each connection's login; wait_for_lines still works.")
        .def("start", &PySandbox::start,
             "Starts the three servers and returns once they listen (the GIL released meanwhile). Raises\n"
             "RuntimeError when the sandbox is running already or a port cannot be bound.")
        .def("stop", &PySandbox::stop,
             "Stops the relay, then the center and the database, and returns once they have stopped (the\n"
             "GIL released meanwhile). Stored rows are lost with a \":memory:\" database. Idempotent;\n"
             "start() may be called again afterwards.")
        .def_property_readonly("running", &PySandbox::running, "True between start() and stop().")
        .def(
            "__enter__",
            [](py::object self) {
                auto& s = self.cast<PySandbox&>();
                if (!s.running()) s.start();
                return self;
            },
            "Starts the sandbox unless it runs already; returns it.")
        .def(
            "__exit__",
            [](PySandbox& s, py::args) {
                s.stop();
                return false;
            },
            "Calls stop() and lets any exception through.");
}

// Where the servers listen, and a Cluster reaching them.
void bind_addresses(SandboxClass& cls) {
    cls.def_property_readonly(
           "host", [](const PySandbox& s) { return s.options().host; }, "The host the servers listen on.")
        .def_property_readonly(
            "relay_port", [](const PySandbox& s) { return s.get().relay_port(); },
            "The relay's port (RuntimeError when not running).")
        .def_property_readonly(
            "center_port", [](const PySandbox& s) { return s.get().center_port(); },
            "The center's port (RuntimeError when not running).")
        .def_property_readonly(
            "database_port", [](const PySandbox& s) { return s.get().database_port(); },
            "The database server's port (RuntimeError when not running).")
        .def(
            "cluster",
            [](const PySandbox& s, const std::string& name, const std::string& login_id,
               std::int32_t options) {
                auto& box = s.get();
                const bool tls = s.options().tls.has_value();
                Cluster cluster(name, s.options().host);
                cluster.publication_config =
                    PublicationConfig(std::to_string(box.relay_port()), tls, login_id, options);
                cluster.subscription_config = SubscriptionConfig(std::to_string(box.center_port()), tls);
                cluster.database_config = DatabaseConfig(std::to_string(box.database_port()), tls,
                                                         s.options().database_user.value_or(""),
                                                         s.options().database_password.value_or(""));
                return cluster;
            },
            py::arg("name") = "sandbox", py::arg("login_id") = "python", py::arg("options") = 0,
            "A Cluster named `name` reaching this sandbox's three servers, one shard each, with the relay\n"
            "login `login_id` and PublicationConfig `options` and the sandbox's database user and password;\n"
            "over TLS when the sandbox uses it (set each shard's ssl options for key pinning or a client\n"
            "certificate). Raises RuntimeError when the sandbox is not running.");
}

// Waits for what the servers have read.
void bind_waits(SandboxClass& cls) {
    cls.def(
           "wait_until_stored",
           [](PySandbox& s, double timeout) {
               auto& box = s.get();
               py::gil_scoped_release nogil;
               return box.wait_until_stored(to_ms(timeout));
           },
           py::arg("timeout") = 10.0,
           "Blocks (the GIL released) until every object and removal the relay has read so far is stored,\n"
           "at most `timeout` seconds; False on timeout.")
        .def(
            "wait_for_objects",
            [](PySandbox& s, std::uint64_t n, double timeout) {
                auto& box = s.get();
                py::gil_scoped_release nogil;
                return box.relay().wait_for_objects(n, to_ms(timeout));
            },
            py::arg("n"), py::arg("timeout") = 10.0,
            "Blocks (the GIL released) until the relay has read `n` objects since the start (or\n"
            "relay_clear), at most `timeout` seconds; False on timeout.")
        .def(
            "wait_for_logins",
            [](PySandbox& s, std::uint64_t n, double timeout) {
                auto& box = s.get();
                py::gil_scoped_release nogil;
                return box.relay().wait_for_logins(n, to_ms(timeout));
            },
            py::arg("n"), py::arg("timeout") = 10.0,
            "Blocks (the GIL released) until the relay has seen `n` logins since the start (or\n"
            "relay_clear), at most `timeout` seconds; False on timeout.")
        .def(
            "wait_for_lines",
            [](PySandbox& s, std::uint64_t n, double timeout) {
                auto& box = s.get();
                py::gil_scoped_release nogil;
                return box.relay().wait_for_lines(n, to_ms(timeout));
            },
            py::arg("n"), py::arg("timeout") = 10.0,
            "Blocks (the GIL released) until the relay has read `n` lines (logins and commands included)\n"
            "since the start (or relay_clear), at most `timeout` seconds; False on timeout.");
}

// What the relay has read.
void bind_relay_records(SandboxClass& cls) {
    cls.def(
           "relay_publications",
           [](PySandbox& s) {
               auto& box = s.get();
               std::vector<std::string> lines;
               {
                   py::gil_scoped_release nogil;
                   box.relay().inspect([&](const sandbox::RelayState& state) {
                       for (const auto& p : state.publications) lines.push_back(p.line);
                       return 0;
                   });
               }
               return str_list(lines);
           },
           "The lines (list of str) of the objects and removals the relay has read, in order, without line\n"
           "feed: the first 100,000 while publications are stored (the store keeps everything).")
        .def(
            "relay_lines",
            [](PySandbox& s) {
                auto& box = s.get();
                std::vector<std::string> lines;
                {
                    py::gil_scoped_release nogil;
                    box.relay().inspect([&](const sandbox::RelayState& state) {
                        for (const auto& [id, connection] : state.connections)
                            lines.insert(lines.end(), connection.lines.begin(), connection.lines.end());
                        return 0;
                    });
                }
                return str_list(lines);
            },
            "The lines (list of str) the relay has read (logins and commands included), connection by\n"
            "connection: the first 100,000 while publications are stored.")
        .def(
            "relay_clear",
            [](PySandbox& s) {
                auto& box = s.get();
                py::gil_scoped_release nogil;
                box.relay().clear();
            },
            "Forgets the relay's recorded publications and counts (stored rows stay).");
}

// Faults injected on purpose.
void bind_faults(SandboxClass& cls) {
    cls.def(
           "fault_counts",
           [](const PySandbox& s) {
               auto& box = s.get();
               py::dict all;
               const std::pair<const char*, sandbox::FaultCounts> kinds[] = {
                   {"relay", box.relay().faults().counts()},
                   {"center", box.center().faults().counts()},
                   {"database", box.database().faults().counts()}};
               for (const auto& [name, c] : kinds) {
                   py::dict d;
                   d["dropped"] = c.dropped;
                   d["stalls"] = c.stalls;
                   d["delayed"] = c.delayed;
                   d["withheld"] = c.withheld;
                   d["refusals"] = c.refusals;
                   d["truncated"] = c.truncated;
                   d["garbage"] = c.garbage;
                   d["cut"] = c.cut;
                   d["unread"] = c.unread;
                   all[name] = d;
               }
               return all;
           },
           "What each server injected so far, as counts: {'relay': {'dropped', 'stalls', 'delayed',\n"
           "'withheld', 'refusals', 'truncated', 'garbage', 'cut', 'unread'}, 'center': ..., 'database':\n"
           "...}. 'unread' counts the relay messages a server's host had received and the server never\n"
           "read when it ended a connection (plain TCP). Raises RuntimeError when the sandbox is not "
           "running.")
        .def(
            "drop_connections",
            [](PySandbox& s, const std::string& server) {
                sandbox::FaultInjector& faults = injector_of(s, server);
                py::gil_scoped_release nogil;
                faults.drop_connections();
            },
            py::arg("server"),
            "Closes every open connection of one server now: server is \"relay\", \"center\" or\n"
            "\"database\" (ValueError otherwise). Clients reconnect after their usual pause.")
        .def(
            "refuse_connections",
            [](PySandbox& s, const std::string& server, double seconds) {
                sandbox::FaultInjector& faults = injector_of(s, server);
                py::gil_scoped_release nogil;
                faults.refuse_connections(to_ms(seconds));
            },
            py::arg("server"), py::arg("seconds"),
            "Makes one server (\"relay\", \"center\" or \"database\") refuse new connections for `seconds`;\n"
            "connections already open are left alone. With drop_connections, keeps a client away from\n"
            "the server for that long.");
}

}  // namespace

void stop_all_sandboxes() {
    const std::vector<PySandbox*> open(live_sandboxes.begin(), live_sandboxes.end());
    for (PySandbox* s : open) s->stop();
}

void bind_sandbox(py::module_& m) {
    SandboxClass cls(m, "Sandbox", kSandboxDoc);
    bind_lifetime(cls);
    bind_addresses(cls);
    bind_waits(cls);
    bind_relay_records(cls);
    bind_faults(cls);
}

}  // namespace tyx::python
