#include <gtest/gtest.h>

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "multiplex/tyx_client_multiplex.hpp"
#include "support/multiplex_recorder.hpp"

namespace tyx {
namespace {

using test::drain_notifications;
using test::RecordingListener;
using namespace std::chrono_literals;

TEST(IoThreadCount, FollowsTheVariableThenTheProcessorCount) {
    struct Case {
        const char* text;  // null: variable unset
        unsigned hardware;
        std::size_t expected;
    };
    const Case cases[] = {
        {nullptr, 32, 16}, {nullptr, 16, 16}, {nullptr, 17, 16}, {nullptr, 6, 6}, {nullptr, 0, 4},
        {"0", 8, 8},       {"abc", 8, 8},     {"", 6, 6},        {"3", 8, 3},     {"40", 8, 40},
        {"8x", 8, 8},      {" 5", 2, 5},      {"+7", 2, 7},      {"0", 0, 4},     {"1", 32, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(io_thread_count(c.text, c.hardware), c.expected)
            << "TYX_IO_THREADS=" << (c.text ? c.text : "<unset>") << " hardware=" << c.hardware;
    }
}

TEST(IoThreadCount, MultiplexerReadsTheEnvironmentOnce) {
    ::setenv("TYX_IO_THREADS", "3", 1);
    {
        TyxClientMultiplex m;
        ::unsetenv("TYX_IO_THREADS");
        EXPECT_EQ(m.pool().size(), 3u);
    }
    ::unsetenv("TYX_IO_THREADS");
}

TEST(IoContextPool, HandsOutLoopsRoundRobinOnSeparateThreads) {
    IoContextPool pool(3);
    ASSERT_EQ(pool.size(), 3u);
    for (std::size_t i = 0; i < 7; ++i) EXPECT_EQ(&pool.get_io_context(), &pool.context(i % 3)) << i;

    std::vector<std::thread::id> ids(3);
    for (std::size_t i = 0; i < 3; ++i) {
        std::promise<std::thread::id> where;
        asio::post(pool.context(i), [&where] { where.set_value(std::this_thread::get_id()); });
        ids[i] = where.get_future().get();
    }
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(ids[1], ids[2]);
    EXPECT_NE(ids[0], std::this_thread::get_id());

    IoContextPool at_least_one(0);
    EXPECT_EQ(at_least_one.size(), 1u);
}

TEST(Post, WaitingBlocksUntilTheCoroutineEndsAndSwallowsItsException) {
    TyxClientMultiplex m(1);
    bool finished = false;
    bool on_control = false;
    m.post(
        [&]() -> asio::awaitable<void> {
            asio::steady_timer timer(m.control_context(), 30ms);
            co_await timer.async_wait(asio::use_awaitable);
            on_control = m.control_context().get_executor().running_in_this_thread();
            finished = true;
        },
        true);
    EXPECT_TRUE(finished);
    EXPECT_TRUE(on_control);

    EXPECT_NO_THROW(m.post(
        []() -> asio::awaitable<void> {
            throw std::runtime_error("boom");
            co_return;
        },
        true));
    EXPECT_NO_THROW(m.post(
        []() -> asio::awaitable<void> {
            throw std::runtime_error("boom");
            co_return;
        },
        false));

    // A waiting post made on the control thread itself must not block that thread forever.
    bool inner_ran = false;
    m.post(
        [&]() -> asio::awaitable<void> {
            m.post(
                [&]() -> asio::awaitable<void> {
                    inner_ran = true;
                    co_return;
                },
                true);
            co_return;
        },
        true);
    m.post([]() -> asio::awaitable<void> { co_return; }, true);  // runs after the inner one
    EXPECT_TRUE(inner_ran);
}

TEST(Listeners, AddAndRemoveTakeEffectInQueueOrder) {
    TyxClientMultiplex m(1);
    auto event = [&m](const char* name) {
        m.notify_listeners([&m, n = std::string(name)](TyxClientListener& l) { l.on_connect(m, n); });
    };

    // Added and removed before anything is raised: hears nothing.
    auto early = std::make_shared<RecordingListener>();
    m.listener_add(early);
    m.listener_remove(early);
    event("first");
    drain_notifications(m);
    EXPECT_TRUE(early->events().empty());
    EXPECT_EQ(m.listener_count(), 0);

    // Added twice: hears every event twice; one removal removes both entries.
    auto twice = std::make_shared<RecordingListener>();
    m.listener_add(twice);
    m.listener_add(twice);
    EXPECT_EQ(m.listener_count(), 2);  // counted at once, on the caller's thread
    event("second");
    m.listener_remove(twice);
    event("third");
    drain_notifications(m);
    EXPECT_EQ(twice->events(), (std::vector<std::string>{"connect second", "connect second"}));
    EXPECT_EQ(m.listener_count(), 0);

    // Removed while an event for it is queued: still hears that event, not later ones.
    auto late = std::make_shared<RecordingListener>();
    m.listener_add(late);
    drain_notifications(m);
    event("queued");
    m.listener_remove(late);
    event("after");
    drain_notifications(m);
    EXPECT_EQ(late->events(), (std::vector<std::string>{"connect queued"}));

    // Removing a listener that was never added changes nothing.
    auto stranger = std::make_shared<RecordingListener>();
    auto kept = std::make_shared<RecordingListener>();
    m.listener_add(kept);
    m.listener_remove(stranger);
    drain_notifications(m);
    EXPECT_EQ(m.listener_count(), 1);
    EXPECT_EQ(m.sent_listener_count(), 1);
    EXPECT_EQ(m.received_listener_count(), 1);

    // Only listeners that hear written (received) messages count toward their reports.
    struct Deaf : TyxClientListener {
        bool hears_message_sent() const override { return false; }
        bool hears_message_received() const override { return false; }
    };
    auto deaf = std::make_shared<Deaf>();
    m.listener_add(deaf);
    EXPECT_EQ(m.listener_count(), 2);
    EXPECT_EQ(m.sent_listener_count(), 1);
    EXPECT_EQ(m.received_listener_count(), 1);
    m.listener_remove(deaf);
    m.listener_remove(kept);
    drain_notifications(m);
    EXPECT_EQ(m.listener_count(), 0);
    EXPECT_EQ(m.sent_listener_count(), 0);
    EXPECT_EQ(m.received_listener_count(), 0);
}

TEST(Listeners, NotificationsAreNeverDeliveredInline) {
    TyxClientMultiplex m(1);
    auto recorder = std::make_shared<RecordingListener>();

    // Raises a nested event from inside a callback, on the notification thread.
    struct Nesting : TyxClientListener {
        RecordingListener* out;
        void on_connect(TyxClientMultiplex& mux, std::string_view) override {
            out->add("outer", "x");
            mux.notify_listeners([&mux](TyxClientListener& l) { l.on_disconnect(mux, "x"); });
            out->add("after", "x");
        }
        void on_disconnect(TyxClientMultiplex&, std::string_view) override { out->add("inner", "x"); }
    };
    auto nesting = std::make_shared<Nesting>();
    nesting->out = recorder.get();
    m.listener_add(nesting);
    m.notify_listeners([&m](TyxClientListener& l) { l.on_connect(m, "x"); });
    drain_notifications(m);
    drain_notifications(m);
    EXPECT_EQ(recorder->events(), (std::vector<std::string>{"outer x", "after x", "inner x"}));
}

TEST(Listeners, ASpinningNotificationThreadDeliversInOrderAndDoesNotHoldUpDestruction) {
    auto recorder = std::make_shared<RecordingListener>();
    const auto started = std::chrono::steady_clock::now();
    {
        TyxClientMultiplex m(1);
        m.set_notification_spin(TyxClientMultiplex::kMaxNotificationSpin);
        m.listener_add(recorder);
        auto raise = [&m](int from, int to) {
            for (int i = from; i < to; ++i)
                m.notify_listeners([&m, i](TyxClientListener& l) { l.on_connect(m, std::to_string(i)); });
        };
        raise(0, 100);
        drain_notifications(m);
        raise(100, 200);  // while the thread spins
        drain_notifications(m);
        raise(200, 300);  // left for the destructor to deliver
    }
    // The destructor ends the spin rather than waiting it out.
    EXPECT_LT(std::chrono::steady_clock::now() - started, TyxClientMultiplex::kMaxNotificationSpin / 2);
    const auto events = recorder->events();
    ASSERT_EQ(events.size(), 300u);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(events[static_cast<std::size_t>(i)], "connect " + std::to_string(i));
}

TEST(Listeners, EventsRaisedWhileStoppingAreDeliveredBeforeDestruction) {
    auto recorder = std::make_shared<RecordingListener>();
    {
        TyxClientMultiplex m(2);
        m.listener_add(recorder);
        // Work still running on the control loop when destruction starts raises events late.
        m.post(
            [&m]() -> asio::awaitable<void> {
                asio::steady_timer timer(m.control_context(), 50ms);
                co_await timer.async_wait(asio::use_awaitable);
                for (int i = 0; i < 3; ++i)
                    m.notify_listeners(
                        [&m, i](TyxClientListener& l) { l.on_disconnect(m, "c" + std::to_string(i)); });
            },
            false);
    }
    EXPECT_EQ(recorder->events(),
              (std::vector<std::string>{"disconnect c0", "disconnect c1", "disconnect c2"}));
}

}  // namespace
}  // namespace tyx
