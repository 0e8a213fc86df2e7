#include "sandbox_store.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <unordered_set>

namespace tyx::sandbox {
namespace {

std::vector<RelayPublication> publications(const std::vector<std::string>& lines) {
    std::vector<RelayPublication> out;
    for (const auto& line : lines) {
        auto parsed = parse_relay_line(line);
        RelayPublication p;
        p.kind = parsed.type == 'D' ? RelayPublication::Kind::Removal : RelayPublication::Kind::Object;
        p.type = parsed.field("T")->value.text;
        p.id = parsed.field("I")->value.text;
        p.line = line;
        out.push_back(std::move(p));
    }
    return out;
}

struct StoreFixture : ::testing::Test {
    std::shared_ptr<SqliteDatabase> db = std::make_shared<SqliteDatabase>();
    SandboxStore store{db};

    std::vector<center::CenterEntity> apply(const std::vector<std::string>& lines,
                                            std::vector<std::string>* changed = nullptr) {
        return store.apply(publications(lines), changed);
    }
    DbElement query(const std::string& sql) {
        auto elements = db->execute(sql);
        EXPECT_EQ(elements.size(), 1u);
        return elements.at(0);
    }
};

TEST_F(StoreFixture, EachWireFormGetsItsColumnTypeAndValueCode) {
    std::vector<std::string> changed;
    const auto rows = apply({R"(O|T="Mix"|I="a"|i=5|l=5L|f=1.5F|d=2.5D|s="x y"|b=Z|e=)"}, &changed);
    EXPECT_EQ(changed, (std::vector<std::string>{"Mix"}));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].action, 1);
    EXPECT_EQ(rows[0].object_id, "a");
    // name, database type code, center value code, integer, real, text
    struct Case {
        const char* name;
        int type;
        int code;
        std::int64_t i;
        double d;
        const char* s;
    };
    const std::vector<Case> cases = {{"i", 14, 13, 5, 0, ""},   {"l", 16, 31, 5, 0, ""},
                                     {"f", 15, 5, 0, 1.5, ""},  {"d", 17, 6, 0, 2.5, ""},
                                     {"s", 20, 8, 0, 0, "x y"}, {"b", 20, 8, 0, 0, "Z"},
                                     {"e", 20, 1, 0, 0, ""}};
    const auto schema = store.schema("Mix");
    ASSERT_TRUE(schema);
    ASSERT_EQ(schema->columns.size(), cases.size());
    ASSERT_EQ(rows[0].values.size(), cases.size());
    const auto result = query("SELECT * FROM Mix");
    ASSERT_EQ(result.table.columns.size(), cases.size() + 1);
    EXPECT_EQ(result.table.columns[0].type(), 20);  // id
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto& c = cases[k];
        EXPECT_EQ(schema->columns[k].name, c.name);
        EXPECT_EQ(schema->columns[k].type, c.type) << c.name;
        EXPECT_EQ(result.table.columns[k + 1].type(), c.type) << c.name;
        const auto& v = rows[0].values[k];
        EXPECT_EQ(v.code, c.code) << c.name;
        EXPECT_EQ(v.integer, c.i) << c.name;
        EXPECT_EQ(v.real, c.d) << c.name;
        EXPECT_EQ(v.text, c.s) << c.name;
    }
}

TEST_F(StoreFixture, RowIsTheLatestPublicationAndKeepsItsRowid) {
    apply({R"(O|T="T"|I="a"|n=1|s="x")", R"(O|T="T"|I="b"|n=2)"});
    // Affinity: the text "7" in an Integer column is stored as 7, the integer 5 in a String column as "5".
    const auto rows = apply({R"(O|T="T"|I="a"|n="7"|s=5)", R"(O|T="T"|I="b"|n=3)"});
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].action, 2);
    EXPECT_EQ(rows[0].id, 1);
    EXPECT_EQ(rows[0].values[0].code, 13);
    EXPECT_EQ(rows[0].values[0].integer, 7);
    EXPECT_EQ(rows[0].values[1].code, 8);
    EXPECT_EQ(rows[0].values[1].text, "5");
    EXPECT_EQ(rows[1].id, 2);
    EXPECT_EQ(rows[1].values[1].code, 1);  // b never had s

    const auto removed = apply({R"(D|T="T"|I="a")", R"(D|T="T"|I="a")", R"(D|T="Nope"|I="a")"});
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0].action, 3);
    EXPECT_EQ(removed[0].id, 1);
    EXPECT_TRUE(removed[0].field_names.empty());
    const auto snapshot = store.rows("T");
    ASSERT_EQ(snapshot.size(), 1u);
    EXPECT_EQ(snapshot[0].object_id, "b");
    EXPECT_TRUE(store.rows("Nope").empty());
    EXPECT_FALSE(store.schema("Nope"));
}

TEST_F(StoreFixture, FieldNamesMatchWithoutCaseAndIdIsNotAValue) {
    apply({R"(O|T="T"|I="a"|Qty=1)"});
    const auto rows = apply({R"(O|T="T"|I="a"|qty=2|ID=9|id="x")"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].field_names, (std::vector<std::string>{"Qty"}));
    EXPECT_EQ(rows[0].values[0].integer, 2);
    EXPECT_EQ(rows[0].object_id, "a");
}

TEST_F(StoreFixture, TablesChangedThroughSqlAreReadAgain) {
    db->execute("CREATE TABLE Ext (id String TEXT PRIMARY KEY, n Long INTEGER, note TEXT)");
    auto rows = apply({R"(O|T="Ext"|I="e1"|n=3)"});
    ASSERT_EQ(rows.size(), 1u);
    ASSERT_EQ(rows[0].values.size(), 2u);
    EXPECT_EQ(rows[0].values[0].code, 31);  // a Long column, whatever the wire form
    EXPECT_EQ(store.schema("Ext")->columns[1].type, 20);

    db->execute("ALTER TABLE Ext ADD COLUMN extra Double REAL");
    rows = apply({R"(O|T="Ext"|I="e1"|extra=2)"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].field_names, (std::vector<std::string>{"n", "note", "extra"}));
    EXPECT_EQ(rows[0].values[2].code, 6);

    db->execute("DROP TABLE Ext");
    rows = apply({R"(O|T="Ext"|I="e2"|k=1)"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].field_names, (std::vector<std::string>{"k"}));
    EXPECT_EQ(store.errors(), 0u) << store.last_error();
}

// The store remembers where an object's row is; rows SQL moved or duplicated must still be found.
TEST_F(StoreFixture, UpdatesFindTheirRowsWhereverSqlPutThem) {
    apply({R"(O|T="R"|I="a"|v=1)", R"(O|T="R"|I="b"|v=2)"});
    db->execute("DELETE FROM R");
    db->execute("INSERT INTO R (rowid, id, v) VALUES (1, 'b', 20), (2, 'a', 10)");
    auto rows = apply({R"(O|T="R"|I="a"|v=3)"});
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].action, 2);
    EXPECT_EQ(rows[0].id, 2);
    const auto all = store.rows("R");
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].object_id, "b");
    EXPECT_EQ(all[0].values[0].integer, 20);
    EXPECT_EQ(all[1].values[0].integer, 3);

    // Without a unique id every row holding it is updated, every time.
    db->execute("CREATE TABLE D (id TEXT, v INTEGER)");
    db->execute("INSERT INTO D VALUES ('x', 1), ('x', 2)");
    for (const int v : {5, 6}) {
        rows = apply({R"(O|T="D"|I="x"|v=)" + std::to_string(v)});
        ASSERT_EQ(rows.size(), 2u);
        for (const auto& row : store.rows("D")) EXPECT_EQ(row.values[0].integer, v);
    }
    EXPECT_EQ(store.errors(), 0u) << store.last_error();
}

TEST_F(StoreFixture, WorksInsideATransactionADatabaseClientOpened) {
    db->execute("BEGIN");
    apply({R"(O|T="T"|I="a"|n=1)"});
    db->execute("ROLLBACK");
    EXPECT_TRUE(store.rows("T").empty());
    EXPECT_EQ(apply({R"(O|T="T"|I="a"|n=1)"}).size(), 1u);
    EXPECT_EQ(store.rows("T").size(), 1u);
}

}  // namespace
}  // namespace tyx::sandbox

namespace tyx::sandbox {
namespace {

// The center sends what the store encodes straight from SQLite; it must be byte for byte the
// message made from the store's entity records: every value form, an added column mid-batch, a
// removal, a table left out, by name and by position, and a snapshot.
TEST(StoreEncoding, EncodedChangesAreTheBytesOfTheEntityRecords) {
    const std::vector<std::string> lines = {R"(O|T="T"|I="a"|n=5|l=5L|f=1.5F|d=2.5D|s="x y"|b=Z|e=)",
                                            R"(O|T="T"|I="b"|n=2147483648)",
                                            R"(O|T="T"|I="a"|n=6|s=7)",
                                            R"(O|T="T"|I="c"|x=1.0D)",
                                            R"(D|T="T"|I="b")",
                                            R"(O|T="U"|I="u"|v="w")",
                                            R"(O|T="T"|I="c"|x=2D)"};
    for (const bool by_position : {false, true}) {
        for (const bool with_u : {true, false}) {
            SandboxStore records(std::make_shared<SqliteDatabase>());
            SandboxStore encoder(std::make_shared<SqliteDatabase>());
            center::KeyPool records_pool, encoder_pool;
            auto entities = records.apply(publications(lines));
            center::EncodedEntities encoded;
            encoder.apply(publications(lines), encoder_pool, encoded);
            std::erase_if(entities, [&](const auto& e) { return !with_u && e.table == "U"; });
            std::vector<char> take;
            for (const auto& t : encoded.tables) take.push_back(with_u || t != "U" ? 1 : 0);
            // As the center met the keys before: in the order the entities use them.
            center::ChangesMessage m;
            std::unordered_set<std::int16_t> records_sent, encoder_sent;
            auto use = [&](const std::string& name) {
                const auto key = records_pool.key(name);
                if (records_sent.insert(key).second) m.pool_keys.push_back(key);
            };
            for (const auto& e : entities) {
                use(e.table);
                for (const auto& f : e.field_names) use(f);
            }
            m.seqnum = 9;
            m.entities = entities;
            EXPECT_EQ(
                center::frame(center::encode_changes_payload(m, records_pool, by_position)),
                center::encode_changes_frame(9, {}, encoded, take, encoder_pool, encoder_sent, by_position));

            center::EncodedEntities snapshot;
            encoder.rows("T", encoder_pool, snapshot);
            m.entities = records.rows("T");
            m.pool_keys.clear();
            m.schemas = {*records.schema("T")};
            records_sent.clear();
            use("T");
            for (const auto& c : m.schemas[0].columns) use(c.name);
            std::unordered_set<std::int16_t> none;
            EXPECT_EQ(
                center::frame(center::encode_changes_payload(m, records_pool, by_position)),
                center::encode_changes_frame(9, m.schemas, snapshot, {1}, encoder_pool, none, by_position));
        }
    }
}

// An update is encoded from the values it wrote when the columns keep them as written; a value
// a column converts and a row a trigger rewrites must still come out as SQLite stored them.
TEST(StoreEncoding, EncodedUpdatesAreTheRowsAsStored) {
    const char* setup =
        "CREATE TABLE M (id TEXT PRIMARY KEY, i INTEGER, r REAL, f Float REAL, t TEXT, b BLOB, n NUMERIC);"
        "CREATE TABLE G (id TEXT PRIMARY KEY, v INTEGER);"
        "CREATE TRIGGER bump AFTER UPDATE ON G BEGIN UPDATE G SET v = v + 100 WHERE rowid = NEW.rowid; END;";
    std::vector<std::string> lines = {R"(O|T="M"|I="a"|i=1)", R"(O|T="G"|I="g"|v=1)", R"(O|T="G"|I="g"|v=2)"};
    for (const char* values : {R"(|i=5|r=1.5D|f=2.25F|t="x"|b="y"|n=7|e=)",     // kept as written
                               R"(|i=2.0D|r=3|f=-0.0D|t=5|b=1.5D|n=2.5D)",      // converted
                               R"(|i="12"|r="1e3"|t=9L|n="4"|f=nanD|b=-0.0D)",  // converted or NULL
                               R"(|i=18446744073709551615L|r=0.0D|t=Z|n=-3)", R"(|r=-0.0D|t="")"})
        lines.push_back(std::string(R"(O|T="M"|I="a")") + values);
    SandboxStore records(std::make_shared<SqliteDatabase>());
    SandboxStore encoder(std::make_shared<SqliteDatabase>());
    for (auto* store : {&records, &encoder})
        ASSERT_EQ(sqlite3_exec(store->database()->handle(), setup, nullptr, nullptr, nullptr), SQLITE_OK);
    center::KeyPool records_pool, encoder_pool;
    const auto entities = records.apply(publications(lines));
    center::EncodedEntities encoded;
    encoder.apply(publications(lines), encoder_pool, encoded);
    ASSERT_EQ(records.errors(), 0u) << records.last_error();
    ASSERT_EQ(entities.size(), lines.size());
    EXPECT_EQ(entities[2].values[0].integer, 102);  // as the trigger left it

    center::ChangesMessage m;
    std::unordered_set<std::int16_t> sent;
    auto use = [&](const std::string& name) {
        if (sent.insert(records_pool.key(name)).second) m.pool_keys.push_back(records_pool.key(name));
    };
    for (const auto& e : entities) {
        use(e.table);
        for (const auto& f : e.field_names) use(f);
    }
    m.seqnum = 9;
    m.entities = entities;
    std::unordered_set<std::int16_t> none;
    EXPECT_EQ(center::frame(center::encode_changes_payload(m, records_pool, false)),
              center::encode_changes_frame(9, {}, encoded, std::vector<char>(encoded.tables.size(), 1),
                                           encoder_pool, none, false));
}

}  // namespace
}  // namespace tyx::sandbox
