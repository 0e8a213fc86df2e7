#include "sandbox.hpp"

#include "support/sandbox_center_bytes.hpp"
#include "support/sandbox_db_bytes.hpp"
#include "support/sandbox_test_socket.hpp"

#include <gtest/gtest.h>

namespace tyx::sandbox {
namespace {

using namespace std::chrono_literals;
using test::SandboxTestSocket;
namespace cb = test::centerbytes;
namespace dbb = test::dbbytes;

std::vector<dbb::Element> sql(std::uint16_t port, std::string_view text, std::string_view user = "u",
                              std::string_view password = "p") {
    SandboxTestSocket s(port);
    s.write(std::vector<std::uint8_t>{31, 241});
    if (!s.read_exact(2)) throw std::runtime_error("no version answer");
    auto response = [&] {
        auto head = s.read_exact(4);
        if (!head) throw std::runtime_error("no response");
        const auto n = std::uint32_t{(*head)[0]} << 24 | std::uint32_t{(*head)[1]} << 16 |
                       std::uint32_t{(*head)[2]} << 8 | std::uint32_t{(*head)[3]};
        auto body = s.read_exact(n + 1);
        if (!body) throw std::runtime_error("short response");
        body->pop_back();
        return *body;
    };
    s.write(dbb::login_request(user, password));
    response();
    s.write(dbb::query_request(text));
    return dbb::read_result(response());
}

TEST(Sandbox, PublishedObjectsBecomeRowsForSqlAndChangesForSubscribers) {
    Sandbox sb({.database_user = "ann", .database_password = "pw"});
    EXPECT_NE(sb.relay_port(), sb.center_port());
    EXPECT_NE(sb.center_port(), sb.database_port());

    SandboxTestSocket in(sb.center_port()), out(sb.center_port());
    in.write(cb::greeting('W', "Y9-e2e"));
    out.write(cb::greeting('R', "Y9-e2e"));
    ASSERT_TRUE(in.read_exact(29));
    ASSERT_TRUE(out.read_exact(29));
    out.write(cb::request_frame({{"Order"}}, false, "Y9-e2e"));
    cb::Reader reader;
    ASSERT_TRUE(cb::read_payload(in));  // no rows yet
    auto sr = cb::read_payload(in);
    ASSERT_TRUE(sr);
    EXPECT_EQ(reader.read(*sr).vid, cb::vid("Y9.VE.SR"));

    SandboxTestSocket relay(sb.relay_port());
    relay.write("L#1|I=\"feed\"\n");
    ASSERT_TRUE(relay.read_line());
    relay.write("O#2|T=\"Order\"|I=\"o1\"|qty=5|px=1.25D\nO#3|T=\"Order\"|I=\"o1\"|qty=6|px=1.5D\n");
    ASSERT_TRUE(sb.wait_for_stored(2));

    // The two publications may arrive as one batch or two: gather the changes either way.
    std::vector<cb::Entity> changes;
    while (changes.size() < 2) {
        auto payload = cb::read_payload(in);
        ASSERT_TRUE(payload);
        for (auto& e : reader.read(*payload).entities) changes.push_back(e);
    }
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].action, 1);
    EXPECT_EQ(changes[1].action, 2);
    EXPECT_EQ(changes[1].object_id, "o1");
    EXPECT_EQ(changes[1].fields.at(0).second.i, 6);

    const auto rows = sql(sb.database_port(), "SELECT id, qty, px FROM \"Order\"", "ann", "pw");
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].rows, 1);
    ASSERT_EQ(rows[0].columns.size(), 3u);
    EXPECT_EQ(rows[0].columns[0].values, (std::vector<std::string>{"o1"}));
    EXPECT_EQ(rows[0].columns[1].type, 14);
    EXPECT_EQ(rows[0].columns[1].values, (std::vector<std::string>{"6"}));
    EXPECT_EQ(rows[0].columns[2].values, (std::vector<std::string>{"1.5"}));

    relay.write("D#4|T=\"Order\"|I=\"o1\"\n");
    auto removal = cb::read_payload(in);
    ASSERT_TRUE(removal);
    const auto m = reader.read(*removal);
    ASSERT_EQ(m.entities.size(), 1u);
    EXPECT_EQ(m.entities[0].action, 3);
    ASSERT_TRUE(sb.wait_until_stored());
    EXPECT_EQ(sql(sb.database_port(), "SELECT COUNT(*) FROM \"Order\"", "ann", "pw")[0].columns[0].values,
              (std::vector<std::string>{"0"}));
}

TEST(Sandbox, CountingRelayStoresNothing) {
    Sandbox sb({.relay_counting_only = true});
    SandboxTestSocket relay(sb.relay_port());
    relay.write("L|I=\"feed\"\nO|T=\"T\"|I=\"a\"|n=1\nO|T=\"T\"|I=\"b\"|n=2\n");
    ASSERT_TRUE(sb.relay().wait_for_lines(3));
    EXPECT_EQ(sb.center().state().publications_applied, 0u);
    const auto tables = sql(sb.database_port(), "SELECT name FROM sqlite_master WHERE type = 'table'");
    EXPECT_EQ(tables.at(0).rows, 0);
}

}  // namespace
}  // namespace tyx::sandbox
