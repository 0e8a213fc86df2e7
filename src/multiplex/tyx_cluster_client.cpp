#include "multiplex/tyx_cluster_client.hpp"

#include <asio/co_spawn.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "core/countdown.hpp"
#include "multiplex/tyx_client_multiplex.hpp"

namespace tyx {

namespace {

// The sockets of one shard's session, on `loop`, with the config's connection time limit.
template <typename Config, typename Shard>
SocketFactory sockets_for(asio::io_context& loop, const Shard& shard, const Config& config) {
    return make_socket_factory(
        loop, shard.use_ssl, shard.ssl,
        std::chrono::milliseconds{config.connect_timeout_ms > 0 ? config.connect_timeout_ms : 0});
}

// One session per shard of `config`, made by `make(shard, index)` and told its shard; null for a
// disabled shard, so that indexes stay shard numbers.
template <typename Session, typename Config, typename Make>
std::vector<std::unique_ptr<Session>> make_sessions(const Config& config, Make&& make) {
    std::vector<std::unique_ptr<Session>> sessions;
    for (std::size_t i = 0; i < config.shards.size(); ++i) {
        if (!config.shards[i].enabled()) {
            sessions.push_back(nullptr);
            continue;
        }
        sessions.push_back(make(config.shards[i], i));
        sessions.back()->set_shard(i);
    }
    return sessions;
}

}  // namespace

TyxClusterClient::TyxClusterClient(TyxClientMultiplex& multiplex, const Cluster& cluster,
                                   asio::io_context& control, IoContextPool& pool,
                                   std::vector<std::shared_ptr<rt::RelayOutbox>> outboxes)
    : cluster_(cluster) {
    const auto& name = cluster_.name;
    const auto& publication = cluster_.publication_config;
    relays_ = make_sessions<TyxClientRelay>(publication, [&](const auto& shard, std::size_t i) {
        asio::io_context& worker = pool.get_io_context();
        return std::make_unique<TyxClientRelay>(multiplex, name, make_endpoints(cluster_.host, shard),
                                                publication, worker, sockets_for(worker, shard, publication),
                                                i < outboxes.size() ? outboxes[i] : nullptr);
    });
    const auto& database = cluster_.database_config;
    jdbcs_ = make_sessions<TyxClientJdbc>(database, [&](const auto& shard, std::size_t) {
        return std::make_unique<TyxClientJdbc>(multiplex, name, make_endpoints(cluster_.host, shard),
                                               database, control, sockets_for(control, shard, database));
    });
    const auto& subscription = cluster_.subscription_config;
    centers_ = make_sessions<TyxClientCenter>(subscription, [&](const auto& shard, std::size_t) {
        return std::make_unique<TyxClientCenter>(multiplex, name, make_endpoints(cluster_.host, shard),
                                                 subscription, control,
                                                 sockets_for(control, shard, subscription));
    });
}

std::vector<std::shared_ptr<const SessionMonitor>> TyxClusterClient::monitors() const {
    std::vector<std::shared_ptr<const SessionMonitor>> all;
    for (const auto& r : relays_)
        if (r) all.push_back(r->monitor());
    for (const auto& c : centers_)
        if (c) all.push_back(c->monitor());
    for (const auto& c : jdbcs_)
        if (c) all.push_back(c->monitor());
    return all;
}

TyxClusterClient::~TyxClusterClient() {
    centers_.clear();
    jdbcs_.clear();
    relays_.clear();
}

void TyxClusterClient::spawn_client(ITyxClient& client, asio::io_context& loop, asio::io_context& control,
                                    std::function<void()> settled) {
    (void)control;
    client.set_first_round_hook(settled);
    ++spawned_loops_;
    asio::co_spawn(
        loop,
        [&client, &loop]() -> asio::awaitable<void> {
            // A failed first login or handshake is reported by the client; its receive loop
            // then finds the connection lost and reconnects like after any later loss.
            try {
                co_await client.connect(loop);
            } catch (const std::exception&) {
            }
            client.first_round_done();
            co_await client.receive_loop();
        },
        [&client, finished = finished_loops_](std::exception_ptr) {
            // Whatever ended the loop (a stop, a failed login, a lost connection without
            // reconnection), a waiting start must not wait for this client any longer.
            client.first_round_done();
            finished->count.fetch_add(1);
            asio::post(finished->signal.get_executor(), [finished] { finished->signal.cancel(); });
        });
}

asio::awaitable<void> TyxClusterClient::start(asio::io_context& control) {
    finished_loops_ = std::make_shared<LoopsEnded>(control);
    spawned_loops_ = 0;

    std::size_t clients = 0;
    for (const auto& c : centers_) clients += c != nullptr;
    for (const auto& c : jdbcs_) clients += c != nullptr;
    for (const auto& c : relays_) clients += c != nullptr;
    auto settled = std::make_shared<Countdown>(control.get_executor(), clients);
    auto arrive = [settled] { Countdown::arrive_from(settled); };

    // Each client connects on its own, so a shard that cannot be reached delays nobody else.
    for (auto& c : centers_)
        if (c) spawn_client(*c, control, control, arrive);
    for (auto& c : jdbcs_)
        if (c) spawn_client(*c, control, control, arrive);
    for (auto& r : relays_)
        if (r) spawn_client(*r, r->io_context(), control, arrive);
    co_await settled->wait();
}

asio::awaitable<void> TyxClusterClient::for_each_relay_on_worker(
    asio::any_io_executor executor, std::function<asio::awaitable<void>(TyxClientRelay&)> fn) {
    std::vector<TyxClientRelay*> relays;
    for (auto& r : relays_)
        if (r) relays.push_back(r.get());
    if (relays.empty()) co_return;
    auto done = std::make_shared<Countdown>(executor, relays.size());
    for (TyxClientRelay* relay : relays) {
        asio::co_spawn(
            relay->io_context(), [relay, fn]() -> asio::awaitable<void> { co_await fn(*relay); },
            [done](std::exception_ptr) { Countdown::arrive_from(done); });
    }
    co_await done->wait();
}

asio::awaitable<void> TyxClusterClient::stop() {
    auto executor = co_await asio::this_coro::executor;
    co_await for_each_relay_on_worker(executor, [](TyxClientRelay& r) -> asio::awaitable<void> {
        co_await r.stop();
        r.mark_stopped();
    });
    for (auto& c : jdbcs_) {
        if (!c) continue;
        co_await c->stop();
        c->mark_stopped();
    }
    for (auto& c : centers_) {
        if (!c) continue;
        co_await c->stop();
        c->mark_stopped();
    }
    if (!finished_loops_) co_return;
    // Each loop's end is counted before the wake-up is posted here, so a wake-up cannot come
    // between the count being read and the wait being armed.
    while (finished_loops_->count.load() < spawned_loops_) {
        finished_loops_->signal.expires_at(asio::steady_timer::time_point::max());
        std::error_code ignored;
        co_await finished_loops_->signal.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

}  // namespace tyx
