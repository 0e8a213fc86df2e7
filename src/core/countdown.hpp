// Countdown: a latch that one coroutine awaits while a known number of jobs arrive at it. It
// lives on the loop of the waiting coroutine; jobs on other loops arrive through `arrive_from`.
#pragma once

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <cstddef>
#include <memory>
#include <system_error>

namespace tyx {

class Countdown {
public:
    Countdown(const asio::any_io_executor& executor, std::size_t count)
        : remaining_(count), signal_(executor) {
        signal_.expires_at(asio::steady_timer::time_point::max());
    }

    // One job done; on the countdown's loop.
    void arrive() {
        if (remaining_ > 0 && --remaining_ == 0) signal_.cancel();
    }
    // The same from any thread: the arrival is posted to the countdown's loop, so none can
    // land before the wait is armed.
    static void arrive_from(const std::shared_ptr<Countdown>& countdown) {
        asio::post(countdown->signal_.get_executor(), [countdown] { countdown->arrive(); });
    }
    // Returns once every job has arrived (at once when none was expected).
    asio::awaitable<void> wait() {
        if (remaining_ == 0) co_return;
        std::error_code ignored;
        co_await signal_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

    // The same, giving up at `deadline`: true when every job has arrived.
    asio::awaitable<bool> wait_until(asio::steady_timer::time_point deadline) {
        if (remaining_ == 0) co_return true;
        signal_.expires_at(deadline);
        std::error_code ignored;
        co_await signal_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        co_return remaining_ == 0;
    }

private:
    std::size_t remaining_;
    asio::steady_timer signal_;  // never expires; the last arrival cancels it
};

}  // namespace tyx
