// LogLimiter: how often one session may log about unexpected input (junk lines, frames it cannot
// decode). In each interval the first few are told in full; the rest are only counted, and the
// first one after the interval tells how many were left out. A server sending nothing but junk
// thus costs a few logs per interval, not one per line. A pure object: the caller passes the
// time; owned by one session and used on its loop.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tyx {

class LogLimiter {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr std::size_t kToldPerInterval = 5;
    static constexpr std::chrono::milliseconds kInterval{10000};
    // The most of an unexpected input a log shows.
    static constexpr std::size_t kShownBytes = 200;

    explicit LogLimiter(std::size_t told_per_interval = kToldPerInterval,
                        std::chrono::milliseconds interval = kInterval)
        : told_per_interval_(told_per_interval), interval_(interval) {}

    // One more unexpected input at `now`, told as `text`: the logs to raise for it, in order
    // (none, the text, or a summary of those left out before and then the text).
    std::vector<std::string> admit(std::string text, Clock::time_point now) {
        std::vector<std::string> logs;
        if (!started_ || now - window_start_ >= interval_) {
            if (left_out_ > 0) {
                logs.push_back(std::to_string(left_out_) + " more unexpected input" +
                               (left_out_ == 1 ? "" : "s") + " not logged in the last " +
                               seconds_text(now - window_start_));
            }
            started_ = true;
            window_start_ = now;
            told_ = 0;
            left_out_ = 0;
        }
        if (told_ < told_per_interval_) {
            ++told_;
            logs.push_back(std::move(text));
        } else {
            ++left_out_;
        }
        return logs;
    }

    // Inputs counted but not told in the current interval.
    std::uint64_t left_out() const { return left_out_; }

private:
    static std::string seconds_text(Clock::duration d) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
        return std::to_string(ms / 1000) + "." + std::to_string((ms % 1000) / 100) + " s";
    }

    const std::size_t told_per_interval_;
    const std::chrono::milliseconds interval_;
    bool started_ = false;
    Clock::time_point window_start_{};
    std::size_t told_ = 0;
    std::uint64_t left_out_ = 0;
};

}  // namespace tyx
