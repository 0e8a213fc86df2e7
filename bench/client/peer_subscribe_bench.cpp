// The peer beside which subscribe_bench.cpp measures the library's live updates: a nats.c
// subscriber counting the messages of an asynchronous subscription, fed by a second nats.c
// connection publishing 70-byte messages on its subject, through a nats-server this benchmark
// starts on a free loopback port and stops at the end. Each iteration publishes as many messages
// as the library's batch has rows and waits until the subscriber has had them all, so no more
// than one batch is ever in flight.
#include <benchmark/benchmark.h>
#include <nats/nats.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "support/count_waiter.hpp"
#include "support/nats_server.hpp"

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kMessagesPerBatch = 20000;  // the rows of one batch in subscribe_bench.cpp
constexpr int kPayloadBytes = 70;                  // about one row on the center's wire
constexpr const char* kSubject = "bench.quotes";

// Runs on the subscription's delivery thread.
void count_message(natsConnection*, natsSubscription*, natsMsg* message, void* closure) {
    static_cast<tyx::bench::CountWaiter*>(closure)->add();
    natsMsg_Destroy(message);
}

// The two connections and the subscription, released in reverse order of creation.
struct PeerClients {
    natsOptions* options = nullptr;
    natsConnection* subscriber = nullptr;
    natsConnection* publisher = nullptr;
    natsSubscription* subscription = nullptr;

    ~PeerClients() {
        if (subscription) natsSubscription_Destroy(subscription);
        if (publisher) natsConnection_Destroy(publisher);
        if (subscriber) natsConnection_Destroy(subscriber);
        if (options) natsOptions_Destroy(options);
    }

    natsStatus connect(const std::string& url, tyx::bench::CountWaiter& received) {
        natsStatus s = natsOptions_Create(&options);
        if (s == NATS_OK) s = natsOptions_SetURL(options, url.c_str());
        if (s == NATS_OK) s = natsOptions_SetAllowReconnect(options, false);
        if (s == NATS_OK) s = natsConnection_Connect(&subscriber, options);
        if (s == NATS_OK) s = natsConnection_Connect(&publisher, options);
        if (s == NATS_OK)
            s = natsConnection_Subscribe(&subscription, subscriber, kSubject, count_message, &received);
        // Far above the one batch in flight: nothing may be dropped for the client's sake.
        if (s == NATS_OK)
            s = natsSubscription_SetPendingLimits(subscription, static_cast<int>(16 * kMessagesPerBatch),
                                                  static_cast<int>(64 * kMessagesPerBatch * kPayloadBytes));
        // The round trip makes sure the server has the subscription before anything is published.
        if (s == NATS_OK) s = natsConnection_FlushTimeout(subscriber, 5000);
        return s;
    }

    std::int64_t dropped() const {
        int64_t n = 0;
        natsSubscription_GetDropped(subscription, &n);
        return n;
    }
};

void BM_PeerSubscribe(benchmark::State& state) {
    const auto binary = tyx::bench::find_nats_server();
    if (!binary) return state.SkipWithError("nats-server not found (scripts/install-bench-deps installs it)");
    tyx::bench::NatsServerProcess server;
    if (!server.start(*binary))
        return state.SkipWithError("nats-server did not start accepting on loopback within 5 s");
    // Declared before the clients, so that it outlives the subscription counting into it.
    tyx::bench::CountWaiter received;
    PeerClients peer;
    if (const natsStatus s = peer.connect(server.url(), received); s != NATS_OK)
        return state.SkipWithError(natsStatus_GetText(s));

    const std::string payload(kPayloadBytes, 'q');
    std::int64_t goal = 0;
    natsStatus failure = NATS_OK;
    const auto deliver = [&] {
        goal += kMessagesPerBatch;
        received.expect(goal);
        for (std::int64_t i = 0; i < kMessagesPerBatch; ++i) {
            const natsStatus s =
                natsConnection_Publish(peer.publisher, kSubject, payload.data(), kPayloadBytes);
            if (s != NATS_OK) failure = s;
        }
        return failure == NATS_OK && received.wait_until(std::chrono::steady_clock::now() + 30s);
    };
    bool delivered = deliver();  // untimed warm-up
    if (delivered)
        for (auto _ : state)
            if (!(delivered = deliver())) break;
    if (failure != NATS_OK) return state.SkipWithError(natsStatus_GetText(failure));
    if (peer.dropped() != 0) return state.SkipWithError("the subscriber dropped messages");
    if (!delivered) return state.SkipWithError("messages missing after 30 s");
    state.SetItemsProcessed(state.iterations() * kMessagesPerBatch);
    state.SetBytesProcessed(state.iterations() * kMessagesPerBatch * kPayloadBytes);
}
BENCHMARK(BM_PeerSubscribe)->Iterations(60)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
