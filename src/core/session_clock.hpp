// SessionClock and SessionTimer: the clock and timer of every pause and deadline of the protocol
// clients. The clock is the steady clock, moved forward by whatever a test skipped; nothing else
// moves it, so outside tests it is the steady clock itself. Any thread.
#pragma once

#include <asio/basic_waitable_timer.hpp>

#include <atomic>
#include <chrono>

namespace tyx {

struct SessionClock {
    using duration = std::chrono::steady_clock::duration;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<SessionClock>;
    static constexpr bool is_steady = true;

    static time_point now() noexcept {
        return time_point(std::chrono::steady_clock::now().time_since_epoch() +
                          duration(skipped_.load(std::memory_order_relaxed)));
    }

    // Moves the clock forward for every timer at once, so a test runs a back-off or a deadline
    // without waiting for it. A timer already armed notices once its loop next looks at its
    // timers (arming any timer of this clock makes it look).
    static void skip(duration d) noexcept { skipped_.fetch_add(d.count(), std::memory_order_relaxed); }

private:
    static inline std::atomic<rep> skipped_{0};
};

using SessionTimer = asio::basic_waitable_timer<SessionClock>;

}  // namespace tyx
