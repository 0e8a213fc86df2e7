#include <gtest/gtest.h>

#include "rt/command_messages.hpp"

namespace tyx::rt {
namespace {

TEST(RelayCommandMessages, ExactTexts) {
    CommandDefinition full{"cmd-1", "Cancel", "T=='Order'", "Cancels an order", "{\"reason\":\"string\"}",
                           "status!='done'", "danger", "multi", "id,qty", "qty>0", "confirm", "cancel.js", 3, 10};
    EXPECT_EQ(make_command_definition_message(full)->text(),
              "C|I=\"cmd-1\"|N=\"Cancel\"|W=\"T=='Order'\"|H=\"Cancels an order\"|A=\"{\"reason\":\"string\"}\""
              "|E=\"status!='done'\"|Y=\"danger\"|S=\"multi\"|F=\"id,qty\"|R=\"qty>0\"|K=\"confirm\"|X=\"cancel.js\""
              "|P=3|O=10\n");

    CommandDefinition minimal;
    minimal.command_id = "c";
    minimal.name = "Ping";
    minimal.priority = -1;
    EXPECT_EQ(make_command_definition_message(minimal)->text(), "C|I=\"c\"|N=\"Ping\"|P=0|O=-1\n");

    EXPECT_EQ(make_command_response_message("req-9", -2, "failed: no | such", "")->text(),
              "R|I=\"req-9\"|S=-2|M=\"failed: no | such\"|X=\"\"\n");
    EXPECT_EQ(make_command_help_message("req-9", "usage: cancel")->text(), "H|I=\"req-9\"|M=\"usage: cancel\"\n");
    EXPECT_EQ(make_command_pause_message(1500)->text(), "P|D=1500\n");
}

}  // namespace
}  // namespace tyx::rt
