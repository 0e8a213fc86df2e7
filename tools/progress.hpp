// A one-line progress display on standard error, drawn only when it is a terminal and at most
// four times a second, erased when done.
#pragma once

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tyx::tool {

class Progress {
public:
    Progress() : enabled_(isatty(STDERR_FILENO) != 0) {}
    ~Progress() { clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // `text` is built only when the line is due.
    template <typename MakeText>
    void update(MakeText&& make_text) {
        if (!enabled_) return;
        const auto now = std::chrono::steady_clock::now();
        if (drawn_ && now - last_ < std::chrono::milliseconds(250)) return;
        last_ = now;
        drawn_ = true;
        const std::string text = make_text();
        std::fprintf(stderr, "\r\033[K%s", text.c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (!drawn_) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        drawn_ = false;
    }

private:
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_;
};

// "1234 per second" from a count and a duration.
inline std::string rate_text(std::uint64_t count, std::chrono::steady_clock::duration elapsed) {
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (seconds <= 0) return "-";
    return std::to_string(static_cast<std::uint64_t>(static_cast<double>(count) / seconds + 0.5)) +
           " per second";
}

}  // namespace tyx::tool
