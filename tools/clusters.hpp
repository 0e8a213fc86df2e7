// Where the tool connects: one cluster's endpoints, TLS material and identities, given by flags
// or by name from a clusters file, and the tyx::Cluster made from them.
//
// The clusters file is JSON: an object "clusters" mapping each name to its settings, every key
// optional (the defaults are those of the flags):
//   {
//     "clusters": {
//       "local": {"host": "127.0.0.1", "relay_port": 7001, "center_port": 7002, "db_port": 7003},
//       "prod": {
//         "description": "the production cluster",
//         "host": "tyx.example.net", "relay_port": "tyx-relay", "center_port": 7102,
//         "db_port": 7103, "tls": true, "trusted_server_keys": "/etc/tyx/servers.pub",
//         "client_cert": "me.pem", "client_key": "me.key", "client_key_password": "",
//         "login": "tyx-cli", "db_user": "reader", "db_password": "secret",
//         "query_timeout": 30
//       }
//     }
//   }
// Ports are numbers or service names; query_timeout is in seconds; "ca_file" names the PEM file
// of the certificate authorities to trust in place of the system's store. TLS material needs
// "tls": true (or --tls), and a client certificate its key. Unknown keys are refused, so that a
// misspelt key is not silently ignored.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <tyx/config.hpp>

namespace tyx::tool {

enum class ServerKind { relay, center, database };

// "relay", "center" or "database".
const char* kind_name(ServerKind kind);

struct ClusterSettings {
    std::string name = "tyx";
    std::string description;
    std::string host = "127.0.0.1";
    std::string relay_port = "7001";
    std::string center_port = "7002";
    std::string db_port = "7003";
    bool tls = false;
    tyx::SslOptions ssl;  // trusted server keys, client certificate, key and pass phrase
    std::string login = "tyx-cli";
    std::string db_user;
    std::string db_password;
    int query_timeout_s = 30;

    const std::string& port(ServerKind kind) const;
    // "host:port" of the server of that kind.
    std::string endpoint(ServerKind kind) const;
};

// Every cluster of a clusters file's text; throws ToolError on malformed JSON, a wrong type or
// an unknown key, naming it.
std::map<std::string, ClusterSettings> parse_clusters_file(std::string_view json_text);

// The cluster `name` of the file at `path`.
ClusterSettings load_cluster(const std::string& path, const std::string& name);

// A tyx::Cluster with one shard of each kind in `kinds` and no shard of the others, so that a
// command connects to the servers it needs only.
tyx::Cluster make_cluster(const ClusterSettings& settings, const std::vector<ServerKind>& kinds);

}  // namespace tyx::tool
