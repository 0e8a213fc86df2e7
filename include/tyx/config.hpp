/// \file
/// Configuration records describing one named cluster: its relay, center and database shards,
/// their endpoints and TLS material. Plain copyable values owned by the application; nothing
/// here touches the network or a thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyx {

/// One network address: a host name or address, and a port number or service name.
struct Endpoint {
    std::string host;             ///< host name or address
    std::string port_or_service;  ///< port number or service name
};

/// TLS material of one shard. Every field is a file path or a text; empty means "not used".
struct SslOptions {
    /// File of trusted server public keys, one `ssh-rsa` line each; when set, the server's
    /// certificate key must equal one of them, and the chain, the dates and the host name are not
    /// consulted (the pinned key replaces them).
    std::string trusted_server_pub_file;
    std::string client_cert_file;     ///< PEM certificate chain presented to the server
    std::string client_key_file;      ///< PEM private key of client_cert_file
    std::string client_key_password;  ///< pass phrase of an encrypted client_key_file
    /// PEM file of the certificate authorities to trust, in place of the system's trust store
    /// (a company's private CA); the server's chain must lead to one of them and its
    /// certificate must name the host connected to, as with the system store. Not used with
    /// trusted_server_pub_file. (Initialised, so that braces listing the four fields above
    /// still initialise every field.)
    std::string ca_file = {};
};

/// Building blocks of the configuration records; applications use them through
/// PublicationConfig, SubscriptionConfig and DatabaseConfig.
namespace detail {

/// The fields every kind of shard has. The three shard records are distinct types so that a
/// relay shard cannot be handed where a database shard is expected.
template <typename Tag>
struct ShardFields {
    std::string host;             ///< empty: the cluster's host
    std::string port_or_service;  ///< empty: the shard is disabled
    bool use_ssl = true;          ///< connect over TLS, with `ssl`
    /// Further endpoints, tried in turn after the primary one (host and port above) when a
    /// connection cannot be made or is lost.
    std::vector<Endpoint> failover_endpoints;
    SslOptions ssl;  ///< TLS material, used when `use_ssl` is set

    /// A disabled shard (no port).
    ShardFields() = default;
    /// A shard on the cluster's host with the given port, TLS switch and failover endpoints.
    ShardFields(std::string port, bool ssl_on, std::vector<Endpoint> failovers = {})
        : port_or_service(std::move(port)), use_ssl(ssl_on), failover_endpoints(std::move(failovers)) {}

    /// True when the shard has a port; a disabled shard gets no session.
    bool enabled() const { return !port_or_service.empty(); }
};

/// The shards of one server kind, with the helpers that add to them; `Derived` is the
/// configuration record, returned for chaining.
template <typename Derived, typename ShardT>
struct ShardList {
    std::vector<ShardT> shards;  ///< by shard number; each enabled one gets its own session
    /// The longest each step of making a connection to one of these shards may take: the
    /// connection attempt (name resolution, TCP connect and TLS handshake together), then the
    /// login (relay, database) or handshake (center). A step that takes longer fails with the
    /// cause "timed out" and a reason naming the step, and the session goes on to the shard's
    /// next endpoint; a waiting Client::add_cluster therefore returns within about one such
    /// time per endpoint. 0 or less: no limit.
    std::int64_t connect_timeout_ms = 10000;

    /// Appends a shard with the cluster's host, the given port and TLS switch, and empty TLS
    /// material; returns the config for chaining.
    Derived& add_shard(std::string port_or_service, bool use_ssl,
                       std::vector<Endpoint> failover_endpoints = {}) {
        shards.emplace_back(std::move(port_or_service), use_ssl, std::move(failover_endpoints));
        return static_cast<Derived&>(*this);
    }

    /// Adds a failover endpoint to the last shard, creating a (disabled) shard when there is none.
    Derived& add_failover_url(std::string host, std::string port_or_service) {
        if (shards.empty()) shards.emplace_back();
        shards.back().failover_endpoints.push_back(Endpoint{std::move(host), std::move(port_or_service)});
        return static_cast<Derived&>(*this);
    }

    /// True when at least one shard is enabled.
    bool enabled() const {
        for (const auto& s : shards)
            if (s.enabled()) return true;
        return false;
    }
};

struct RelayShardTag {};     ///< tells relay shards apart
struct CenterShardTag {};    ///< tells center shards apart
struct DatabaseShardTag {};  ///< tells database shards apart

}  // namespace detail

/// The relay servers of a cluster, the relay login identity and the relay option bits.
struct PublicationConfig : detail::ShardList<PublicationConfig, detail::ShardFields<detail::RelayShardTag>> {
    using Shard = detail::ShardFields<detail::RelayShardTag>;  ///< one relay shard

    /// Chooses the relay shards (positions in `shards`) that receive a published message.
    /// An empty result means every enabled shard.
    using DistributionFunction =
        std::function<std::vector<std::size_t>(std::string_view cluster_name, std::string_view message)>;

    /// Bit values of `options`; the numbers are part of the interface. The word bits add their
    /// word to the login's option list (`O="QUIET,LOG"`, in the order below).
    enum Options : std::int32_t {
        ENABLE_QUIET = 4,                   ///< login option word `QUIET`
        DISABLE_AUTO_RECONNECT = 8,         ///< a relay session that loses its connection stays down
        ENABLE_SEND_TIMESTAMPS = 32,        ///< login and logout carry the time (`@`, Unix ms)
        ENABLE_SEND_SEQNUM = 64,            ///< login and logout carry a counted number (`#n`)
        LOG_CONNECTION_RETRY_ERRORS = 128,  ///< not read here: on_session_state reports every retry
        LOG_MESSAGES = 256,                 ///< login option word `LOG`
        UNIX_MODE = 1024,                   ///< login option word `UNIX`
        WINDOWS_MODE = 2048,                ///< login option word `WINDOWS`
        TTY = 4096,                         ///< login option word `TTY`
    };

    /// What a relay shard does when more is waiting to be written than it may keep.
    enum class FullBufferPolicy {
        /// Wait up to full_buffer_block_ms for room, then drop the message being published.
        drop_newest,
        /// Drop the oldest messages not yet handed to the connection until the new one fits.
        drop_oldest,
    };

    std::string login_id;      ///< the identity the relay login carries (`I`)
    std::int32_t options = 0;  ///< Options bits, or-ed together
    /// Most message bytes kept per relay shard until the relay's host has acknowledged them
    /// (while they wait to be written, and after, until its TCP acknowledges them: the relay is
    /// unreachable, or slower than the publishers). Written messages whose on_message_sent a
    /// listener has not yet been given count too, so a slow listener is held to the same bound.
    /// 0 keeps everything.
    std::size_t max_buffered_bytes = std::size_t{256} << 20;
    FullBufferPolicy full_buffer_policy = FullBufferPolicy::drop_newest;  ///< what gives way at the limit
    /// With drop_newest: how long a publishing call may wait for room; 0 drops at once.
    std::int64_t full_buffer_block_ms = 0;
    /// Latest-value conflation while messages wait to be written: a new version of an object
    /// (same type and id) still waiting replaces the waiting one in its place, and a removal
    /// replaces the object's waiting version. What was already handed to the connection is not
    /// touched. Raw messages, command messages and objects with an empty id are never conflated
    /// and nothing moves past them. Off: every version is written.
    bool conflate_objects = false;
    /// When a relay session stops (remove_cluster, the Client's destruction): how long it may
    /// go on writing what is pending and waiting for the relay's host to acknowledge it before
    /// it gives up. What is left then is discarded, counted and logged (level 3). A relay that
    /// is not connected at the stop is not waited for. Not positive: give up at once.
    std::int64_t stop_flush_ms = 10000;

    /// No shards; add them with add_shard.
    PublicationConfig() = default;
    /// One relay shard on the cluster's host, with the login identity and Options bits.
    PublicationConfig(std::string port_or_service, bool use_ssl, std::string login, std::int32_t opts = 0)
        : login_id(std::move(login)), options(opts) {
        shards.emplace_back(std::move(port_or_service), use_ssl);
    }

    /// Sets the function that chooses each published message's shards; Client::add_cluster
    /// takes the one set then.
    void set_distribution_function(DistributionFunction fn) { distribution_function_ = std::move(fn); }
    /// Removes the function: every message goes to every enabled shard.
    void clear_distribution_function() { distribution_function_ = nullptr; }
    /// True while a distribution function is set.
    bool has_distribution_function() const { return static_cast<bool>(distribution_function_); }
    /// The distribution function; empty when none is set.
    const DistributionFunction& distribution_function() const { return distribution_function_; }

private:
    DistributionFunction distribution_function_;
};

/// The center servers of a cluster.
struct SubscriptionConfig
    : detail::ShardList<SubscriptionConfig, detail::ShardFields<detail::CenterShardTag>> {
    using Shard = detail::ShardFields<detail::CenterShardTag>;  ///< one center shard

    /// How long a waiting Client::subscribe may wait for the centers' snapshot answers. Past it
    /// the call returns and a level-3 on_log names the tables and center shards that did not
    /// answer; the subscription stays and completes when they do. 0 or less: no limit.
    std::int64_t snapshot_timeout_ms = 30000;

    /// No shards; add them with add_shard.
    SubscriptionConfig() = default;
    /// One center shard on the cluster's host.
    SubscriptionConfig(std::string port_or_service, bool use_ssl) {
        shards.emplace_back(std::move(port_or_service), use_ssl);
    }
};

/// The database endpoints of a cluster and the login properties sent to each.
struct DatabaseConfig : detail::ShardList<DatabaseConfig, detail::ShardFields<detail::DatabaseShardTag>> {
    using Shard = detail::ShardFields<detail::DatabaseShardTag>;  ///< one database shard

    std::string username;  ///< login property `username`
    std::string password;  ///< login property `password`
    /// Login property `timeout`; also the deadline of every database call, from the call to its
    /// answer (see Client), and, with a grace of up to 5 s more, of the login; 0 or less is 30 s.
    std::int32_t query_timeout_ms = 30000;
    std::int32_t query_limit = 10000;  ///< login property `limit`
    std::string db;                    ///< login property `db`; not sent when empty

    /// No shards; add them with add_shard.
    DatabaseConfig() = default;
    /// One database shard on the cluster's host, with the login properties.
    DatabaseConfig(std::string port_or_service, bool use_ssl, std::string user, std::string pass,
                   std::int32_t timeout_ms = 30000, std::int32_t limit = 10000)
        : username(std::move(user)),
          password(std::move(pass)),
          query_timeout_ms(timeout_ms),
          query_limit(limit) {
        shards.emplace_back(std::move(port_or_service), use_ssl);
    }
};

/// One named cluster: a default host and the three server kinds.
struct Cluster {
    std::string name;                        ///< the name Client operations take as `cluster_name`
    std::string host;                        ///< the host of every shard whose own host is empty
    std::string description;                 ///< free text for the application; the library does not read it
    PublicationConfig publication_config;    ///< the relay shards
    SubscriptionConfig subscription_config;  ///< the center shards
    DatabaseConfig database_config;          ///< the database shards

    /// A cluster without shards; fill in the three configs.
    Cluster(std::string cluster_name, std::string default_host)
        : name(std::move(cluster_name)), host(std::move(default_host)) {}
    /// A cluster without shards, with a description.
    Cluster(std::string cluster_name, std::string default_host, std::string text)
        : name(std::move(cluster_name)), host(std::move(default_host)), description(std::move(text)) {}

    /// For each enabled config (publication, subscription, database), adds a failover endpoint
    /// to its first shard: `host`, with the given port or, when absent, that shard's own port.
    Cluster& add_failover_host(std::string failover_host,
                               std::optional<std::string> port_or_service = std::nullopt) {
        add_failover_to_first(publication_config, failover_host, port_or_service);
        add_failover_to_first(subscription_config, failover_host, port_or_service);
        add_failover_to_first(database_config, failover_host, port_or_service);
        return *this;
    }

private:
    template <typename Config>
    static void add_failover_to_first(Config& config, const std::string& failover_host,
                                      const std::optional<std::string>& port) {
        if (!config.enabled()) return;
        auto& first = config.shards.front();
        first.failover_endpoints.push_back(Endpoint{failover_host, port ? *port : first.port_or_service});
    }
};

}  // namespace tyx
