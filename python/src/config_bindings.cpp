// Python classes for the configuration records: same field names, defaults and building
// operations as the C++ records, which they wrap directly.
#include <memory>

#include "bindings.hpp"
#include "py_support.hpp"

namespace tyx::python {

namespace {

// The distribution function of a PublicationConfig when it is a Python callable. It runs on the
// library's control thread with the GIL held.
struct PythonDistribution {
    std::shared_ptr<PyRef> function;

    std::vector<std::size_t> operator()(std::string_view cluster_name, std::string_view message) const {
        if (interpreter_stopping()) return {};
        // Runs on the publishing thread, which has released the GIL for the call.
        py::gil_scoped_acquire gil;
        const char* context =
            "exception in the distribution function; the message goes to every enabled relay shard";
        try {
            py::object chosen = function->get()(to_str(cluster_name), to_str(message));
            std::vector<std::size_t> shards;
            if (chosen.is_none()) return shards;
            for (py::handle index : chosen) shards.push_back(index.cast<std::size_t>());
            return shards;
        } catch (py::error_already_set& error) {
            print_callback_exception(context, error);
        } catch (const std::exception& error) {
            PyErr_SetString(
                PyExc_TypeError,
                (std::string("the distribution function must return shard indices: ") + error.what())
                    .c_str());
            py::error_already_set wrapped;
            print_callback_exception(context, wrapped);
        }
        return {};
    }
};

template <typename Shard>
void bind_shard(py::handle scope, const char* list_name) {
    py::class_<Shard>(
        scope, "Shard",
        "One shard: a primary endpoint, failover endpoints and TLS settings. Its session tries the\n"
        "primary endpoint first, then each failover endpoint in order.")
        .def(py::init<>(), "A disabled shard (no port), with TLS on.")
        .def(
            py::init([](std::string port_or_service, bool use_ssl, std::vector<Endpoint> failover_endpoints) {
                return Shard(std::move(port_or_service), use_ssl, std::move(failover_endpoints));
            }),
            py::arg("port_or_service"), py::arg("use_ssl"),
            py::arg_v("failover_endpoints", std::vector<Endpoint>{}, "[]"),
            "A shard on the cluster's host at `port_or_service`; `failover_endpoints` a list of Endpoint.")
        .def_readwrite("host", &Shard::host, "The primary endpoint's host; empty: the cluster's host.")
        .def_readwrite("port_or_service", &Shard::port_or_service,
                       "The primary endpoint's port number or service name; empty: the shard is disabled.")
        .def_readwrite("use_ssl", &Shard::use_ssl, "True (the default): connect over TLS.")
        .def_readwrite(
            "failover_endpoints", &Shard::failover_endpoints,
            "The Endpoints tried after the primary one, in order (an EndpointList changed in place).")
        .def_readwrite("ssl", &Shard::ssl, "The shard's SslOptions (changed in place).")
        .def("enabled", &Shard::enabled, "True when port_or_service is not empty.")
        .def("__repr__", [](const Shard& s) {
            return "Shard(host=" + py::repr(py::str(s.host)).cast<std::string>() +
                   ", port_or_service=" + py::repr(py::str(s.port_or_service)).cast<std::string>() +
                   ", use_ssl=" + (s.use_ssl ? "True" : "False") +
                   ", failover_endpoints=" + std::to_string(s.failover_endpoints.size()) + ")";
        });
    py::bind_vector<std::vector<Shard>>(scope, list_name);
    py::implicitly_convertible<py::list, std::vector<Shard>>();
    py::implicitly_convertible<py::tuple, std::vector<Shard>>();
}

// The operations every config shares.
template <typename Config>
void bind_shard_list_operations(py::class_<Config>& cls) {
    cls.def_readwrite("shards", &Config::shards,
                      "The shards, by shard number (a ShardList changed in place; a list may be assigned).")
        .def(
            "add_shard",
            [](Config& c, std::string port_or_service, bool use_ssl, std::vector<Endpoint> failovers)
                -> Config& { return c.add_shard(std::move(port_or_service), use_ssl, std::move(failovers)); },
            py::arg("port_or_service"), py::arg("use_ssl"),
            py::arg_v("failover_endpoints", std::vector<Endpoint>{}, "[]"),
            py::return_value_policy::reference_internal,
            "Appends a shard with the cluster's host and empty TLS material; returns the config.")
        .def(
            "add_failover_url",
            [](Config& c, std::string host, std::string port_or_service) -> Config& {
                return c.add_failover_url(std::move(host), std::move(port_or_service));
            },
            py::arg("host"), py::arg("port_or_service"), py::return_value_policy::reference_internal,
            "Adds a failover endpoint to the last shard (creating a disabled shard when there is none);\n"
            "returns the config.")
        .def("enabled", &Config::enabled, "True when at least one shard is enabled.")
        .def_readwrite("connect_timeout_ms", &Config::connect_timeout_ms,
                       "The longest a connection attempt (TLS handshake included), and then the login or\n"
                       "handshake, may take before the session moves on to the next endpoint (10000 by\n"
                       "default; 0 or less: no limit).");
}

void bind_endpoint(py::module_& m) {
    py::class_<Endpoint>(m, "Endpoint", "One network address: a host and a port number or service name.")
        .def(py::init([](std::string host, std::string port) {
                 return Endpoint{std::move(host), std::move(port)};
             }),
             py::arg("host") = "", py::arg("port_or_service") = "",
             "Each argument sets the field of the same name.")
        .def_readwrite("host", &Endpoint::host, "A host name or address.")
        .def_readwrite("port_or_service", &Endpoint::port_or_service,
                       "A port number or service name, as a str.")
        // An operator, so that comparing with anything else gives False instead of raising.
        .def(
            "__eq__",
            [](const Endpoint& a, const Endpoint& b) {
                return a.host == b.host && a.port_or_service == b.port_or_service;
            },
            py::is_operator(), py::arg("other"))
        .def("__repr__", [](const Endpoint& e) {
            return "Endpoint(" + py::repr(py::str(e.host)).cast<std::string>() + ", " +
                   py::repr(py::str(e.port_or_service)).cast<std::string>() + ")";
        });
    py::bind_vector<std::vector<Endpoint>>(m, "EndpointList");
    py::implicitly_convertible<py::list, std::vector<Endpoint>>();
    py::implicitly_convertible<py::tuple, std::vector<Endpoint>>();
}

void bind_ssl_options(py::module_& m) {
    py::class_<SslOptions>(
        m, "SslOptions",
        "TLS material of one shard: file paths and a pass phrase; an empty field is not used.")
        .def(py::init([](std::string pub, std::string cert, std::string key, std::string password,
                         std::string ca) {
                 return SslOptions{std::move(pub), std::move(cert), std::move(key), std::move(password),
                                   std::move(ca)};
             }),
             py::arg("trusted_server_pub_file") = "", py::arg("client_cert_file") = "",
             py::arg("client_key_file") = "", py::arg("client_key_password") = "", py::arg("ca_file") = "",
             "Each argument sets the field of the same name.")
        .def_readwrite("trusted_server_pub_file", &SslOptions::trusted_server_pub_file,
                       "File of trusted server public keys, one `ssh-rsa` line each; when set, the server's\n"
                       "certificate key must equal one of them, in place of the chain and host name checks.")
        .def_readwrite("client_cert_file", &SslOptions::client_cert_file,
                       "PEM certificate chain presented to the server.")
        .def_readwrite("client_key_file", &SslOptions::client_key_file,
                       "PEM private key of client_cert_file.")
        .def_readwrite("client_key_password", &SslOptions::client_key_password,
                       "Pass phrase of an encrypted client_key_file.")
        .def_readwrite("ca_file", &SslOptions::ca_file,
                       "PEM file of the certificate authorities to trust in place of the system's store;\n"
                       "the server's certificate must still name the host connected to.");
}

// The Python distribution function of a PublicationConfig.
void bind_distribution_function(py::class_<PublicationConfig>& publication) {
    publication
        .def(
            "set_distribution_function",
            [](PublicationConfig& c, py::object fn) {
                if (!PyCallable_Check(fn.ptr()))
                    throw py::type_error(
                        "the distribution function must be callable, not '" +
                        py::str(py::type::handle_of(fn).attr("__name__")).cast<std::string>() + "'");
                c.set_distribution_function(PythonDistribution{std::make_shared<PyRef>(std::move(fn))});
            },
            py::arg("function"),
            "Sets function(cluster_name: str, message: str) -> iterable of shard positions (ints), which\n"
            "chooses the relay shards of each published message; an empty result (or None) means every\n"
            "enabled shard, and positions out of range or of disabled shards are skipped. It runs on the\n"
            "publishing thread, with the GIL, one call at a time per cluster: keep it short. When it\n"
            "raises (or returns something else), the traceback is printed to sys.stderr and the message\n"
            "goes to every enabled shard. Takes effect for clusters added after the call. Raises\n"
            "TypeError when `function` is not callable.")
        .def("clear_distribution_function", &PublicationConfig::clear_distribution_function,
             "Removes the distribution function: every message goes to every enabled shard.")
        .def("has_distribution_function", &PublicationConfig::has_distribution_function,
             "True when a distribution function is set.")
        .def(
            "distribution_function",
            [](const PublicationConfig& c) -> py::object {
                const auto* python = c.distribution_function().target<PythonDistribution>();
                if (python == nullptr) return py::none();
                return py::reinterpret_borrow<py::object>(python->function->get());
            },
            "The Python distribution function set, or None.");
}

void bind_publication_config(py::module_& m) {
    py::class_<PublicationConfig> publication(
        m, "PublicationConfig", R"doc(The relay shards of a cluster, the relay login and option bits.

`options` is a sum of these bits (class and module attributes): ENABLE_QUIET (4),
DISABLE_AUTO_RECONNECT (8: a lost relay connection is not made again), ENABLE_SEND_TIMESTAMPS
(32) and ENABLE_SEND_SEQNUM (64) (the login and logout lines carry a time and a sequence
number), LOG_CONNECTION_RETRY_ERRORS (128), LOG_MESSAGES (256), UNIX_MODE (1024),
WINDOWS_MODE (2048) and TTY (4096). ENABLE_QUIET, LOG_MESSAGES, UNIX_MODE, WINDOWS_MODE and TTY
are named in the login line.)doc");
    py::enum_<PublicationConfig::FullBufferPolicy>(
        publication, "FullBufferPolicy",
        "What a relay shard does when more is waiting to be written than it may keep.")
        .value("drop_newest", PublicationConfig::FullBufferPolicy::drop_newest,
               "Wait up to full_buffer_block_ms for room, then drop the message being published.")
        .value("drop_oldest", PublicationConfig::FullBufferPolicy::drop_oldest,
               "Drop the oldest messages not yet handed to the connection until the new one fits.");
    bind_shard<PublicationConfig::Shard>(publication, "ShardList");
    publication.def(py::init<>(), "No shards, an empty login and no options.")
        .def(py::init<std::string, bool, std::string, std::int32_t>(), py::arg("port_or_service"),
             py::arg("use_ssl"), py::arg("login_id"), py::arg("options") = 0,
             "One shard on the cluster's host at `port_or_service`, the login `login_id` and `options`.")
        .def_readwrite("login_id", &PublicationConfig::login_id, "The identity the relay login carries.")
        .def_readwrite("options", &PublicationConfig::options,
                       "The option bits (see the class documentation).")
        .def_readwrite(
            "max_buffered_bytes", &PublicationConfig::max_buffered_bytes,
            "Most message bytes kept per relay shard while waiting to be written (256 MiB by default);\n"
            "0 keeps everything.")
        .def_readwrite(
            "full_buffer_policy", &PublicationConfig::full_buffer_policy,
            "What gives way when a shard's buffer is full: a FullBufferPolicy, drop_newest by default.\n"
            "A level-3 on_log reports the first drop and, once there is room again, how many were dropped.")
        .def_readwrite(
            "full_buffer_block_ms", &PublicationConfig::full_buffer_block_ms,
            "With drop_newest: how long (ms) a publishing call may wait, blocking its thread, for room;\n"
            "0 (the default) drops at once.")
        .def_readwrite(
            "conflate_objects", &PublicationConfig::conflate_objects,
            "Keep only the newest waiting version of each object (type and id) while a relay cannot\n"
            "be written; a replaced version is never written and raises no on_message_sent. Off by\n"
            "default.")
        .def_readwrite("stop_flush_ms", &PublicationConfig::stop_flush_ms,
                       "How long a stopping relay session (remove_cluster, close()) may go on writing and\n"
                       "waiting for the relay's host to acknowledge what is pending; what is left then is\n"
                       "discarded, counted and logged (level 3). 10000 by default.");
    bind_distribution_function(publication);
    bind_shard_list_operations(publication);
    const std::pair<const char*, std::int32_t> options[] = {
        {"ENABLE_QUIET", PublicationConfig::ENABLE_QUIET},
        {"DISABLE_AUTO_RECONNECT", PublicationConfig::DISABLE_AUTO_RECONNECT},
        {"ENABLE_SEND_TIMESTAMPS", PublicationConfig::ENABLE_SEND_TIMESTAMPS},
        {"ENABLE_SEND_SEQNUM", PublicationConfig::ENABLE_SEND_SEQNUM},
        {"LOG_CONNECTION_RETRY_ERRORS", PublicationConfig::LOG_CONNECTION_RETRY_ERRORS},
        {"LOG_MESSAGES", PublicationConfig::LOG_MESSAGES},
        {"UNIX_MODE", PublicationConfig::UNIX_MODE},
        {"WINDOWS_MODE", PublicationConfig::WINDOWS_MODE},
        {"TTY", PublicationConfig::TTY},
    };
    for (const auto& [name, value] : options) {
        publication.attr(name) = value;
        m.attr(name) = value;
    }
}

void bind_subscription_config(py::module_& m) {
    py::class_<SubscriptionConfig> subscription(m, "SubscriptionConfig", "The center shards of a cluster.");
    bind_shard<SubscriptionConfig::Shard>(subscription, "ShardList");
    subscription.def(py::init<>(), "No shards.")
        .def(py::init<std::string, bool>(), py::arg("port_or_service"), py::arg("use_ssl"),
             "One shard on the cluster's host at `port_or_service`.")
        .def_readwrite("snapshot_timeout_ms", &SubscriptionConfig::snapshot_timeout_ms,
                       "How long a waiting subscribe waits for the snapshot answers (30000 by default; 0 or\n"
                       "less: no limit); past it the call returns with a level-3 log, and the subscription\n"
                       "completes later.");
    bind_shard_list_operations(subscription);
}

void bind_database_config(py::module_& m) {
    py::class_<DatabaseConfig> database(
        m, "DatabaseConfig", "The database shards of a cluster and the login properties sent to each.");
    bind_shard<DatabaseConfig::Shard>(database, "ShardList");
    database.def(py::init<>(), "No shards, an empty login, the default timeout and limit.")
        .def(py::init<std::string, bool, std::string, std::string, std::int32_t, std::int32_t>(),
             py::arg("port_or_service"), py::arg("use_ssl"), py::arg("username"), py::arg("password"),
             py::arg("query_timeout_ms") = 30000, py::arg("query_limit") = 10000,
             "One shard on the cluster's host at `port_or_service`, with these login properties.")
        .def_readwrite("username", &DatabaseConfig::username, "Sent at login.")
        .def_readwrite("password", &DatabaseConfig::password, "Sent at login.")
        .def_readwrite("query_timeout_ms", &DatabaseConfig::query_timeout_ms,
                       "Sent at login as the server's limit for each request (30000 by default); also the\n"
                       "deadline of every query and upload, from the call to its answer (see TyxClient.sql).")
        .def_readwrite("query_limit", &DatabaseConfig::query_limit, "Sent at login (10000 by default).")
        .def_readwrite("db", &DatabaseConfig::db, "Sent at login; empty by default.");
    bind_shard_list_operations(database);
}

void bind_cluster(py::module_& m) {
    py::class_<Cluster>(
        m, "Cluster",
        "One named cluster: a default host and its relay, center and database shards. A plain record:\n"
        "TyxClient.add_cluster takes a copy, and nothing here touches the network.")
        .def(py::init<std::string, std::string, std::string>(), py::arg("name"), py::arg("host"),
             py::arg("description") = "", "A cluster without shards.")
        .def_readwrite("name", &Cluster::name, "The name the TyxClient operations take as cluster_name.")
        .def_readwrite("host", &Cluster::host, "The host of every shard whose own host is empty.")
        .def_readwrite("description", &Cluster::description, "Free text.")
        .def_readwrite("publication_config", &Cluster::publication_config,
                       "The relay shards (a PublicationConfig, changed in place).")
        .def_readwrite("subscription_config", &Cluster::subscription_config,
                       "The center shards (a SubscriptionConfig, changed in place).")
        .def_readwrite("database_config", &Cluster::database_config,
                       "The database shards (a DatabaseConfig, changed in place).")
        .def(
            "add_failover_host",
            [](Cluster& c, std::string host, std::optional<std::string> port) -> Cluster& {
                return c.add_failover_host(std::move(host), std::move(port));
            },
            py::arg("host"), py::arg("port_or_service") = py::none(),
            py::return_value_policy::reference_internal,
            "For each enabled config, adds a failover endpoint to its first shard: `host` with the given\n"
            "port, or that shard's own port when none is given. Returns the cluster.")
        .def("__repr__", [](const Cluster& c) {
            return "Cluster(" + py::repr(py::str(c.name)).cast<std::string>() + ", " +
                   py::repr(py::str(c.host)).cast<std::string>() + ")";
        });
}

}  // namespace

void bind_config(py::module_& m) {
    bind_endpoint(m);
    bind_ssl_options(m);
    bind_publication_config(m);
    bind_subscription_config(m);
    bind_database_config(m);
    bind_cluster(m);
}

}  // namespace tyx::python
