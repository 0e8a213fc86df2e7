#include <gtest/gtest.h>

#include "rt/relay_parse.hpp"

namespace tyx::rt {
namespace {

TEST(RelayStatusLine, GoodAndMalformedFields) {
    struct Case {
        const char* fields;
        std::int64_t now, seqnum;
        std::int32_t status;
        const char* message;
    } cases[] = {
        {"#7@1700000000000|S=0|Q=41|M=\"ok\"", 1700000000000, 41, 0, "ok"},
        {"@-5|S=-3|M=plain", -5, 0, -3, "plain"},
        {"#7|S=1", 0, 0, 1, ""},                              // no `@`: now stays 0
        {"@12x|S=99999999999|Q=abc|M=\"a|b\"", 0, 0, 0, "a|b"},  // bad numbers leave defaults
        {"S=2|S=oops|Q=9223372036854775807", 0, 9223372036854775807, 2, ""},
        {"M=\"first\"|M", 0, 0, 0, ""},  // a one-byte M piece clears the message
        {"M=\"|||\"||X=1", 0, 0, 0, "|||"},
        {"M=\"\"", 0, 0, 0, ""},
        {"M=\"", 0, 0, 0, "\""},  // a lone quote is not a pair
        {"", 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        const auto s = parse_status_message(c.fields);
        EXPECT_EQ(s.now, c.now) << c.fields;
        EXPECT_EQ(s.seqnum, c.seqnum) << c.fields;
        EXPECT_EQ(s.status, c.status) << c.fields;
        EXPECT_EQ(s.message, c.message) << c.fields;
    }
}

TEST(RelayCommandLine, NamedFieldsAndFirstWinsParams) {
    const auto c = parse_execute_command_message(
        "@1700000000000|I=\"r-1\"|C=\"Cancel\"|U=\"ann\"|T=\"Order\"|O=\"o-17\"|x=\"1\"|x=2|note=\"a|b\"|flag|Ix=9");
    // Only the first byte selects: "Ix=9" is an I piece whose value starts after two bytes.
    EXPECT_EQ(c.request_id, "=9");
    EXPECT_EQ(c.cmd, "Cancel");
    EXPECT_EQ(c.user_name, "ann");
    EXPECT_EQ(c.object_type, "Order");
    EXPECT_EQ(c.object_id, "o-17");
    const std::map<std::string, std::string> expected{{"x", "1"}, {"note", "a|b"}};
    EXPECT_EQ(c.params, expected);
}

}  // namespace
}  // namespace tyx::rt
