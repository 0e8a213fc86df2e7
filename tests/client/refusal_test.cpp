// What Client refuses to send, or sends with a warning, against the in-process sandbox: texts
// that would forge relay lines, surplus names or values and wrapping unsigned values, uploads
// with uneven columns or names the SQL statements cannot carry.
#include <gtest/gtest.h>

#include <future>
#include <limits>

#include "sandbox.hpp"
#include "support/event_lines.hpp"
#include "tyx/tyx.hpp"

namespace tyx {
namespace {

using namespace std::chrono_literals;

class LogRecorder : public ClientListener, public test::EventLines {
public:
    void on_log(Client&, std::string_view name, std::uint8_t level, std::string_view text) override {
        add("log " + std::string(name) + " " + std::to_string(level) + " " + std::string(text));
    }
};

struct Connected {
    sandbox::Sandbox sandbox;
    std::shared_ptr<LogRecorder> log = std::make_shared<LogRecorder>();
    Client client;

    Connected() {
        client.listener_add(log);
        Cluster c("c", "127.0.0.1");
        c.publication_config = PublicationConfig(std::to_string(sandbox.relay_port()), false, "feed");
        c.database_config = DatabaseConfig(std::to_string(sandbox.database_port()), false, "", "");
        client.add_cluster(c, true);
    }

    // Every log raised so far, in order. Logs are delivered in the order they are raised, so once
    // a marker raised now has arrived, so has everything before it.
    std::vector<std::string> logs() {
        client.remove_object("c", "\n", "Marker");
        const std::string marker = "log c 3 Failed to remove object: the object id holds a line feed";
        EXPECT_TRUE(log->wait_for(marker));
        auto events = log->events();
        if (!events.empty() && events.back().rfind(marker, 0) == 0) events.pop_back();
        return events;
    }

    // The lines the relay read, the login left out.
    std::vector<std::string> relay_lines() {
        return sandbox.relay().inspect([](const sandbox::RelayState& s) {
            std::vector<std::string> out;
            for (const auto& [id, connection] : s.connections)
                for (const auto& line : connection.lines)
                    if (line.rfind("L|", 0) != 0) out.push_back(line);
            return out;
        });
    }
};

TEST(RefusedPublication, ATextThatWouldForgeRelayLinesIsRefusedWholeWithOneLogEach) {
    Connected c;
    auto& client = c.client;
    const std::string forged = "hello\nO|T=\"Evil\"|I=\"e1\"|owned=\"yes\"";
    client.publish_object("c", "Note", "n1", {"text"}, {forged});
    client.publish_object("c", "Note", "n1", {"n", "text"}, {std::int32_t{1}, std::string("cut \"short")});
    client.publish_object("c", "Note", "n1", {"c"}, {'\n'});
    client.publish_object("c", "Note", "n1", {"b"}, {std::vector<std::uint8_t>{'x', '\n'}});
    client.publish_object("c", "Note", "n1", {"na\nme"}, {std::int32_t{1}});
    client.publish_object("c", "Evil\"|I=\"e1", "", {}, {});
    client.publish_object("c", "Note", "n1\nO|T=\"Evil\"", {}, {});
    client.remove_object("c", "n1\"|T=\"Evil", "Note");
    client.remove_object("c", "n1", "Note\nO|T=\"Evil\"");
    EXPECT_EQ(client.serialize_object("Note", "n1", {"text"}, {forged}), "");

    // Everything else passes byte for byte: bars inside quotes, tabs, CR, UTF-8, invalid bytes.
    const std::string kept = "a|b\tc\r\xC3\xA9";
    const std::vector<FieldValue> values = {kept, std::string("\xFF\xFE"),
                                            std::vector<std::uint8_t>{'x', '"'}};
    const std::vector<std::string> names = {"text", "odd", "raw"};
    const std::string line = client.serialize_object("Note", "n2", names, values);
    EXPECT_EQ(line, "O|T=\"Note\"|I=\"n2\"|text=\"" + kept + "\"|odd=\"\xFF\xFE\"|raw=x\"\n");
    client.publish_object("c", "Note", "n2", names, values);
    ASSERT_TRUE(c.sandbox.relay().wait_for_publications(1));
    ASSERT_TRUE(c.sandbox.wait_until_stored());
    EXPECT_EQ(c.relay_lines(), std::vector<std::string>{line.substr(0, line.size() - 1)});

    auto tables = client.sql("c", "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    ASSERT_TRUE(tables->has_result_set()) << tables->error_message();
    EXPECT_EQ(std::get<std::vector<std::string>>(tables->columns().at(0)), std::vector<std::string>{"Note"});
    auto note = client.sql("c", "SELECT id, text FROM Note");
    ASSERT_EQ(note->row_count(), 1);
    EXPECT_EQ(std::get<std::vector<std::string>>(note->columns().at(0))[0], "n2");
    EXPECT_EQ(std::get<std::vector<std::string>>(note->columns().at(1))[0], kept);

    const std::string tail = ", which the relay would not read back as written [cluster c, type ";
    EXPECT_EQ(c.logs(),
              (std::vector<std::string>{
                  "log c 3 Failed to publish object: the value of field \"text\" holds a line feed" + tail +
                      "\"Note\", id \"n1\"]",
                  "log c 3 Failed to publish object: the value of field \"text\" holds a double quote" +
                      tail + "\"Note\", id \"n1\"]",
                  "log c 3 Failed to publish object: the value of field \"c\" holds a line feed" + tail +
                      "\"Note\", id \"n1\"]",
                  "log c 3 Failed to publish object: the value of field \"b\" holds a line feed" + tail +
                      "\"Note\", id \"n1\"]",
                  "log c 3 Failed to publish object: the name of field \"na\\nme\" holds a line feed" + tail +
                      "\"Note\", id \"n1\"]",
                  "log c 3 Failed to publish object: the object type holds a double quote" + tail +
                      "\"Evil\\\"|I=\\\"e1\", id \"\"]",
                  "log c 3 Failed to publish object: the object id holds a line feed" + tail +
                      "\"Note\", id \"n1\\nO|T=\\\"Evil\\\"\"]",
                  "log c 3 Failed to remove object: the object id holds a double quote" + tail +
                      "\"Note\", id \"n1\\\"|T=\\\"Evil\"]",
                  "log c 3 Failed to remove object: the object type holds a line feed" + tail +
                      "\"Note\\nO|T=\\\"Evil\\\"\", id \"n1\"]",
              }));
}

std::vector<std::uint8_t> bytes_of(std::string_view text) {
    return {text.begin(), text.end()};
}

// Each forged name or value is refused whole with its log; the clean field beside it, differing
// only where the forged one is at fault, goes out byte for byte.
TEST(RefusedPublication, NamesAndBareValuesTheRelayWouldSplitOrMisreadAreRefusedBesideCleanOnes) {
    struct Case {
        std::string name;
        FieldValue value;
        std::string fault;  // the log's text after "Failed to publish object: "
        std::string clean_name;
        FieldValue clean_value;
        std::string clean_field;  // on the wire
    };
    const std::string tail = ", which the relay would not read back as written";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {"a|b", std::int32_t{1}, "the name of field \"a|b\" holds a |", "a_b", std::int32_t{1}, "|a_b=1"},
        {"x=y", std::int32_t{2}, "the name of field \"x=y\" holds an =", "x_y", std::int32_t{2}, "|x_y=2"},
        {"q\"", std::int32_t{3}, "the name of field \"q\\\"\" holds a double quote", "q'", std::int32_t{3},
         "|q'=3"},
        {"", std::int32_t{4}, "the name of the field at index 1 is empty", "e", std::int32_t{4}, "|e=4"},
        {"I", std::string("x"), "the name of field \"I\" is reserved", "Ix", std::string("x"), "|Ix=\"x\""},
        {"T", std::string("x"), "the name of field \"T\" is reserved", "t", std::string("x"), "|t=\"x\""},
        {"E", std::int64_t{5}, "the name of field \"E\" is reserved", "Ex", std::int64_t{5}, "|Ex=5L"},
        {"Id", std::int32_t{6}, "the name of field \"Id\" is reserved", "ids", std::int32_t{6}, "|ids=6"},
        {"c", '"', "the value of field \"c\" holds a double quote", "c", '\'', "|c='"},
        {"c", '|', "the value of field \"c\" holds a |", "c", '/', "|c=/"},
        {"b", bytes_of("xx|k=5|I=\"forged-id\""), "the value of field \"b\" holds a |", "b",
         bytes_of("xx k=5 I=\"forged-id\""), "|b=xx k=5 I=\"forged-id\""},
        {"b", bytes_of("\"hello\""), "the value of field \"b\" begins with a double quote", "b",
         bytes_of("hello\""), "|b=hello\""},
        {"d", nan, "the value of field \"d\" is not a finite number", "d", 0.5, "|d=0.5D"},
        {"d", -inf, "the value of field \"d\" is not a finite number", "d", 1e300, "|d=1e+300D"},
        {"f", std::numeric_limits<float>::infinity(), "the value of field \"f\" is not a finite number", "f",
         1.5f, "|f=1.5F"},
        // A bar and an equals sign inside quotes are the text's own.
        {"s", std::string("a\"b"), "the value of field \"s\" holds a double quote", "s", std::string("a|b=c"),
         "|s=\"a|b=c\""},
    };
    Connected c;
    auto& client = c.client;
    std::vector<std::string> expected_lines, expected_logs;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& k = cases[i];
        SCOPED_TRACE(k.fault);
        const std::string id = "n" + std::to_string(i);
        // A clean field before the forged one: the message is refused whole, not cut.
        const std::vector<std::string> names = {"before", k.name}, clean_names = {"before", k.clean_name};
        const std::vector<FieldValue> values = {std::int32_t{7}, k.value},
                                      clean_values = {std::int32_t{7}, k.clean_value};
        EXPECT_EQ(client.serialize_object("Note", id, names, values), "");
        const std::string line = "O|T=\"Note\"|I=\"" + id + "\"|before=7" + k.clean_field;
        EXPECT_EQ(client.serialize_object("Note", id, clean_names, clean_values), line + "\n");
        client.publish_object("c", "Note", id, names, values);
        client.publish_object("c", "Note", id, clean_names, clean_values);
        expected_lines.push_back(line);
        expected_logs.push_back("log c 3 Failed to publish object: " + k.fault);
    }
    ASSERT_TRUE(c.sandbox.relay().wait_for_publications(cases.size()));
    EXPECT_EQ(c.relay_lines(), expected_lines);
    auto logs = c.logs();
    ASSERT_EQ(logs.size(), expected_logs.size());
    for (std::size_t i = 0; i < logs.size(); ++i) {
        EXPECT_EQ(logs[i].rfind(expected_logs[i], 0), 0u) << logs[i];
        EXPECT_NE(logs[i].find(" [cluster c, type \"Note\", id \"n" + std::to_string(i) + "\"]"),
                  std::string::npos);
    }
}

TEST(DoubtfulPublication, UnequalCountsAndWrappingUnsigned32BitValuesAreSentAsBeforeWithOneLevel2LogEach) {
    Connected c;
    auto& client = c.client;
    client.publish_object("c", "Note", "n3", {"a", "b", "c"}, {std::int32_t{1}});
    client.publish_object("c", "Note", "n4", {"a"}, {std::int32_t{1}, std::int32_t{2}});
    client.publish_object(
        "c", "Note", "n5", {"big", "small", "u64"},
        {std::uint32_t{4000000000u}, std::uint32_t{2147483647u}, std::uint64_t{4000000000u}});
    client.publish_object("c", "Note", "n6", {"a"}, {std::int32_t{1}});
    // Raw text is never checked.
    client.publish_raw("c", "O|T=\"Note\"|I=\"n7\"|s=\"a\"b\"\n");
    ASSERT_TRUE(c.sandbox.relay().wait_for_publications(5));
    EXPECT_EQ(c.relay_lines(), (std::vector<std::string>{
                                   "O|T=\"Note\"|I=\"n3\"|a=1",
                                   "O|T=\"Note\"|I=\"n4\"|a=1",
                                   "O|T=\"Note\"|I=\"n5\"|big=4000000000|small=2147483647|u64=4000000000L",
                                   "O|T=\"Note\"|I=\"n6\"|a=1",
                                   "O|T=\"Note\"|I=\"n7\"|s=\"a\"b\"",
                               }));
    EXPECT_EQ(
        c.logs(),
        (std::vector<std::string>{
            "log c 2 Field names and values differ in number (3 names, 1 value): only 1 field sent "
            "[cluster c, type \"Note\", id \"n3\"]",
            "log c 2 Field names and values differ in number (1 name, 2 values): only 1 field sent "
            "[cluster c, type \"Note\", id \"n4\"]",
            "log c 2 Field \"big\" holds an unsigned 32-bit value above 2147483647, which the relay reads as "
            "a "
            "negative 32-bit Integer; publish it as a 64-bit integer [cluster c, type \"Note\", id \"n5\"]",
        }));
}

TEST(RefusedUpload, UnevenColumnsAndNamesTheStatementsCannotCarrySendNothing) {
    Connected c;
    auto& client = c.client;
    Table uneven("uneven");
    uneven.add_column("a", std::vector<std::int32_t>{1, 2, 3}).add_column("b", std::vector<std::string>{"x"});
    client.sql_replace("c", std::move(uneven), "");
    auto one_column = [](std::string table, std::string column) {
        Table t(std::move(table));
        t.add_column(std::move(column), std::vector<std::int32_t>{1});
        return t;
    };
    client.sql_replace("c", one_column("t", "a\"b"), "");
    client.sql_insert("c", one_column("t", "a`b"));
    client.sql_replace_async("c", one_column("x; DROP TABLE y", "a"), "");
    // A refused asynchronous insert still says it is done, once.
    std::promise<void> done;
    client.sql_insert_async("c", one_column("t", ""), [&done] { done.set_value(); });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    client.sql_replace("c", one_column("t", "x Integer, y"), "");
    EXPECT_EQ(
        c.logs(),
        (std::vector<std::string>{
            "log c 3 Failed to replace table: the columns of table \"uneven\" differ in length (a 3, b 1)",
            "log c 3 Failed to replace table: the column name \"a\\\"b\" of table \"t\" holds a double quote",
            "log c 3 Failed to insert table: the column name \"a`b\" of table \"t\" holds a backquote",
            "log c 3 Failed to replace table: the table name \"x; DROP TABLE y\" holds a semicolon",
            "log c 3 Failed to insert table: the name of the column at index 0 of table \"t\" is empty",
            "log c 3 Failed to replace table: the column name \"x Integer, y\" of table \"t\" holds a space",
        }));
    EXPECT_TRUE(c.sandbox.database().state().requests.empty());

    // A table the checks pass goes out as before.
    client.sql_replace("c", one_column("fine", "a"), "");
    EXPECT_EQ(client.sql("c", "SELECT a FROM fine")->row_count(), 1);
}

TEST(NoDatabase, QueriesAndUploadsOnAClusterWithoutADatabaseShardSaySo) {
    auto log = std::make_shared<LogRecorder>();
    Client client;
    client.listener_add(log);
    client.add_cluster(Cluster("nodb", "127.0.0.1"), true);
    const std::string none = "Cluster has no enabled database shard [nodb]";
    EXPECT_EQ(client.sql("nodb", "SELECT 1")->error_message(), "Failed to execute SQL query: " + none);
    Table t("t");
    t.add_column("a", std::vector<std::int32_t>{1});
    client.sql_insert("nodb", std::move(t));
    EXPECT_TRUE(log->wait_for("log nodb 3 Failed to execute bulk insert: " + none));
    EXPECT_EQ(log->with_prefix("log nodb 3 Failed to execute SQL query: " + none).size(), 1u);
}

}  // namespace
}  // namespace tyx
