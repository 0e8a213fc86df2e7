// A count raised by one thread (a listener, a socket reader, a messaging client's callback) and
// waited on by the benchmark's thread until it reaches a goal, with a deadline. The waiter sleeps
// on a condition variable rather than spinning: on a small machine a spinning waiter takes a
// core from the threads doing the work. While the goal is ahead, counting costs a load and a
// store; only the step that reaches the goal takes the lock, to wake the waiter.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <limits>
#include <mutex>

namespace tyx::bench {

class CountWaiter {
public:
    // From the one thread that counts.
    void add(std::int64_t n = 1) {
        // Sequentially consistent on both sides: either this step sees the goal the waiter has
        // just set, or the waiter's check sees this step's count.
        const std::int64_t now = count_.load(std::memory_order_relaxed) + n;
        count_.store(now);
        if (now >= goal_.load()) {
            std::lock_guard lock(mutex_);
            reached_.notify_all();
        }
    }

    std::int64_t count() const { return count_.load(); }

    // Sets the goal. Call it before handing over the work that reaches it: a goal left behind
    // the count would make every step take the lock.
    void expect(std::int64_t goal) { goal_.store(goal); }

    // Waits until the count reaches the expected goal; false when it was still short of it at
    // `deadline`.
    bool wait_until(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock lock(mutex_);
        return reached_.wait_until(lock, deadline, [&] { return count() >= goal_.load(); });
    }

private:
    std::atomic<std::int64_t> count_{0};
    std::atomic<std::int64_t> goal_{std::numeric_limits<std::int64_t>::max()};
    std::mutex mutex_;
    std::condition_variable reached_;
};

}  // namespace tyx::bench
