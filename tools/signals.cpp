#include "signals.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace tyx::tool {

namespace {

std::atomic<bool> graceful{false};
std::mutex mutex;
std::condition_variable stopped;
bool stop = false;

std::function<void()> report;  // guarded by mutex

// The signals the watcher thread takes: the stop signals and SIGUSR1.
sigset_t watched_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGUSR1);
    return set;
}

}  // namespace

void block_stop_signals() {
    const sigset_t set = watched_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void watch_stop_signals() {
    std::thread([] {
        const sigset_t set = watched_set();
        for (int count = 0;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (signal == SIGUSR1) {
                std::lock_guard lock(mutex);
                if (report) report();
                continue;
            }
            if (!graceful.load() || count++ > 0) _exit(130);
            std::lock_guard lock(mutex);
            stop = true;
            stopped.notify_all();
        }
    }).detach();
}

void handle_stop_signals_gracefully() {
    graceful.store(true);
}

void on_report_signal(std::function<void()> handler) {
    std::lock_guard lock(mutex);
    report = std::move(handler);
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
