// IoContextPool: the worker event loops that run the relay protocol clients. Owned by the
// multiplexer; each worker thread runs one loop. Hand-out is thread-safe (atomic cursor).
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

namespace tyx {

// The number of worker loops for a given TYX_IO_THREADS text (null when the variable is
// unset) and processor count as the thread library reports it. The text converts as strtoul
// does in base 10; unset, or a conversion giving 0, means the processor count capped at 16,
// or 4 when the count is 0. A non-zero conversion is used unchanged.
std::size_t io_thread_count(const char* env_text, unsigned hardware_threads);

// io_thread_count for this process: reads TYX_IO_THREADS and std::thread::hardware_concurrency.
std::size_t io_thread_count_from_environment();

class IoContextPool {
public:
    // Builds max(n, 1) loops, each kept alive by a work guard, then starts one thread per
    // loop in index order. If a thread cannot be started, the started ones are stopped and
    // joined before the error leaves.
    explicit IoContextPool(std::size_t n);
    ~IoContextPool();

    IoContextPool(const IoContextPool&) = delete;
    IoContextPool& operator=(const IoContextPool&) = delete;

    // The next loop, round-robin: consecutive calls get consecutive workers, wrapping around.
    asio::io_context& get_io_context();

    std::size_t size() const { return contexts_.size(); }
    asio::io_context& context(std::size_t index) { return *contexts_.at(index); }

private:
    using WorkGuard = asio::executor_work_guard<asio::io_context::executor_type>;

    void stop_and_join();

    std::vector<std::unique_ptr<asio::io_context>> contexts_;
    std::vector<std::optional<WorkGuard>> work_guards_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
};

}  // namespace tyx
