// Runs a coroutine on a loop from the test thread and waits for it.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include <exception>
#include <future>
#include <utility>

namespace tyx::test {

// Runs `fn()` (returning an awaitable) on `io` and waits for it; its exception is rethrown.
template <typename F>
void run_on(asio::io_context& io, F&& fn) {
    std::promise<void> done;
    auto finished = done.get_future();
    asio::co_spawn(io, std::forward<F>(fn), [&](std::exception_ptr e) {
        if (e)
            done.set_exception(e);
        else
            done.set_value();
    });
    finished.get();
}

}  // namespace tyx::test
