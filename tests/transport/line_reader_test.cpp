// The line reads' framing: lines cut from a stream split anywhere, and the longest line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/line_reader.hpp"

namespace tyx {
namespace {

struct Fed {
    std::vector<std::string> lines;
    std::size_t left = 0;  // bytes buffered after the last line
    std::string error;
};

// Feeds `stream` in pieces of `chunk` bytes, taking every line as soon as it is whole.
Fed feed_in_pieces(std::string_view stream, std::size_t chunk, std::size_t max_line) {
    LineReader reader(max_line);
    Fed fed;
    try {
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            std::string_view piece = stream.substr(at, chunk);
            while (!piece.empty()) {
                piece.remove_prefix(reader.feed(piece));
                while (const auto line = reader.next_line()) fed.lines.emplace_back(*line);
            }
        }
    } catch (const LineTooLong& e) {
        fed.error = e.what();
    }
    fed.left = reader.buffered();
    return fed;
}

// Many lines of every length from empty to the longest, so that lines straddle every read and
// the buffer's front is reused many times.
std::string varied_lines(std::vector<std::string>& lines, std::size_t max_line) {
    std::string stream;
    for (std::size_t i = 0; i < 300; ++i) {
        lines.push_back(std::string(i * 7 % max_line, static_cast<char>('a' + i % 26)) + "\n");
        stream += lines.back();
    }
    return stream;
}

TEST(LineReader, SameLinesWhateverTheReadsCarry) {
    constexpr std::size_t kMax = 16;
    struct Case {
        const char* label;
        std::string stream;
        std::vector<std::string> lines;
        std::size_t left;
        std::string error;
    };
    std::vector<std::string> many;
    const std::string many_stream = varied_lines(many, kMax);
    const Case cases[] = {
        {"two lines", "a\nb\n", {"a\n", "b\n"}, 0, ""},
        {"empty lines", "\n\n", {"\n", "\n"}, 0, ""},
        {"carriage returns are the line's", "M|1\r\nE|2\n", {"M|1\r\n", "E|2\n"}, 0, ""},
        {"no line feed yet", "partial", {}, 7, ""},
        {"the rest waits", "one\ntwo", {"one\n"}, 3, ""},
        {"longest line accepted",
         std::string(15, 'x') + "\nz\n",
         {std::string(15, 'x') + "\n", "z\n"},
         0,
         ""},
        {"one byte past the longest",
         "ok\n" + std::string(16, 'x') + "\n",
         {"ok\n"},
         0,
         "line longer than 16 bytes"},
        {"many lines of every length", many_stream, many, 0, ""},
    };
    for (const auto& c : cases) {
        for (std::size_t chunk : {c.stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{17}}) {
            const Fed fed = feed_in_pieces(c.stream, chunk, kMax);
            EXPECT_EQ(fed.lines, c.lines) << c.label << ", chunk " << chunk;
            EXPECT_EQ(fed.left, c.left) << c.label << ", chunk " << chunk;
            EXPECT_EQ(fed.error, c.error) << c.label << ", chunk " << chunk;
        }
    }
}

TEST(LineReader, ANewConnectionStartsOnALineBoundary) {
    LineReader reader(1 << 20);
    EXPECT_EQ(reader.feed("M|a\nM|b"), 7u);
    EXPECT_EQ(reader.next_line(), "M|a\n");
    // The old connection's unfinished line must not prefix the first new line.
    reader.clear();
    EXPECT_EQ(reader.feed("d\n"), 2u);
    EXPECT_EQ(reader.next_line(), "d\n");
    EXPECT_EQ(reader.buffered(), 0u);
}

}  // namespace
}  // namespace tyx
