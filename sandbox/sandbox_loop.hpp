// The event loop of the sandbox servers: one asio io_context run by one thread that the loop
// owns. Every server object confines its state to a loop; tests reach that state only through
// `call` (run on the loop and wait) and `wait_until` (re-check a predicate on the loop each time
// a server reports a change, until it holds or a deadline passes).
#pragma once

#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>

namespace tyx::sandbox {

class SandboxLoop {
public:
    // Starts the loop's thread at once; the loop runs until destruction.
    SandboxLoop();
    // Stops the loop and joins its thread. Servers using the loop must be destroyed first.
    ~SandboxLoop();
    SandboxLoop(const SandboxLoop&) = delete;
    SandboxLoop& operator=(const SandboxLoop&) = delete;

    asio::io_context& context() { return context_; }
    bool in_loop_thread() const { return std::this_thread::get_id() == thread_id_; }

    // Queues `job` on the loop and returns at once.
    void post(std::function<void()> job) { asio::post(context_, std::move(job)); }

    // Runs `fn` on the loop and returns its result (exceptions are rethrown here). Called on the
    // loop thread itself, it runs `fn` inline.
    template <typename F>
    auto call(F&& fn) -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if (in_loop_thread()) return fn();
        std::packaged_task<R()> task(std::forward<F>(fn));
        auto result = task.get_future();
        asio::post(context_, [&task] { task(); });
        return result.get();
    }

    // Wakes every `wait_until`; servers call it on the loop after their state changed.
    void notify_changed();

    // Evaluates `predicate` on the loop, again after every change notice, until it returns true
    // (then true) or `timeout` passes (then false). Must not be called on the loop thread.
    bool wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

private:
    asio::io_context context_;
    std::thread thread_;
    std::thread::id thread_id_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t generation_ = 0;
};

}  // namespace tyx::sandbox
