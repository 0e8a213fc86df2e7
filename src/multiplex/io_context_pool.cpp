#include "multiplex/io_context_pool.hpp"

#include <cerrno>
#include <cstdlib>

namespace tyx {

std::size_t io_thread_count(const char* env_text, unsigned hardware_threads) {
    if (env_text != nullptr) {
        const unsigned long converted = std::strtoul(env_text, nullptr, 10);
        if (converted != 0) return static_cast<std::size_t>(converted);
    }
    if (hardware_threads == 0) return 4;
    return hardware_threads < 16 ? hardware_threads : 16;
}

std::size_t io_thread_count_from_environment() {
    return io_thread_count(std::getenv("TYX_IO_THREADS"), std::thread::hardware_concurrency());
}

IoContextPool::IoContextPool(std::size_t n) {
    const std::size_t count = n == 0 ? 1 : n;
    // Reserving first turns an absurd count into the library's length error before any loop
    // or thread exists.
    contexts_.reserve(count);
    work_guards_.reserve(count);
    threads_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        contexts_.push_back(std::make_unique<asio::io_context>());
        work_guards_.emplace_back(std::in_place, contexts_.back()->get_executor());
    }
    try {
        for (std::size_t i = 0; i < count; ++i) {
            asio::io_context* ctx = contexts_[i].get();
            threads_.emplace_back([ctx] { ctx->run(); });
        }
    } catch (...) {
        stop_and_join();
        throw;
    }
}

IoContextPool::~IoContextPool() {
    stop_and_join();
}

void IoContextPool::stop_and_join() {
    for (auto& guard : work_guards_) guard.reset();
    for (auto& thread : threads_)
        if (thread.joinable()) thread.join();
}

asio::io_context& IoContextPool::get_io_context() {
    const std::size_t index = next_.fetch_add(1, std::memory_order_relaxed);
    return *contexts_[index % contexts_.size()];
}

}  // namespace tyx
