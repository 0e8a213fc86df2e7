#include "signals.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace tyx::tool {

namespace {

std::atomic<bool> graceful{false};
std::mutex mutex;
std::condition_variable stopped;
bool stop = false;

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

void block_stop_signals() {
    const sigset_t set = stop_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void watch_stop_signals() {
    std::thread([] {
        const sigset_t set = stop_set();
        for (int count = 0;; ++count) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (!graceful.load() || count > 0) _exit(130);
            std::lock_guard lock(mutex);
            stop = true;
            stopped.notify_all();
        }
    }).detach();
}

void handle_stop_signals_gracefully() {
    graceful.store(true);
}

bool stop_requested() {
    std::lock_guard lock(mutex);
    return stop;
}

bool wait_for_stop(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return stopped.wait_for(lock, timeout, [] { return stop; });
}

}  // namespace tyx::tool
