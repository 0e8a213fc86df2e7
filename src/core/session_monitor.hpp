// SessionMonitor: what one shard session reports about itself. The session changes its state
// on its own loop and counts its traffic; health() reads a snapshot from any thread. The state
// (rarely changed) sits under a mutex, the counters are relaxed atomics.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tyx/config.hpp"
#include "tyx/health.hpp"

namespace tyx {

// A LatencyHistogram kept with relaxed atomics.
class AtomicHistogram {
public:
    void add(std::chrono::nanoseconds duration);
    LatencyHistogram snapshot() const;

private:
    std::array<std::atomic<std::uint64_t>, LatencyHistogram::kBoundsUs.size() + 1> counts_{};
    std::atomic<std::uint64_t> sum_us_{0};
};

class SessionMonitor {
public:
    SessionMonitor(std::string cluster, SessionKind kind, std::size_t shard, std::vector<Endpoint> endpoints);

    const std::string& cluster() const { return cluster_; }
    SessionKind kind() const { return kind_; }
    std::size_t shard() const { return shard_; }
    // Before the monitor is shared.
    void set_shard(std::size_t shard) { shard_ = shard; }

    // The session's loop: records the new state and returns the event that tells it.
    // `endpoint` indexes the shard's endpoint list; `cause` and `reason` say what failed, if
    // anything (a reason also becomes the last error).
    SessionStateEvent enter(SessionState state, std::size_t endpoint, StateCause cause = StateCause::none,
                            std::string reason = {}, std::uint32_t attempt = 0,
                            std::chrono::milliseconds pause = {}, std::uint32_t repeated = 0);
    void count_attempt() { attempts_.fetch_add(1, std::memory_order_relaxed); }

    // Relay sessions: where the relay counters are read (the outbox keeps them).
    void set_relay_counters(std::function<RelayCounters()> read) { relay_counters_ = std::move(read); }

    // Input that could not be understood, any kind.
    std::atomic<std::uint64_t> unexpected_inputs{0};
    // Center counters.
    std::atomic<std::uint64_t> frames_received{0};
    std::atomic<std::uint64_t> updates_received{0};
    std::atomic<std::uint64_t> decode_errors{0};
    std::atomic<std::uint64_t> updates_delivered{0};
    std::atomic<std::uint64_t> snapshot_answers{0};
    AtomicHistogram snapshot_latency;
    // Database counters.
    std::atomic<std::uint64_t> requests{0};
    std::atomic<std::uint64_t> failures{0};
    std::atomic<std::uint64_t> retries{0};
    std::atomic<std::uint64_t> unknown_outcomes{0};
    AtomicHistogram response_time;

    // Any thread.
    SessionHealth snapshot() const;

private:
    SessionEndpoint endpoint_at(std::size_t index) const;

    const std::string cluster_;
    const SessionKind kind_;
    std::size_t shard_;
    const std::vector<Endpoint> endpoints_;
    std::function<RelayCounters()> relay_counters_;
    std::atomic<std::uint64_t> attempts_{0};

    mutable std::mutex mutex_;
    SessionState state_ = SessionState::connecting;
    std::chrono::system_clock::time_point since_ = std::chrono::system_clock::now();
    std::size_t endpoint_ = 0;
    std::uint64_t logins_ = 0;
    std::string last_error_;
};

}  // namespace tyx
