// Faults the sandbox servers inject into their own connections, so that a test (or a person at
// `tyx sandbox --faults`) sees what a client does with servers that drop, stall and misbehave.
// Every server holds one FaultInjector, driven by a FaultPlan of seeded random faults and by
// triggers a test calls; each fault injected is counted.
//
// What each fault does. A "message" is what the server reads from a client: a relay line, a
// center greeting or frame, a database request. An "answer" is what it writes: a relay status
// or command line, a center handshake reply or frame (live changes included), the database's
// version bytes, login acknowledgement or result.
//  - drop: the server closes the connection, both ways at once, right after reading a message:
//    at random with `drop_rate` per message, or once the connection has read
//    `drop_after_bytes` bytes or `drop_after_messages` messages. Checked after each read, so a
//    drop by bytes lands at the end of the read that crossed the bound. With `drop_every`, every
//    open connection is closed at random about that often, whatever it reads. What the client
//    had written that the server had not yet read is gone with the connection.
//  - stall: every connection of the server stops reading for `stall.length`, at random about
//    every `stall.every`; what clients write meanwhile fills the socket buffers, then their
//    own.
//  - delay: an answer is held back for `delay`, with `delay_rate` per answer; the answers after
//    it on that connection wait behind it, so their order holds.
//  - withhold: an answer is never sent, with `withhold_rate` per answer.
//  - refuse: the server stops listening, so new connections are refused, for `refuse.length`,
//    at random about every `refuse.every`; connections already open are not touched.
//  - truncate: only a random part of an answer, from its start, is sent; the connection goes on.
//  - garbage: 1 to 64 random bytes go out just before an answer.
//  - cut: a random part of an answer, from its start, is sent, then the connection is closed.
// Random gaps between stalls and between refusals are drawn from an exponential distribution
// of the given mean. All random choices come from one generator per server seeded by
// `SandboxFaults::seed`, so a plan repeats its choices for the same traffic.
#pragma once

#include "sandbox_loop.hpp"

#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>

namespace tyx::sandbox {

class SandboxListener;

// A fault that comes back at random: on average every `every`, lasting `length` each time.
struct FaultWindow {
    std::chrono::milliseconds every{0};  // 0: never
    std::chrono::milliseconds length{0};
    bool enabled() const { return every.count() > 0 && length.count() > 0; }
};

// The seeded random faults of one server. Rates are chances from 0 to 1; 0 turns a fault off.
struct FaultPlan {
    double drop_rate = 0;                     // per message read
    std::uint64_t drop_after_bytes = 0;       // per connection; 0: never
    std::uint64_t drop_after_messages = 0;    // per connection; 0: never
    std::chrono::milliseconds drop_every{0};  // mean gap between drops of every connection; 0: never
    FaultWindow stall;
    double delay_rate = 0;  // per answer
    std::chrono::milliseconds delay{0};
    double withhold_rate = 0;  // per answer
    FaultWindow refuse;
    double truncate_rate = 0;  // per answer
    double garbage_rate = 0;   // per answer
    double cut_rate = 0;       // per answer

    bool any() const;
};

// One plan per server kind and the seed of their generators.
struct SandboxFaults {
    std::uint64_t seed = 1;
    FaultPlan relay;
    FaultPlan center;
    FaultPlan database;

    bool any() const { return relay.any() || center.any() || database.any(); }
};

// Reads a fault plan written as `tyx sandbox --faults` takes it: parts separated by ';', each
// either `seed=N` or `KIND:SETTING,SETTING,...` with KIND relay, center, database or all, and
// SETTING one of
//   drop=RATE  drop-after-bytes=N  drop-after-messages=N  drop-every=DURATION  stall=EVERY/LENGTH
//   delay=RATE/DURATION  withhold=RATE  refuse=EVERY/LENGTH  truncate=RATE  garbage=RATE  cut=RATE
// Durations are whole milliseconds, or carry a unit: 250ms, 2s, 5m, 1h. Example:
//   seed=7;relay:drop=0.0001,stall=3s/200ms;center:garbage=0.001;database:delay=0.05/2s
// Throws std::invalid_argument naming the part that is wrong.
SandboxFaults parse_fault_plan(std::string_view text);
// The plan written back in that form ("" when it has no fault).
std::string describe_faults(const SandboxFaults& faults);

// What a server injected so far.
struct FaultCounts {
    std::uint64_t dropped = 0;    // connections closed
    std::uint64_t stalls = 0;     // reading pauses begun
    std::uint64_t delayed = 0;    // answers held back
    std::uint64_t withheld = 0;   // answers never sent
    std::uint64_t refusals = 0;   // times listening stopped
    std::uint64_t truncated = 0;  // answers sent in part, the connection left open
    std::uint64_t garbage = 0;    // runs of random bytes sent
    std::uint64_t cut = 0;        // answers sent in part, then the connection closed
    // Relay messages the server's host had received but the server had not read when it ended
    // the connection (a fault, a drop or a shutdown), thrown away with it; plain TCP only. Not
    // a fault of its own: not in total().
    std::uint64_t unread = 0;

    std::uint64_t total() const {
        return dropped + stalls + delayed + withheld + refusals + truncated + garbage + cut;
    }
    // "dropped 3, stalls 2, ..." listing only what is not 0 ("none" when nothing was injected).
    std::string describe() const;
};

// One server's faults. Control members (set_plan to counts) may be called from any thread and
// wait for the server's loop; the hooks (the rest) run on the loop, inside the server.
class FaultInjector {
public:
    using Clock = std::chrono::steady_clock;

    // What an injector keeps per connection.
    struct Connection {
        std::uint64_t bytes = 0;
        std::uint64_t messages = 0;
        std::uint64_t next_random_drop = 0;  // messages left until a random drop; 0: none drawn
        std::uint64_t plan_generation = 0;
        Clock::time_point hold_until{};                // answers wait until then
        std::optional<asio::steady_timer> hold_timer;  // for writers that wait by callback

        // Ends a wait on hold_timer at once (the connection is closing).
        void end_hold() {
            if (hold_timer) hold_timer->cancel();
        }
    };

    // What becomes of one answer.
    struct Answer {
        enum class Kind { send, withhold, truncate, garbage, cut };
        Kind kind = Kind::send;
        std::size_t keep = 0;  // truncate and cut: how many bytes from the start are sent
        std::string garbage;   // garbage: the bytes sent first
    };

    // `seed_salt` tells the servers' generators apart.
    FaultInjector(SandboxLoop& loop, FaultPlan plan, std::uint64_t seed, std::uint64_t seed_salt);
    ~FaultInjector();
    FaultInjector(const FaultInjector&) = delete;
    FaultInjector& operator=(const FaultInjector&) = delete;

    // ---- Control, any thread ----
    // Replaces the random plan; FaultPlan{} stops every random fault (a triggered one runs on).
    void set_plan(FaultPlan plan);
    FaultPlan plan() const;
    void stop() { set_plan(FaultPlan{}); }
    // Triggers: each injects its fault now, beside the plan.
    void drop_connections();                               // every open connection
    void stall_reading(std::chrono::milliseconds length);  // every connection, from now
    void hold_answers(std::chrono::milliseconds length);   // answers due in that time wait to its end
    void withhold_answers(std::uint64_t n = 1);            // the next n answers
    void refuse_connections(std::chrono::milliseconds length);
    void corrupt_next_answer(Answer::Kind kind);  // truncate, garbage or cut the next answer
    FaultCounts counts() const;

    // ---- Hooks, on the loop ----
    // The server's own pieces the injector works through: its listener (for refusals) and a
    // way to close every open connection, calling `closing` just before each close (so that
    // a drop is counted before its peer can see it); set once at start, cleared (detach)
    // before they go.
    using CloseAll = std::function<void(const std::function<void()>& closing)>;
    void attach(SandboxListener* listener, CloseAll close_all);
    void detach();
    // Before each read: waits while reading is stalled, in short steps so that a connection
    // closed meanwhile (`open` false) stops waiting at once.
    asio::awaitable<void> wait_while_stalled(std::function<bool()> open);
    // Waits until `until`, in the same short steps, or until `open` turns false.
    static asio::awaitable<void> wait_until(Clock::time_point until, std::function<bool()> open);
    // After a read of `bytes` holding `messages` whole messages: true when the connection is
    // to be dropped now (counted).
    bool after_read(Connection& connection, std::size_t bytes, std::size_t messages);
    // The server ended a connection with `messages` received by its host and never read.
    void discarded_unread(std::uint64_t messages);
    // The fate of an answer of `size` bytes; a delay moves connection.hold_until.
    Answer answer(Connection& connection, std::size_t size);
    // For a writer driven by callbacks: true when answers are held, and then `resume(ended)`
    // runs once the hold is over (ended true) or was ended by end_hold (false); false when the
    // writer may write at once.
    template <typename Resume>
    static bool hold_writer(Connection& c, const asio::any_io_executor& executor, Resume resume) {
        if (Clock::now() >= c.hold_until) return false;
        if (!c.hold_timer) c.hold_timer.emplace(executor);
        c.hold_timer->expires_at(c.hold_until);
        c.hold_timer->async_wait([resume = std::move(resume)](std::error_code ec) mutable { resume(!ec); });
        return true;
    }
    // Applies `fate` to bytes about to be sent: false when nothing is to be sent.
    template <typename Buffer>
    static bool apply(const Answer& fate, Buffer& bytes) {
        switch (fate.kind) {
            case Answer::Kind::send:
                return true;
            case Answer::Kind::withhold:
                return false;
            case Answer::Kind::truncate:
            case Answer::Kind::cut:
                bytes.resize(fate.keep);
                return true;
            case Answer::Kind::garbage:
                bytes.insert(bytes.begin(), fate.garbage.begin(), fate.garbage.end());
                return true;
        }
        return true;
    }

    struct State;

private:
    SandboxLoop& loop_;
    std::shared_ptr<State> state_;
};

}  // namespace tyx::sandbox
