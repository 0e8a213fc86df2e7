#include "sandbox_loop.hpp"

#include <asio/executor_work_guard.hpp>

#include <stdexcept>

namespace tyx::sandbox {

SandboxLoop::SandboxLoop() {
    std::promise<std::thread::id> started;
    auto id = started.get_future();
    thread_ = std::thread([this, &started] {
        started.set_value(std::this_thread::get_id());
        auto guard = asio::make_work_guard(context_);
        for (;;) {
            try {
                context_.run();
                break;
            } catch (...) {
                // A handler that throws must not take the whole sandbox down; keep serving.
            }
        }
    });
    thread_id_ = id.get();
}

SandboxLoop::~SandboxLoop() {
    context_.stop();
    if (thread_.joinable()) thread_.join();
}

void SandboxLoop::notify_changed() {
    {
        std::lock_guard lock(mutex_);
        ++generation_;
    }
    changed_.notify_all();
}

bool SandboxLoop::wait_until(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    if (in_loop_thread()) throw std::logic_error("SandboxLoop::wait_until called on the sandbox loop");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::uint64_t seen;
        {
            std::lock_guard lock(mutex_);
            seen = generation_;
        }
        // The generation is read before the predicate runs, so a change made while it runs
        // is never missed by the wait below.
        if (call([&] { return predicate(); })) return true;
        std::unique_lock lock(mutex_);
        if (!changed_.wait_until(lock, deadline, [&] { return generation_ != seen; })) return false;
    }
}

}  // namespace tyx::sandbox
