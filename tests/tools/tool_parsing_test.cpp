// The tool's parsers and formatters: field values, CSV, clusters files, JSON lines.
#include <gtest/gtest.h>

#include <sstream>

#include "clusters.hpp"
#include "csv.hpp"
#include "field_values.hpp"
#include "publish_input.hpp"
#include "subscribe_output.hpp"
#include "table_output.hpp"
#include "tool_error.hpp"

namespace tyx::tool {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(FieldArgument, ReadsInferredAndExplicitTypes) {
    const struct {
        const char* argument;
        const char* name;
        FieldValue value;
    } cases[] = {
        {"qty=10", "qty", std::int32_t{10}},
        {"qty=-5", "qty", std::int32_t{-5}},
        {"qty=+7", "qty", std::int32_t{7}},
        {"big=3000000000", "big", std::int64_t{3000000000}},
        {"huge=18446744073709551615", "huge", std::uint64_t{18446744073709551615u}},
        {"px=1.5", "px", 1.5},
        {"px=0.25", "px", 0.25},
        {"px=1e3", "px", 1000.0},
        {"code=007", "code", std::string("007")},
        {"code=007.5", "code", std::string("007.5")},
        {"word=nan", "word", std::string("nan")},
        {"big=18446744073709551616", "big", std::string("18446744073709551616")},
        {"side=B", "side", std::string("B")},
        {"empty=", "empty", std::string()},
        {"eq=a=b", "eq", std::string("a=b")},
        {"n:i64=5", "n", std::int64_t{5}},
        {"n:long=5", "n", std::int64_t{5}},
        {"n:u8=255", "n", std::uint8_t{255}},
        {"n:i8=-128", "n", std::int8_t{-128}},
        {"n:u16=65535", "n", std::uint16_t{65535}},
        {"n:i16=-3", "n", std::int16_t{-3}},
        {"n:u32=4000000000", "n", std::uint32_t{4000000000u}},
        {"n:u64=1", "n", std::uint64_t{1}},
        {"f:f32=1.5", "f", 1.5f},
        {"f:f64=2", "f", 2.0},
        {"s:str=10", "s", std::string("10")},
        {"c:char=B", "c", 'B'},
        {"b:bytes=0x0aFF", "b", Bytes{0x0a, 0xff}},
        {"b:bytes=", "b", Bytes{}},
        {"z:null=", "z", std::monostate{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        const auto [name, value] = parse_field_argument(c.argument);
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(value.index(), c.value.index());
        EXPECT_EQ(value, c.value);
    }
}

TEST(FieldArgument, RefusesMalformedOrOutOfRangeValues) {
    const struct {
        const char* argument;
        const char* message_part;
    } cases[] = {
        {"qty", "NAME=VALUE"},
        {"=5", "NAME=VALUE"},
        {":i32=5", "NAME=VALUE"},
        {"n:=5", "NAME=VALUE"},
        {"n:u8=256", "is not a u8 value"},
        {"n:u8=-1", "is not a u8 value"},
        {"n:i8=-129", "is not a i8 value"},
        {"n:i32=1.5", "is not a i32 value"},
        {"n:u64=x", "is not a u64 value"},
        {"f:f32=abc", "is not a f32 value"},
        {"c:char=ab", "single char"},
        {"b:bytes=abc", "even number"},
        {"b:bytes=zz", "not hexadecimal"},
        {"z:null=x", "takes no text"},
        {"n:int128=1", "unknown value type"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        try {
            parse_field_argument(c.argument);
            ADD_FAILURE() << "accepted";
        } catch (const ToolError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
        }
    }
}

TEST(FieldJson, ReadsJsonValuesAndTypedObjects) {
    using nlohmann::json;
    const struct {
        const char* text;
        FieldValue value;
    } cases[] = {
        {"10", std::int32_t{10}},
        {"-2147483649", std::int64_t{-2147483649}},
        {"5000000000", std::int64_t{5000000000}},
        {"18446744073709551615", std::uint64_t{18446744073709551615u}},
        {"1.25", 1.25},
        {"\"s\"", std::string("s")},
        {"null", std::monostate{}},
        {"true", std::uint8_t{1}},
        {"false", std::uint8_t{0}},
        {R"({"type": "u16", "value": 7})", std::uint16_t{7}},
        {R"({"type": "i64", "value": "8"})", std::int64_t{8}},
        {R"({"type": "f32", "value": 0.5})", 0.5f},
        {R"({"type": "bytes", "value": "0102"})", Bytes{1, 2}},
        {R"({"type": "char", "value": "x"})", 'x'},
        {R"({"type": "null"})", std::monostate{}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const auto value = json_to_field_value(json::parse(c.text));
        EXPECT_EQ(value.index(), c.value.index());
        EXPECT_EQ(value, c.value);
    }
    for (const char* bad : {"[1]", R"({"value": 1})", R"({"type": "u8", "value": 300})",
                            R"({"type": "u8", "value": 1, "extra": 2})"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(json_to_field_value(json::parse(bad)), ToolError);
    }
}

TEST(FieldJson, WritesEveryAlternativeReadably) {
    EXPECT_EQ(field_value_to_json(1.1f).dump(), "1.1");
    EXPECT_EQ(field_value_to_json('B').dump(), "\"B\"");
    EXPECT_EQ(field_value_to_json(std::uint8_t{200}).dump(), "200");
    EXPECT_EQ(field_value_to_json(std::int8_t{-3}).dump(), "-3");
    EXPECT_EQ(field_value_to_json(Bytes{0x01, 0xab}).dump(), "\"0x01AB\"");
    EXPECT_EQ(field_value_to_json(std::monostate{}).dump(), "null");
    EXPECT_EQ(field_value_to_json(std::uint64_t{18446744073709551615u}).dump(), "18446744073709551615");
    // Text that is not UTF-8 is printed with replacement characters rather than ending the command.
    nlohmann::ordered_json line = {{"s", field_value_to_json(std::string("a\xff"))}};
    EXPECT_EQ(json_line(line), "{\"s\":\"a\xEF\xBF\xBD\"}");
}

std::vector<std::vector<std::string>> read_records(const std::string& text) {
    std::istringstream in(text);
    CsvReader reader(in);
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> fields;
    while (reader.next(fields)) records.push_back(fields);
    return records;
}

TEST(CsvReader, ReadsRecordsOfEveryShape) {
    using Records = std::vector<std::vector<std::string>>;
    const struct {
        const char* name;
        std::string text;
        Records records;
    } cases[] = {
        {"plain", "a,b\n1,2\n", {{"a", "b"}, {"1", "2"}}},
        {"crlf and no final line end", "a,b\r\n1,2", {{"a", "b"}, {"1", "2"}}},
        {"quoted comma, quote and line break",
         "x\n\"a,b\",\"say \"\"hi\"\"\"\n\"two\r\nlines\"\n",
         {{"x"}, {"a,b", "say \"hi\""}, {"two\r\nlines"}}},
        {"empty fields", ",\n\"\",x,\n", {{"", ""}, {"", "x", ""}}},
        {"blank lines skipped", "a\n\n\r\nb\n\n", {{"a"}, {"b"}}},
        {"byte order mark", "\xEF\xBB\xBFid,v\n1,2\n", {{"id", "v"}, {"1", "2"}}},
        {"quote inside an unquoted field", "ab\"c\n", {{"ab\"c"}}},
        {"spaces kept", " a , b \n", {{" a ", " b "}}},
        {"empty input", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(read_records(c.text), c.records);
    }
}

TEST(CsvReader, NamesTheLineOfMalformedInput) {
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {"a\n\"x\"y\n", "CSV line 2: text after a closing quote"},
        {"a\nb\n\"open\nstill open\n", "CSV line 3: a quoted field is not closed before the end of the file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            read_records(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const ToolError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(CsvReader, ReadsBackWhatCsvFieldWrites) {
    const std::vector<std::string> fields = {"plain",    "a,b",   "q\"uote", "line\nbreak",
                                             "cr\r\nlf", " lead", "",        "x"};
    std::string text;
    for (std::size_t i = 0; i < fields.size(); ++i) text += (i ? "," : "") + csv_field(fields[i]);
    text += "\n";
    EXPECT_EQ(read_records(text), std::vector<std::vector<std::string>>{fields});
}

TEST(CsvTypes, InfersTheNarrowestTypeThatHoldsEveryCell) {
    using Cells = std::vector<std::string>;
    const struct {
        Cells cells;
        CsvColumnType type;
    } cases[] = {
        {{"1", "-2", "+3", "9223372036854775807"}, CsvColumnType::integer},
        {{"1", "2.5"}, CsvColumnType::floating},
        {{"1e3", "0.5", "-7"}, CsvColumnType::floating},
        // Beyond 64 bits a whole number would lose digits as a float.
        {{"9223372036854775808"}, CsvColumnType::text},
        {{"1.5", "2", "-9223372036854775809"}, CsvColumnType::text},
        {{"1.5", "2"}, CsvColumnType::floating},
        {{"1", "x"}, CsvColumnType::text},
        {{"007", "8"}, CsvColumnType::text},
        {{"1", ""}, CsvColumnType::text},
        {{"nan", "inf"}, CsvColumnType::text},
        {{"1.5", "1,5"}, CsvColumnType::text},
        {{}, CsvColumnType::text},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.cells));
        EXPECT_EQ(infer_column_type(c.cells), c.type);
    }
}

TEST(CsvData, ReadsAHeaderAndBuildsTablesByBatch) {
    std::istringstream in("id,px,name\n1,1.5,a\n2,2,b\n3,3.25,c\n4,4,d\n");
    const CsvData data = read_csv(in);
    ASSERT_EQ(data.row_count(), 4u);
    EXPECT_EQ(data.types, (std::vector<CsvColumnType>{CsvColumnType::integer, CsvColumnType::floating,
                                                      CsvColumnType::text}));
    const tyx::Table batch = data.to_table("t", 1, 2);
    EXPECT_EQ(batch.table_name(), "t");
    EXPECT_EQ(batch.column_names(), (std::vector<std::string>{"id", "px", "name"}));
    ASSERT_EQ(batch.columns().size(), 3u);
    EXPECT_EQ(std::get<std::vector<std::int64_t>>(batch.columns()[0]), (std::vector<std::int64_t>{2, 3}));
    EXPECT_EQ(std::get<std::vector<double>>(batch.columns()[1]), (std::vector<double>{2.0, 3.25}));
    EXPECT_EQ(std::get<std::vector<std::string>>(batch.columns()[2]), (std::vector<std::string>{"b", "c"}));
    // The last batch is cut at the end of the data.
    EXPECT_EQ(data.to_table("t", 3, 10).row_count(), 1);
}

TEST(CsvData, RefusesFilesThatCannotBeATable) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "the CSV file is empty: it needs a header line"},
        {"a,,b\n", "the CSV header has an empty column name"},
        {"Id,x,ID\n", "the CSV header names the column \"ID\" twice"},
        {"a,b\n1,2\n3\n", "CSV line 3 has 1 fields, the header has 2"},
        {"a,b\n\"1\n2\",3\n4,5,6\n", "CSV line 4 has 3 fields, the header has 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::istringstream in(c.text);
        try {
            read_csv(in);
            ADD_FAILURE() << "accepted";
        } catch (const ToolError& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(ClustersFile, ReadsEveryKeyAndFillsDefaults) {
    const auto clusters = parse_clusters_file(R"({"clusters": {
        "local": {"relay_port": 9001},
        "prod": {"description": "d", "host": "h", "relay_port": "tyx-relay", "center_port": 2, "db_port": 3,
                 "tls": true, "trusted_server_keys": "k.pub", "client_cert": "c.pem", "client_key": "c.key",
                 "client_key_password": "pw", "login": "me", "db_user": "u", "db_password": "p",
                 "query_timeout": 5}}})");
    ASSERT_EQ(clusters.size(), 2u);
    const auto& local = clusters.at("local");
    EXPECT_EQ(local.name, "local");
    EXPECT_EQ(local.host, "127.0.0.1");
    EXPECT_EQ(local.relay_port, "9001");
    EXPECT_EQ(local.center_port, "7002");
    EXPECT_FALSE(local.tls);
    const auto& prod = clusters.at("prod");
    EXPECT_EQ(prod.endpoint(ServerKind::relay), "h:tyx-relay");
    EXPECT_EQ(prod.endpoint(ServerKind::center), "h:2");
    EXPECT_EQ(prod.endpoint(ServerKind::database), "h:3");
    EXPECT_TRUE(prod.tls);
    EXPECT_EQ(prod.ssl.trusted_server_pub_file, "k.pub");
    EXPECT_EQ(prod.ssl.client_key_password, "pw");
    EXPECT_EQ(prod.login, "me");
    EXPECT_EQ(prod.db_password, "p");
    EXPECT_EQ(prod.query_timeout_s, 5);
}

TEST(ClustersFile, RefusesWhatItWouldOtherwiseIgnoreOrMisread) {
    const struct {
        const char* text;
        const char* message_part;
    } cases[] = {
        {"{", "not valid JSON"},
        {"[]", "must be an object with an object \"clusters\""},
        {R"({"clusters": {}, "extra": 1})", "unknown key \"extra\""},
        {R"({"clusters": {"a": {"hots": "x"}}})", "cluster \"a\" has an unknown key \"hots\""},
        {R"({"clusters": {"a": {"relay_port": 70000}}})", "port number or a service name"},
        {R"({"clusters": {"a": {"relay_port": -1}}})", "port number or a service name"},
        {R"({"clusters": {"a": {"tls": "yes"}}})", "must be true or false"},
        {R"({"clusters": {"a": {"host": 1}}})", "must be a string"},
        {R"({"clusters": {"a": {"query_timeout": 0}}})", "from 1 to 86400"},
        {R"({"clusters": {"a": 1}})", "must be an object"},
        {R"({"clusters": {"a": {"query_timeout": 1e400}}})", "not valid JSON"},  // beyond a double
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_clusters_file(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const ToolError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
        }
    }
}

TEST(ClustersFile, MakesAClusterOfTheKindsACommandNeedsOnly) {
    ClusterSettings s;
    s.name = "c";
    s.tls = true;
    s.ssl.client_cert_file = "c.pem";
    s.db_user = "u";
    s.query_timeout_s = 7;
    const auto db_only = make_cluster(s, {ServerKind::database});
    EXPECT_FALSE(db_only.publication_config.enabled());
    EXPECT_FALSE(db_only.subscription_config.enabled());
    ASSERT_TRUE(db_only.database_config.enabled());
    EXPECT_EQ(db_only.database_config.shards.front().port_or_service, "7003");
    EXPECT_TRUE(db_only.database_config.shards.front().use_ssl);
    EXPECT_EQ(db_only.database_config.shards.front().ssl.client_cert_file, "c.pem");
    EXPECT_EQ(db_only.database_config.username, "u");
    EXPECT_EQ(db_only.database_config.query_timeout_ms, 7000);
    const auto both = make_cluster(s, {ServerKind::relay, ServerKind::center});
    EXPECT_EQ(both.publication_config.login_id, "tyx-cli");
    EXPECT_TRUE(both.subscription_config.enabled());
    EXPECT_FALSE(both.database_config.enabled());
}

TEST(PublishLine, ReadsObjectsAndRemovals) {
    PublishItem item;
    ASSERT_TRUE(parse_publish_line(
        R"({"type":"Orders","id":"o-1","fields":{"qty":10,"px":1.5,"side":"B","n":{"type":"u8","value":3}},"seqnum":4})",
        "", false, item));
    EXPECT_EQ(item.type, "Orders");
    EXPECT_EQ(item.id, "o-1");
    // Fields keep the order they were written in.
    EXPECT_EQ(item.field_names, (std::vector<std::string>{"qty", "px", "side", "n"}));
    EXPECT_EQ(item.field_values,
              (std::vector<FieldValue>{std::int32_t{10}, 1.5, std::string("B"), std::uint8_t{3}}));
    EXPECT_EQ(item.seqnum, 4);
    EXPECT_FALSE(item.remove);

    ASSERT_TRUE(parse_publish_line(R"({"id": 17, "remove": true})", "Default", false, item));
    EXPECT_EQ(item.type, "Default");
    EXPECT_EQ(item.id, "17");
    EXPECT_TRUE(item.remove);
    EXPECT_TRUE(item.field_names.empty());

    ASSERT_TRUE(parse_publish_line(R"({"type":"T","id":"x"})", "", true, item));
    EXPECT_TRUE(item.remove);
    EXPECT_FALSE(parse_publish_line("  \r", "", false, item));
}

TEST(PublishLine, RefusesLinesItCannotSendFaithfully) {
    const struct {
        const char* line;
        const char* message_part;
    } cases[] = {
        {"{", "not JSON"},
        {"[1]", "must be a JSON object"},
        {R"({"id":"x"})", "no \"type\""},
        {R"({"type":"T"})", "no \"id\""},
        {R"({"type":"T","id":"x","field":{}})", "unknown key \"field\""},
        {R"({"type":"T","id":"x","fields":{"ok":[true]}})", "field \"ok\": no field type takes"},
        {R"({"type":"T","id":"x","fields":[1]})", "\"fields\" must be an object"},
        {R"({"type":"T","id":"x","seqnum":1.5})", "\"seqnum\" must be a whole number"},
        {R"({"type":"T","id":"x","seqnum":18446744073709551615})", "\"seqnum\" does not fit"},
        {R"({"type":"T","id":"x","fields":{"px":1e400}})", "not JSON"},  // beyond a double
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        PublishItem item;
        try {
            parse_publish_line(c.line, "", false, item);
            ADD_FAILURE() << "accepted";
        } catch (const ToolError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
        }
    }
}

TEST(TableOutput, WritesCsvAndJsonLinesWithMissingValues) {
    tyx::Table table("t");
    table.add_column("a", std::vector<std::int32_t>{1, 2})
        .add_column("s", std::vector<std::string>{"x,y"})
        .add_column("a", std::vector<double>{0.5, 1e300}, tyx::NullMask{0b01})  // row 0 is NULL
        .add_column("b", std::vector<std::vector<std::uint8_t>>{{0xff}, {}});
    std::ostringstream csv;
    write_table(table, TableFormat::csv, csv);
    EXPECT_EQ(csv.str(), "a,s,a,b\n1,\"x,y\",,0xFF\n2,,1e+300,0x\n");
    std::ostringstream lines;
    write_table(table, TableFormat::jsonl, lines);
    EXPECT_EQ(lines.str(),
              "{\"a\":1,\"s\":\"x,y\",\"a_2\":null,\"b\":\"0xFF\"}\n"
              "{\"a\":2,\"s\":null,\"a_2\":1e+300,\"b\":\"0x\"}\n");
    // Without a result set the machine formats write nothing at all.
    std::ostringstream none;
    write_table(tyx::Table("empty"), TableFormat::jsonl, none);
    EXPECT_EQ(none.str(), "");
}

TEST(TableOutput, CsvOfOneColumnKeepsItsEmptyCells) {
    // Written as an empty line, an empty cell would read back as no record at all.
    tyx::Table table("t");
    table.add_column("s", std::vector<std::string>{"", "x", ""});
    std::ostringstream csv;
    write_table(table, TableFormat::csv, csv);
    EXPECT_EQ(csv.str(), "s\n\"\"\nx\n\"\"\n");
    std::istringstream in(csv.str());
    EXPECT_EQ(read_csv(in).cells, (std::vector<std::vector<std::string>>{{"", "x", ""}}));
}

TEST(SubscribeOutput, NamesTheActionAndKeepsFieldOrder) {
    tyx::ClientListener::CenterIncrementalUpdate update;
    update.action = 2;
    update.id = 9;
    update.table_name = "Orders";
    update.object_id = "o-1";
    update.field_names = {"qty", "side", "gone"};
    update.row_data = {std::int32_t{5}, 'B', std::monostate{}};
    EXPECT_EQ(json_line(update_json(update)),
              R"({"action":"updated","table":"Orders","id":9,"object_id":"o-1","seqnum":0,)"
              R"("fields":{"qty":5,"side":"B","gone":null}})");
    update.action = 7;
    update.field_names = {"x"};
    update.row_data = {};
    EXPECT_EQ(json_line(update_json(update)),
              R"({"action":7,"table":"Orders","id":9,"object_id":"o-1","seqnum":0,"fields":{"x":null}})");
}

}  // namespace
}  // namespace tyx::tool
