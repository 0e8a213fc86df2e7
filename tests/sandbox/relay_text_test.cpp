#include "relay_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace tyx::sandbox {
namespace {

using Kind = RelayValue::Kind;

struct ValueCase {
    const char* raw;
    Kind kind;
    std::int64_t integer;
    double real;
    const char* text;
};

TEST(RelayText, ValueFormsAreTyped) {
    const ValueCase cases[] = {
        {"", Kind::Empty, 0, 0, ""},
        {"\"XNYS\"", Kind::String, 0, 0, "XNYS"},
        {"\"\"", Kind::String, 0, 0, ""},
        {"\"a|b\"c\"", Kind::String, 0, 0, "a|b\"c"},
        {"5", Kind::Integer, 5, 0, ""},
        {"-128", Kind::Integer, -128, 0, ""},
        {"4294967295", Kind::Integer, 4294967295LL, 0, ""},
        {"3L", Kind::Long, 3, 0, ""},
        {"-9223372036854775808L", Kind::Long, INT64_MIN, 0, ""},
        {"101.25D", Kind::Double, 0, 101.25, ""},
        {"1e+21D", Kind::Double, 0, 1e21, ""},
        {"0.5F", Kind::Float, 0, 0.5, ""},
        {"B", Kind::Bare, 0, 0, "B"},
        {"D", Kind::Bare, 0, 0, "D"},
        {"L", Kind::Bare, 0, 0, "L"},
        {"AD", Kind::Bare, 0, 0, "AD"},
        {"\"", Kind::Bare, 0, 0, "\""},
        {"12x", Kind::Bare, 0, 0, "12x"},
        {"99999999999999999999", Kind::Bare, 0, 0, "99999999999999999999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        auto v = parse_relay_value(c.raw);
        EXPECT_EQ(v.kind, c.kind);
        EXPECT_EQ(v.integer, c.integer);
        EXPECT_DOUBLE_EQ(v.real, c.real);
        EXPECT_EQ(v.text, c.text);
    }
    auto big = parse_relay_value("18446744073709551615L");
    EXPECT_EQ(big.kind, Kind::Long);
    EXPECT_TRUE(big.is_unsigned);
    EXPECT_EQ(big.unsigned_integer, UINT64_MAX);
}

TEST(RelayText, ObjectLineSplitsIntoFrameAndFields) {
    auto line =
        parse_relay_line("O#42|T=\"Order\"|I=\"o-17\"|qty=5|px=101.25D|side=B|venue=\"XN|YS\"|lots=3L|flag=");
    EXPECT_EQ(line.type, 'O');
    EXPECT_EQ(line.seqnum, 42);
    EXPECT_FALSE(line.timestamp);
    ASSERT_EQ(line.fields.size(), 8u);
    const char* keys[] = {"T", "I", "qty", "px", "side", "venue", "lots", "flag"};
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ(line.fields[i].key, keys[i]);
    EXPECT_EQ(line.field("venue")->raw, "\"XN|YS\"");
    EXPECT_EQ(line.field("venue")->value.text, "XN|YS");
    EXPECT_EQ(line.field("flag")->value.kind, Kind::Empty);
}

TEST(RelayText, MarkersAndOddPieces) {
    auto login = parse_relay_line("L#1@1700000000123|I=\"feedA\"|O=\"QUIET,UNIX\"");
    EXPECT_EQ(login.seqnum, 1);
    EXPECT_EQ(login.timestamp, 1700000000123);
    EXPECT_EQ(login.field("O")->value.text, "QUIET,UNIX");

    auto logout = parse_relay_line("X");
    EXPECT_EQ(logout.type, 'X');
    EXPECT_TRUE(logout.fields.empty());

    // A marker without digits and a piece without `=` are kept, not lost.
    auto odd = parse_relay_line("O#|x||y=1");
    EXPECT_FALSE(odd.seqnum);
    ASSERT_EQ(odd.fields.size(), 3u);
    EXPECT_EQ(odd.fields[0].key, "");
    EXPECT_EQ(odd.fields[0].raw, "#");
    EXPECT_EQ(odd.fields[1].raw, "x");
    EXPECT_EQ(odd.fields[2].value.integer, 1);

    // An unterminated quote runs to the end of the line.
    auto open = parse_relay_line("O|a=\"x|b=1");
    ASSERT_EQ(open.fields.size(), 1u);
    EXPECT_EQ(open.fields[0].raw, "\"x|b=1");
}

TEST(RelayText, StatusAndCommandLines) {
    EXPECT_EQ(make_status_line({1700000000000, 0, 41, "ok", 7}), "M#7@1700000000000|S=0|Q=41|M=\"ok\"\n");
    EXPECT_EQ(make_status_line({5, -2, 0, "", {}}), "M@5|S=-2|Q=0|M=\"\"\n");
    RelayCommand cmd{"r1", "restart", "ann", "Order", "o-17", {{"x", "1"}, {"x", "2"}}};
    EXPECT_EQ(make_execute_command_line(cmd),
              "E|I=\"r1\"|C=\"restart\"|U=\"ann\"|T=\"Order\"|O=\"o-17\"|x=\"1\"|x=\"2\"\n");
}

// The counting relay's scanner works in 16-byte blocks summed every 255 blocks: check lengths
// and offsets around both boundaries against a plain count.
TEST(RelayText, CountLineFeedsMatchesAPlainCount) {
    std::string text;
    for (std::size_t i = 0; i < 16 * 255 * 2 + 40; ++i)
        text += (i * 7919 % 13 == 0 || i % 255 == 0) ? '\n' : 'x';
    text.replace(4000, 4100, 4100, '\n');  // a long run of line feeds overflows a naive byte lane
    for (std::size_t offset : {0u, 1u, 15u}) {
        for (std::size_t size : {0u, 1u, 15u, 16u, 17u, 4079u, 4080u, 4081u, 8000u, 8161u}) {
            if (offset + size > text.size()) continue;
            const auto expected = static_cast<std::size_t>(
                std::count(text.begin() + offset, text.begin() + offset + size, '\n'));
            EXPECT_EQ(count_line_feeds(text.data() + offset, size), expected) << offset << " " << size;
        }
    }
}

}  // namespace
}  // namespace tyx::sandbox
