#include "clusters.hpp"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tool_error.hpp"

namespace tyx::tool {

const char* kind_name(ServerKind kind) {
    switch (kind) {
        case ServerKind::relay:
            return "relay";
        case ServerKind::center:
            return "center";
        case ServerKind::database:
            return "database";
    }
    return "unknown";
}

const std::string& ClusterSettings::port(ServerKind kind) const {
    switch (kind) {
        case ServerKind::relay:
            return relay_port;
        case ServerKind::center:
            return center_port;
        case ServerKind::database:
            break;
    }
    return db_port;
}

std::string ClusterSettings::endpoint(ServerKind kind) const {
    return host + ":" + port(kind);
}

namespace {

std::string text_of(const nlohmann::json& value, const std::string& where) {
    if (value.is_string()) return value.get<std::string>();
    throw ToolError(where + " must be a string");
}

std::string port_of(const nlohmann::json& value, const std::string& where) {
    if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 65535)
        return std::to_string(value.get<std::uint64_t>());
    if (value.is_string() && !value.get<std::string>().empty()) return value.get<std::string>();
    throw ToolError(where + " must be a port number or a service name");
}

ClusterSettings settings_of(const std::string& name, const nlohmann::json& entry) {
    const std::string where = "cluster \"" + name + "\"";
    if (!entry.is_object()) throw ToolError(where + " must be an object");
    ClusterSettings s;
    s.name = name;
    for (const auto& [key, value] : entry.items()) {
        const std::string at = where + " key \"" + key + "\"";
        if (key == "description")
            s.description = text_of(value, at);
        else if (key == "host")
            s.host = text_of(value, at);
        else if (key == "relay_port")
            s.relay_port = port_of(value, at);
        else if (key == "center_port")
            s.center_port = port_of(value, at);
        else if (key == "db_port")
            s.db_port = port_of(value, at);
        else if (key == "tls") {
            if (!value.is_boolean()) throw ToolError(at + " must be true or false");
            s.tls = value.get<bool>();
        } else if (key == "trusted_server_keys")
            s.ssl.trusted_server_pub_file = text_of(value, at);
        else if (key == "ca_file")
            s.ssl.ca_file = text_of(value, at);
        else if (key == "client_cert")
            s.ssl.client_cert_file = text_of(value, at);
        else if (key == "client_key")
            s.ssl.client_key_file = text_of(value, at);
        else if (key == "client_key_password")
            s.ssl.client_key_password = text_of(value, at);
        else if (key == "login")
            s.login = text_of(value, at);
        else if (key == "db_user")
            s.db_user = text_of(value, at);
        else if (key == "db_password")
            s.db_password = text_of(value, at);
        else if (key == "query_timeout") {
            if (!value.is_number_unsigned() || value.get<std::uint64_t>() == 0 ||
                value.get<std::uint64_t>() > 86400)
                throw ToolError(at + " must be a number of seconds from 1 to 86400");
            s.query_timeout_s = static_cast<int>(value.get<std::uint64_t>());
        } else
            throw ToolError(where + " has an unknown key \"" + key + "\"");
    }
    return s;
}

}  // namespace

std::map<std::string, ClusterSettings> parse_clusters_file(std::string_view json_text) {
    nlohmann::json root;
    try {
        root = nlohmann::json::parse(json_text);
    } catch (const nlohmann::json::exception& e) {
        // A syntax error, or a number too large for a double (out_of_range).
        throw ToolError(std::string("the clusters file is not valid JSON: ") + e.what());
    }
    if (!root.is_object() || !root.contains("clusters") || !root["clusters"].is_object())
        throw ToolError("the clusters file must be an object with an object \"clusters\"");
    for (const auto& [key, value] : root.items())
        if (key != "clusters") throw ToolError("the clusters file has an unknown key \"" + key + "\"");
    std::map<std::string, ClusterSettings> clusters;
    for (const auto& [name, entry] : root["clusters"].items())
        clusters.emplace(name, settings_of(name, entry));
    return clusters;
}

ClusterSettings load_cluster(const std::string& path, const std::string& name) {
    std::ifstream in(path);
    if (!in) throw ToolError("cannot read the clusters file " + path);
    std::stringstream text;
    text << in.rdbuf();
    const auto clusters = parse_clusters_file(text.str());
    const auto it = clusters.find(name);
    if (it == clusters.end()) {
        std::string known;
        for (const auto& [n, s] : clusters) known += (known.empty() ? "" : ", ") + n;
        throw ToolError("no cluster \"" + name + "\" in " + path +
                        (known.empty() ? "" : " (it has " + known + ")"));
    }
    return it->second;
}

tyx::Cluster make_cluster(const ClusterSettings& s, const std::vector<ServerKind>& kinds) {
    tyx::Cluster cluster(s.name, s.host, s.description);
    for (auto kind : kinds) {
        switch (kind) {
            case ServerKind::relay:
                cluster.publication_config = tyx::PublicationConfig(s.relay_port, s.tls, s.login);
                cluster.publication_config.shards.front().ssl = s.ssl;
                break;
            case ServerKind::center:
                cluster.subscription_config = tyx::SubscriptionConfig(s.center_port, s.tls);
                cluster.subscription_config.shards.front().ssl = s.ssl;
                break;
            case ServerKind::database:
                cluster.database_config =
                    tyx::DatabaseConfig(s.db_port, s.tls, s.db_user, s.db_password, s.query_timeout_s * 1000);
                cluster.database_config.shards.front().ssl = s.ssl;
                break;
        }
    }
    return cluster;
}

}  // namespace tyx::tool
