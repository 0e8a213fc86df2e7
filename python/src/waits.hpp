// Waits of Python threads for the library: a Completion that a library callback fills on the
// notification thread, and the WaitBoard of one TyxClient, through which close() releases every
// thread still waiting. A waiting thread holds no GIL and no reference to the Client; it wakes at
// least every 100 ms to let Python run its signal handlers (Ctrl-C raises KeyboardInterrupt).
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>

namespace tyx::python {

namespace py = pybind11;

// Something a close wakes. release() is called under the board's lock: it must only note the
// reason and wake, never call back into the board.
class Releasable {
public:
    virtual ~Releasable() = default;
    virtual void release(const std::string& reason) = 0;
};

// The waits of one TyxClient; any thread.
class WaitBoard {
public:
    // False when the board is closed already (the waiter is released at once instead).
    bool enter(Releasable* waiter) {
        std::lock_guard lock(mutex_);
        if (closed_) return false;
        waiting_.insert(waiter);
        return true;
    }
    void leave(Releasable* waiter) {
        std::lock_guard lock(mutex_);
        waiting_.erase(waiter);
    }
    // Releases every waiter, now and later, telling each `owner` + " was closed while " + its
    // call waited.
    void close(std::string owner) {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        closed_ = true;
        owner_ = std::move(owner);
        for (Releasable* waiter : waiting_) waiter->release(owner_);
        waiting_.clear();
    }
    std::string owner() const {
        std::lock_guard lock(mutex_);
        return owner_;
    }

private:
    mutable std::mutex mutex_;
    std::set<Releasable*> waiting_;
    bool closed_ = false;
    std::string owner_;
};

// Keeps a waiter on a board for a scope.
class BoardEntry {
public:
    BoardEntry(std::shared_ptr<WaitBoard> board, Releasable& waiter)
        : board_(std::move(board)), waiter_(waiter) {
        if (!board_->enter(&waiter_)) waiter_.release(board_->owner());
    }
    ~BoardEntry() { board_->leave(&waiter_); }
    BoardEntry(const BoardEntry&) = delete;
    BoardEntry& operator=(const BoardEntry&) = delete;

private:
    std::shared_ptr<WaitBoard> board_;
    Releasable& waiter_;
};

// How often a waiting thread looks at Python's signals.
inline constexpr std::chrono::milliseconds kSignalLook{100};

// Takes the GIL for a moment and runs Python's signal handlers; a handler that raised (Ctrl-C's
// KeyboardInterrupt) raises here. Only the main thread runs them, as in Python itself.
inline void check_signals() {
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// One call's outcome, filled once by a library callback (the first fill wins); shared, so that a
// callback coming after its waiter gave up is harmless. T must be destructible without the GIL.
template <typename T>
class Completion final : public Releasable {
public:
    void finish(T value) {
        std::lock_guard lock(mutex_);
        if (value_) return;
        value_.emplace(std::move(value));
        changed_.notify_all();
    }
    void release(const std::string& reason) override {
        std::lock_guard lock(mutex_);
        if (released_) return;
        released_ = reason;
        changed_.notify_all();
    }

    // Waits with the GIL released for the value; raises RuntimeError ("<owner> was closed while
    // <call> waited") when released first, and what a signal handler raised. `board` releases
    // this wait when its client closes.
    T wait(const std::shared_ptr<WaitBoard>& board, const char* call) {
        BoardEntry entry(board, *this);
        py::gil_scoped_release nogil;
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait_for(lock, kSignalLook, [&] { return value_ || released_; });
            if (value_) return std::move(*value_);
            if (released_) throw std::runtime_error(*released_ + " was closed while " + call + " waited");
            lock.unlock();
            check_signals();
            lock.lock();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<T> value_;
    std::optional<std::string> released_;
};

}  // namespace tyx::python
