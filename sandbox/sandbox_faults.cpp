#include "sandbox_faults.hpp"

#include "sandbox_listener.hpp"

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>
#include <charconv>
#include <deque>
#include <stdexcept>
#include <vector>

namespace tyx::sandbox {

using namespace std::chrono_literals;

bool FaultPlan::any() const {
    return drop_rate > 0 || drop_after_bytes > 0 || drop_after_messages > 0 || drop_every.count() > 0 ||
           stall.enabled() || (delay_rate > 0 && delay.count() > 0) || withhold_rate > 0 ||
           refuse.enabled() || truncate_rate > 0 || garbage_rate > 0 || cut_rate > 0;
}

// ---- The written form ----

namespace {

std::vector<std::string_view> split(std::string_view text, char at) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto end = text.find(at);
        parts.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return parts;
        text.remove_prefix(end + 1);
    }
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

[[noreturn]] void bad(std::string_view part, std::string_view why) {
    throw std::invalid_argument("fault plan '" + std::string(part) + "': " + std::string(why));
}

std::uint64_t read_count(std::string_view part, std::string_view text) {
    std::uint64_t n = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size())
        bad(part, "not a whole number: " + std::string(text));
    return n;
}

double read_rate(std::string_view part, std::string_view text) {
    double r = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), r);
    if (ec != std::errc() || end != text.data() + text.size() || !(r >= 0 && r <= 1))
        bad(part, "a rate is a number from 0 to 1, not " + std::string(text));
    return r;
}

// A whole number of milliseconds, or of the unit after it: ms, s, m (minutes) or h.
std::chrono::milliseconds read_duration(std::string_view part, std::string_view text) {
    std::uint64_t scale = 1;
    if (text.size() > 2 && text.substr(text.size() - 2) == "ms") {
        text.remove_suffix(2);
    } else if (text.size() > 1 && (text.back() == 's' || text.back() == 'm' || text.back() == 'h')) {
        scale = text.back() == 's' ? 1000 : text.back() == 'm' ? 60'000 : 3'600'000;
        text.remove_suffix(1);
    }
    const std::uint64_t n = read_count(part, text);
    if (n > std::uint64_t{365} * 24 * 3'600'000 / scale)
        bad(part, "a duration longer than a year: " + std::string(text));
    return std::chrono::milliseconds(n * scale);
}

std::pair<std::string_view, std::string_view> pair_of(std::string_view part, std::string_view text) {
    const auto slash = text.find('/');
    if (slash == std::string_view::npos) bad(part, "wants two values, A/B");
    return {text.substr(0, slash), text.substr(slash + 1)};
}

void set_fault(FaultPlan& plan, std::string_view part, std::string_view setting) {
    const auto eq = setting.find('=');
    if (eq == std::string_view::npos) bad(part, "a setting is NAME=VALUE: " + std::string(setting));
    const auto name = trim(setting.substr(0, eq));
    const auto value = trim(setting.substr(eq + 1));
    if (name == "drop") {
        plan.drop_rate = read_rate(part, value);
    } else if (name == "drop-after-bytes") {
        plan.drop_after_bytes = read_count(part, value);
    } else if (name == "drop-after-messages") {
        plan.drop_after_messages = read_count(part, value);
    } else if (name == "drop-every") {
        plan.drop_every = read_duration(part, value);
    } else if (name == "stall" || name == "refuse") {
        const auto [every, length] = pair_of(part, value);
        FaultWindow w{read_duration(part, every), read_duration(part, length)};
        (name == "stall" ? plan.stall : plan.refuse) = w;
    } else if (name == "delay") {
        const auto [rate, length] = pair_of(part, value);
        plan.delay_rate = read_rate(part, rate);
        plan.delay = read_duration(part, length);
    } else if (name == "withhold") {
        plan.withhold_rate = read_rate(part, value);
    } else if (name == "truncate") {
        plan.truncate_rate = read_rate(part, value);
    } else if (name == "garbage") {
        plan.garbage_rate = read_rate(part, value);
    } else if (name == "cut") {
        plan.cut_rate = read_rate(part, value);
    } else {
        bad(part, "unknown fault " + std::string(name) +
                      " (drop, drop-after-bytes, drop-after-messages, drop-every, stall, delay, withhold, "
                      "refuse, truncate, "
                      "garbage, cut)");
    }
}

std::string ms(std::chrono::milliseconds d) {
    return std::to_string(d.count()) + "ms";
}

std::string rate(double r) {
    char text[32];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, r);
    return std::string(text, ec == std::errc() ? end : text);
}

std::string describe_plan(const FaultPlan& p) {
    std::vector<std::string> settings;
    if (p.drop_rate > 0) settings.push_back("drop=" + rate(p.drop_rate));
    if (p.drop_after_bytes > 0) settings.push_back("drop-after-bytes=" + std::to_string(p.drop_after_bytes));
    if (p.drop_after_messages > 0)
        settings.push_back("drop-after-messages=" + std::to_string(p.drop_after_messages));
    if (p.drop_every.count() > 0) settings.push_back("drop-every=" + ms(p.drop_every));
    if (p.stall.enabled()) settings.push_back("stall=" + ms(p.stall.every) + "/" + ms(p.stall.length));
    if (p.delay_rate > 0 && p.delay.count() > 0)
        settings.push_back("delay=" + rate(p.delay_rate) + "/" + ms(p.delay));
    if (p.withhold_rate > 0) settings.push_back("withhold=" + rate(p.withhold_rate));
    if (p.refuse.enabled()) settings.push_back("refuse=" + ms(p.refuse.every) + "/" + ms(p.refuse.length));
    if (p.truncate_rate > 0) settings.push_back("truncate=" + rate(p.truncate_rate));
    if (p.garbage_rate > 0) settings.push_back("garbage=" + rate(p.garbage_rate));
    if (p.cut_rate > 0) settings.push_back("cut=" + rate(p.cut_rate));
    std::string text;
    for (const auto& s : settings) text += (text.empty() ? "" : ",") + s;
    return text;
}

}  // namespace

SandboxFaults parse_fault_plan(std::string_view text) {
    SandboxFaults faults;
    for (auto part : split(text, ';')) {
        part = trim(part);
        if (part.empty()) continue;
        if (part.substr(0, 5) == "seed=") {
            faults.seed = read_count(part, trim(part.substr(5)));
            continue;
        }
        const auto colon = part.find(':');
        if (colon == std::string_view::npos) bad(part, "a part is seed=N or KIND:SETTINGS");
        const auto kind = trim(part.substr(0, colon));
        std::vector<FaultPlan*> plans;
        if (kind == "relay" || kind == "all") plans.push_back(&faults.relay);
        if (kind == "center" || kind == "all") plans.push_back(&faults.center);
        if (kind == "database" || kind == "all") plans.push_back(&faults.database);
        if (plans.empty())
            bad(part, "unknown server " + std::string(kind) + " (relay, center, database or all)");
        for (auto setting : split(part.substr(colon + 1), ',')) {
            if (trim(setting).empty()) continue;
            for (auto* plan : plans) set_fault(*plan, part, setting);
        }
    }
    return faults;
}

std::string describe_faults(const SandboxFaults& faults) {
    if (!faults.any()) return "";
    std::string text = "seed=" + std::to_string(faults.seed);
    const std::pair<const char*, const FaultPlan*> kinds[] = {
        {"relay", &faults.relay}, {"center", &faults.center}, {"database", &faults.database}};
    for (const auto& [name, plan] : kinds)
        if (plan->any()) text += std::string(";") + name + ":" + describe_plan(*plan);
    return text;
}

std::string FaultCounts::describe() const {
    const std::pair<const char*, std::uint64_t> all[] = {
        {"dropped", dropped},   {"stalls", stalls},     {"delayed", delayed},
        {"withheld", withheld}, {"refusals", refusals}, {"truncated", truncated},
        {"garbage", garbage},   {"cut", cut},           {"unread", unread}};
    std::string text;
    for (const auto& [name, n] : all)
        if (n > 0) text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(n);
    return text.empty() ? "none" : text;
}

// ---- The injector ----

struct FaultInjector::State {
    explicit State(asio::io_context& io) : stall_timer(io), refuse_timer(io), drop_timer(io) {}

    FaultPlan plan;
    std::uint64_t generation = 1;
    std::mt19937_64 random;
    Clock::time_point stalled_until{};
    Clock::time_point hold_window_until{};
    std::uint64_t withhold_pending = 0;
    std::deque<Answer::Kind> corrupt_pending;
    SandboxListener* listener = nullptr;
    CloseAll close_all;

    // Closes every open connection, counting each drop first.
    void drop_all() {
        if (close_all) close_all([this] { ++dropped; });
    }
    asio::steady_timer stall_timer;
    asio::steady_timer refuse_timer;
    asio::steady_timer drop_timer;

    std::atomic<std::uint64_t> dropped{0}, stalls{0}, delayed{0}, withheld{0}, refusals{0}, truncated{0},
        garbage{0}, cut{0}, unread{0};

    bool chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(random) < p; }

    Clock::duration gap(std::chrono::milliseconds mean) {
        const double ms =
            std::exponential_distribution<double>(1.0 / static_cast<double>(mean.count()))(random);
        return std::chrono::microseconds(static_cast<std::int64_t>(ms * 1000));
    }

    void refuse(std::chrono::milliseconds length) {
        if (listener != nullptr && listener->refuse_for(length)) ++refusals;
    }

    enum class Timed { stall, refuse, drop };

    // Arms the timer of one fault that comes at random gaps; each firing injects it and arms
    // the next.
    static void schedule(const std::shared_ptr<State>& self, Timed what) {
        const auto& p = self->plan;
        const auto every = what == Timed::stall    ? (p.stall.enabled() ? p.stall.every : 0ms)
                           : what == Timed::refuse ? (p.refuse.enabled() ? p.refuse.every : 0ms)
                                                   : p.drop_every;
        if (every.count() <= 0) return;
        auto& timer = self->timer(what);
        timer.expires_after(self->gap(every));
        timer.async_wait([self, what, generation = self->generation](std::error_code ec) {
            if (ec || generation != self->generation) return;
            switch (what) {
                case Timed::stall:
                    self->stalled_until =
                        std::max(self->stalled_until, Clock::now() + self->plan.stall.length);
                    ++self->stalls;
                    break;
                case Timed::refuse:
                    self->refuse(self->plan.refuse.length);
                    break;
                case Timed::drop:
                    self->drop_all();
                    break;
            }
            schedule(self, what);
        });
    }

    asio::steady_timer& timer(Timed what) {
        return what == Timed::stall ? stall_timer : what == Timed::refuse ? refuse_timer : drop_timer;
    }

    void cancel_timers() {
        stall_timer.cancel();
        refuse_timer.cancel();
        drop_timer.cancel();
    }

    static void start_plan(const std::shared_ptr<State>& self, FaultPlan plan) {
        self->plan = plan;
        ++self->generation;
        self->cancel_timers();
        for (auto what : {Timed::stall, Timed::refuse, Timed::drop}) schedule(self, what);
    }
};

FaultInjector::FaultInjector(SandboxLoop& loop, FaultPlan plan, std::uint64_t seed, std::uint64_t seed_salt)
    : loop_(loop), state_(std::make_shared<State>(loop.context())) {
    state_->random.seed(seed * 0x9E3779B97F4A7C15ull + seed_salt);
    loop_.call([&] { State::start_plan(state_, plan); });
}

FaultInjector::~FaultInjector() {
    loop_.call([state = state_] {
        ++state->generation;
        state->cancel_timers();
        state->listener = nullptr;
        state->close_all = nullptr;
    });
}

void FaultInjector::set_plan(FaultPlan plan) {
    loop_.call([&] { State::start_plan(state_, plan); });
}

FaultPlan FaultInjector::plan() const {
    return loop_.call([&] { return state_->plan; });
}

void FaultInjector::drop_connections() {
    loop_.call([&] { state_->drop_all(); });
}

void FaultInjector::stall_reading(std::chrono::milliseconds length) {
    loop_.call([&] {
        state_->stalled_until = std::max(state_->stalled_until, Clock::now() + length);
        ++state_->stalls;
    });
}

void FaultInjector::hold_answers(std::chrono::milliseconds length) {
    loop_.call(
        [&] { state_->hold_window_until = std::max(state_->hold_window_until, Clock::now() + length); });
}

void FaultInjector::withhold_answers(std::uint64_t n) {
    loop_.call([&] { state_->withhold_pending += n; });
}

void FaultInjector::refuse_connections(std::chrono::milliseconds length) {
    loop_.call([&] { state_->refuse(length); });
}

void FaultInjector::corrupt_next_answer(Answer::Kind kind) {
    loop_.call([&] { state_->corrupt_pending.push_back(kind); });
}

void FaultInjector::discarded_unread(std::uint64_t messages) {
    state_->unread += messages;
}

FaultCounts FaultInjector::counts() const {
    const State& s = *state_;
    return FaultCounts{s.dropped,   s.stalls,  s.delayed, s.withheld, s.refusals,
                       s.truncated, s.garbage, s.cut,     s.unread};
}

void FaultInjector::attach(SandboxListener* listener, CloseAll close_all) {
    state_->listener = listener;
    state_->close_all = std::move(close_all);
}

void FaultInjector::detach() {
    state_->listener = nullptr;
    state_->close_all = nullptr;
}

asio::awaitable<void> FaultInjector::wait_while_stalled(std::function<bool()> open) {
    const auto state = state_;
    // A stall may grow while it lasts: look again at its end once it has passed.
    for (auto until = state->stalled_until; open() && Clock::now() < until; until = state->stalled_until)
        co_await wait_until(until, open);
}

asio::awaitable<void> FaultInjector::wait_until(Clock::time_point until, std::function<bool()> open) {
    if (Clock::now() >= until) co_return;
    asio::steady_timer timer(co_await asio::this_coro::executor);
    for (auto now = Clock::now(); open() && now < until; now = Clock::now()) {
        timer.expires_after(std::min<Clock::duration>(until - now, 20ms));
        std::error_code ignored;
        co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

bool FaultInjector::after_read(Connection& c, std::size_t bytes, std::size_t messages) {
    State& s = *state_;
    c.bytes += bytes;
    c.messages += messages;
    bool drop = (s.plan.drop_after_bytes > 0 && c.bytes >= s.plan.drop_after_bytes) ||
                (s.plan.drop_after_messages > 0 && c.messages >= s.plan.drop_after_messages);
    if (s.plan.drop_rate > 0 && messages > 0) {
        if (c.plan_generation != s.generation || c.next_random_drop == 0) {
            c.next_random_drop = 1 + std::geometric_distribution<std::uint64_t>(s.plan.drop_rate)(s.random);
            c.plan_generation = s.generation;
        }
        if (messages >= c.next_random_drop)
            drop = true;
        else
            c.next_random_drop -= messages;
    }
    if (!drop) return false;
    c.next_random_drop = 0;
    ++s.dropped;
    return true;
}

FaultInjector::Answer FaultInjector::answer(Connection& c, std::size_t size) {
    State& s = *state_;
    const auto now = Clock::now();
    if (now < s.hold_window_until) {
        c.hold_until = std::max(c.hold_until, s.hold_window_until);
        ++s.delayed;
    } else if (s.plan.delay.count() > 0 && s.chance(s.plan.delay_rate)) {
        c.hold_until = std::max(c.hold_until, now + s.plan.delay);
        ++s.delayed;
    }

    Answer a;
    if (s.withhold_pending > 0) {
        --s.withhold_pending;
        a.kind = Answer::Kind::withhold;
    } else if (!s.corrupt_pending.empty()) {
        a.kind = s.corrupt_pending.front();
        s.corrupt_pending.pop_front();
    } else if (s.chance(s.plan.withhold_rate)) {
        a.kind = Answer::Kind::withhold;
    } else if (s.chance(s.plan.truncate_rate)) {
        a.kind = Answer::Kind::truncate;
    } else if (s.chance(s.plan.garbage_rate)) {
        a.kind = Answer::Kind::garbage;
    } else if (s.chance(s.plan.cut_rate)) {
        a.kind = Answer::Kind::cut;
    }
    switch (a.kind) {
        case Answer::Kind::send:
            break;
        case Answer::Kind::withhold:
            ++s.withheld;
            break;
        case Answer::Kind::truncate:
        case Answer::Kind::cut:
            a.keep = size <= 1 ? 0 : 1 + s.random() % (size - 1);
            ++(a.kind == Answer::Kind::cut ? s.cut : s.truncated);
            break;
        case Answer::Kind::garbage:
            a.garbage.resize(1 + s.random() % 64);
            for (auto& ch : a.garbage) ch = static_cast<char>(s.random());
            ++s.garbage;
            break;
    }
    return a;
}

}  // namespace tyx::sandbox
