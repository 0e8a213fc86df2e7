// What a session logs about unexpected input: a few in full per interval, then a count; and how
// such input is shown (escaped, cut, never a broken UTF-8 sequence).
#include <gtest/gtest.h>

#include "core/log_limiter.hpp"
#include "core/log_text.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;

TEST(LogLimiter, TellsTheFirstFewPerIntervalThenCountsTheRest) {
    LogLimiter limiter(2, 10s);
    const auto t0 = LogLimiter::Clock::time_point{} + 1h;
    using Logs = std::vector<std::string>;
    EXPECT_EQ(limiter.admit("a", t0), Logs{"a"});
    EXPECT_EQ(limiter.admit("b", t0 + 1s), Logs{"b"});
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(limiter.admit("junk", t0 + 2s), Logs{});
    EXPECT_EQ(limiter.left_out(), 1000u);
    // The first input of the next interval brings the count of those left out.
    EXPECT_EQ(limiter.admit("c", t0 + 12500ms),
              (Logs{"1000 more unexpected inputs not logged in the last 12.5 s", "c"}));
    EXPECT_EQ(limiter.admit("d", t0 + 13s), Logs{"d"});
    EXPECT_EQ(limiter.admit("e", t0 + 14s), Logs{});
    EXPECT_EQ(limiter.admit("f", t0 + 30s),
              (Logs{"1 more unexpected input not logged in the last 17.5 s", "f"}));
}

TEST(LogQuoted, EscapesWhatIsNotPrintableAndCutsBetweenCodePoints) {
    const struct {
        std::string_view text;
        std::size_t most;
        std::string shown;
    } cases[] = {
        {"plain", 64, "\"plain\""},
        {"a\"b\\c\nd\te\x01\x7F", 64, R"("a\"b\\c\nd\te\x01\x7F")"},
        {"caf\xC3\xA9", 64, "\"caf\xC3\xA9\""},                       // well-formed UTF-8 stays
        {"\xFF\xC3(\x80\xE2\x82", 64, R"("\xFF\xC3(\x80\xE2\x82")"},  // broken sequences are bytes
        {"abcdef", 3, "\"abc...\""},
        {"ab\xC3\xA9z", 3, "\"ab...\""},  // never half a code point
        // Continuation bytes past three are junk, not one code point: the cut backs up no further.
        {std::string_view("\x80\x80\x80\x80\x80\x80\x80\x80", 8), 6, R"("\x80\x80\x80...")"},
    };
    for (const auto& c : cases) EXPECT_EQ(log_quoted(c.text, c.most), c.shown) << c.text;
}

}  // namespace
}  // namespace tyx
