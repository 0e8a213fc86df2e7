#include <cmath>
#include <cstdlib>

#include "commands.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

void ConnectFlags::add_to(CLI::App& command) {
    auto flag = [&](const std::string& name, std::string& value, const std::string& help,
                    std::function<void(ClusterSettings&)> apply) {
        overrides_.emplace_back(command.add_option(name, value, help)->group("Connection"), std::move(apply));
    };
    command.add_option("--cluster", cluster_, "Cluster to use from the clusters file")->group("Connection");
    command.add_option("--clusters-file", clusters_file_, "JSON clusters file (default: $TYX_CLUSTERS)")
        ->group("Connection");
    flag("--host", flags_.host, "Host of the cluster's servers (default 127.0.0.1)",
         [this](ClusterSettings& s) { s.host = flags_.host; });
    flag("--relay-port", flags_.relay_port, "Relay port or service (default 7001)",
         [this](ClusterSettings& s) { s.relay_port = flags_.relay_port; });
    flag("--center-port", flags_.center_port, "Center port or service (default 7002)",
         [this](ClusterSettings& s) { s.center_port = flags_.center_port; });
    flag("--db-port", flags_.db_port, "Database port or service (default 7003)",
         [this](ClusterSettings& s) { s.db_port = flags_.db_port; });
    overrides_.emplace_back(command.add_flag("--tls", flags_.tls, "Connect with TLS")->group("Connection"),
                            [this](ClusterSettings& s) { s.tls = flags_.tls; });
    flag("--trusted-server-keys", flags_.ssl.trusted_server_pub_file,
         "File of trusted server keys (ssh-rsa lines); the server's key must be one of them. A pinned "
         "key replaces the certificate chain and host name checks (needs --tls)",
         [this](ClusterSettings& s) { s.ssl.trusted_server_pub_file = flags_.ssl.trusted_server_pub_file; });
    flag("--ca-file", flags_.ssl.ca_file,
         "PEM file of the certificate authorities to trust in place of the system's store; the server's "
         "certificate must still name the host (needs --tls)",
         [this](ClusterSettings& s) { s.ssl.ca_file = flags_.ssl.ca_file; });
    flag("--client-cert", flags_.ssl.client_cert_file,
         "PEM client certificate chain (with --client-key, needs --tls)",
         [this](ClusterSettings& s) { s.ssl.client_cert_file = flags_.ssl.client_cert_file; });
    flag("--client-key", flags_.ssl.client_key_file, "PEM private key of the client certificate",
         [this](ClusterSettings& s) { s.ssl.client_key_file = flags_.ssl.client_key_file; });
    flag("--client-key-password", flags_.ssl.client_key_password, "Pass phrase of the client key",
         [this](ClusterSettings& s) { s.ssl.client_key_password = flags_.ssl.client_key_password; });
    flag("--login", flags_.login, "Login identity at the relay (default tyx-cli)",
         [this](ClusterSettings& s) { s.login = flags_.login; });
    flag("--db-user", flags_.db_user, "Database user",
         [this](ClusterSettings& s) { s.db_user = flags_.db_user; });
    flag("--db-password", flags_.db_password, "Database password",
         [this](ClusterSettings& s) { s.db_password = flags_.db_password; });
    overrides_.emplace_back(command
                                .add_option("--query-timeout", flags_.query_timeout_s,
                                            "Seconds a query or upload may take (default 30)")
                                ->check(CLI::Range(1, 86400))
                                ->group("Connection"),
                            [this](ClusterSettings& s) { s.query_timeout_s = flags_.query_timeout_s; });
    command
        .add_option("--connect-timeout", connect_timeout_s_, "Seconds to wait for the servers (default 10)")
        ->check(CLI::Range(0.001, 86400.0))
        ->group("Connection");
    command.add_flag("-v,--verbose", verbose_, "Show the library's connection events and logs on stderr");
    command.add_flag("--stats", stats_,
                     "On exit, print the sessions' states and counters (the Client's health) as JSON on stderr");
}

ClusterSettings ConnectFlags::settings() const {
    ClusterSettings settings;
    if (!cluster_.empty()) {
        std::string path = clusters_file_;
        if (path.empty())
            if (const char* env = std::getenv("TYX_CLUSTERS")) path = env;
        if (path.empty())
            throw ToolError("--cluster " + cluster_ +
                            " needs a clusters file: --clusters-file or TYX_CLUSTERS");
        settings = load_cluster(path, cluster_);
    }
    for (const auto& [option, apply] : overrides_)
        if (option->count() > 0) apply(settings);
    // TLS material without TLS would connect over plain TCP as if it had been used.
    const auto& ssl = settings.ssl;
    if (!settings.tls &&
        (!ssl.trusted_server_pub_file.empty() || !ssl.client_cert_file.empty() ||
         !ssl.client_key_file.empty() || !ssl.client_key_password.empty() || !ssl.ca_file.empty()))
        throw ToolError(
            "TLS material (a trusted key, CA, client certificate or key file) is given, but not --tls "
            "(or \"tls\": true in the clusters file): it would not be used");
    if (ssl.client_cert_file.empty() != ssl.client_key_file.empty())
        throw ToolError(ssl.client_cert_file.empty() ? "--client-key needs --client-cert (or client_cert)"
                                                     : "--client-cert needs --client-key (or client_key)");
    return settings;
}

std::chrono::milliseconds ConnectFlags::connect_timeout() const {
    return std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(connect_timeout_s_ * 1000.0)));
}

}  // namespace tyx::tool
