#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>

#include "center/change_decoder.hpp"
#include "support/center_bytes.hpp"
#include "support/center_recording_sink.hpp"

namespace tyx::center {
namespace {

using test::CenterBytes;
using test::hex;

CenterBytes key_entry(std::int16_t id, std::string_view text) {
    return CenterBytes().u8(0).i16_be(id).utf(text);
}
CenterBytes value_entry(std::int32_t id, std::string_view text) {
    return CenterBytes().u8(1).i32_be(id).utf(text);
}

// The fields of a changes message, written by name or by position.
struct ChangesField {
    std::string name;
    std::uint8_t pid;
    std::uint8_t type;
    CenterBytes value;
};
ChangesField seq_num(std::int64_t n) {
    return {"seqNum", 20, 6, CenterBytes().i64_be(n)};
}
ChangesField added(const CenterBytes& b) {
    return {"tyxEntitiesAdded", 24, 101, CenterBytes().byte_array(b)};
}
ChangesField updated(const CenterBytes& b) {
    return {"tyxEntitiesUpdated", 25, 101, CenterBytes().byte_array(b)};
}
ChangesField removed(const CenterBytes& b) {
    return {"tyxEntitiesRemoved", 26, 101, CenterBytes().byte_array(b)};
}
ChangesField schema(const CenterBytes& b) {
    return {"schemaChanges", 27, 101, CenterBytes().byte_array(b)};
}
ChangesField pool(const CenterBytes& b) {
    return {"tyxValuesStringPoolMap", 28, 101, CenterBytes().byte_array(b)};
}

CenterBytes changes_message(const std::vector<ChangesField>& fields, bool by_name, bool end_marker = true) {
    CenterBytes b;
    b.preamble("Y9.VE.CH", by_name ? 0 : 1);
    for (const auto& f : fields) {
        if (by_name)
            b.named(f.name, f.type).raw(f.value);
        else
            b.pid(f.pid, f.type).raw(f.value);
    }
    if (!end_marker) return b;
    return by_name ? b.end_named() : b.end_positional();
}

const CenterBytes kPool = CenterBytes()
                              .raw(key_entry(1, "Orders"))
                              .raw(key_entry(2, "price"))
                              .raw(key_entry(3, "sym"))
                              .raw(key_entry(-4, "qty"))
                              .raw(value_entry(70000, "IBM"))
                              .raw(value_entry(-1, "neg"));

// An entity of table 1 with id, object id and three fields.
CenterBytes order_entity(std::int64_t id) {
    return CenterBytes().entity(1, CenterBytes()
                                       .i64_be(id)
                                       .u8(0x60)
                                       .utf("order-" + std::to_string(id))
                                       .i16_be(3)
                                       .i16_be(2)
                                       .u8(6)
                                       .f64_be(101.5)
                                       .i16_be(3)
                                       .u8(24)
                                       .u8(0x01)
                                       .u8(0x11)
                                       .u8(0x70)
                                       .i16_be(-4)
                                       .u8(13)
                                       .i32_be(-7));
}

class CenterChangesTest : public ::testing::Test {
protected:
    test::CenterRecordingSink sink;
    ChangeDecoder decoder{sink};

    std::string decode(const CenterBytes& payload) { return test::decode_exact_copy(decoder, payload); }
};

TEST_F(CenterChangesTest, DecodesAFullMessageInEitherEncoding) {
    for (bool by_name : {true, false}) {
        sink.updates.clear();
        const auto msg = changes_message(
            {seq_num(42), pool(kPool), added(order_entity(5).raw(order_entity(6))), updated(order_entity(7))},
            by_name);
        ASSERT_EQ(decode(msg), "(no error)") << hex(msg.data());
        ASSERT_EQ(sink.updates.size(), 3u);
        const auto& u = *sink.updates[0];
        EXPECT_EQ(u.seqnum, 42);
        EXPECT_EQ(u.action, 1);
        EXPECT_EQ(u.id, 5);
        EXPECT_EQ(u.table_name, "Orders");
        EXPECT_EQ(u.object_id, "order-5");
        EXPECT_EQ(u.field_names, (std::vector<std::string>{"price", "sym", "qty"}));
        EXPECT_EQ(u.row_data, (std::vector<FieldValue>{101.5, std::string("IBM"), std::int32_t{-7}}));
        EXPECT_EQ(sink.updates[1]->id, 6);
        EXPECT_EQ(sink.updates[2]->action, 2);
        EXPECT_EQ(sink.updates[2]->id, 7);
    }
}

TEST_F(CenterChangesTest, PoolAndSchemaApplyBeforeEntitiesWhateverTheOrder) {
    const CenterBytes schema_bytes = CenterBytes()
                                         .i16_be(1)
                                         .u8(9)
                                         .i16_be(2)
                                         .i16_be(2)
                                         .u8(6)
                                         .u8(1)
                                         .i16_be(77)
                                         .u8(20)
                                         .u8(0)  // a column without a pooled name
                                         .i16_be(99)
                                         .u8(1)
                                         .i16_be(0);  // a table without a name: dropped
    const auto msg =
        changes_message({added(order_entity(1)), schema(schema_bytes), pool(kPool), seq_num(3)}, false);
    ASSERT_EQ(decode(msg), "(no error)");
    ASSERT_EQ(sink.updates.size(), 1u);
    EXPECT_EQ(sink.updates[0]->table_name, "Orders");
    EXPECT_EQ(sink.updates[0]->seqnum, 3);
    ASSERT_EQ(sink.schemas.size(), 1u);
    EXPECT_EQ(sink.schemas[0].first, "Orders");
    const CenterTableSchema& s = sink.schemas[0].second;
    EXPECT_EQ(s.kind, 9);
    ASSERT_EQ(s.columns.size(), 2u);
    EXPECT_EQ(s.columns[0].name, "price");
    EXPECT_EQ(s.columns[0].type, 6);
    EXPECT_EQ(s.columns[0].flags, 1);
    EXPECT_EQ(s.columns[1].name, "");

    // The pool outlives the message: a later message uses its identifiers.
    ASSERT_EQ(decode(changes_message({added(order_entity(2))}, true)), "(no error)");
    EXPECT_EQ(sink.updates.back()->table_name, "Orders");
    EXPECT_EQ(sink.updates.back()->seqnum, 3);  // no seqNum: the previous message's number
}

TEST_F(CenterChangesTest, EntityShapes) {
    struct Case {
        const char* what;
        ChangesField field;
        std::vector<std::pair<std::string, std::int64_t>> tables_and_ids;
        std::size_t field_count;
    };
    const Case cases[] = {
        {"payload of only the id",
         added(CenterBytes().entity(1, CenterBytes().i64_be(-9))),
         {{"Orders", -9}},
         0},
        {"empty payload", added(CenterBytes().entity(3, CenterBytes())), {{"sym", 0}}, 0},
        {"short payload read from its start: flags only",
         added(CenterBytes().entity(1, CenterBytes().u8(0))),
         {{"Orders", 0}},
         0},
        {"field count 0",
         added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x40).i16_be(0))),
         {{"Orders", 1}},
         0},
        {"field count negative",
         added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x40).i16_be(-3))),
         {{"Orders", 1}},
         0},
        {"count flag without count bytes",
         added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x40))),
         {{"Orders", 1}},
         0},
        {"skipped header words",
         added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x5F).zeros(30).i16_be(1).i16_be(2).u8(1))),
         {{"Orders", 1}},
         1},
        {"unknown table key", updated(CenterBytes().entity(555, CenterBytes().i64_be(8))), {{"", 8}}, 0},
        {"20-byte legacy removal",
         removed(CenterBytes().i16_be(1).i64_be(11).i16_be(3).i64_be(12)),
         {{"Orders", 11}, {"sym", 12}},
         0},
        {"removal in the entity layout", removed(order_entity(4)), {{"Orders", 4}}, 3},
    };
    for (const auto& c : cases) {
        sink.updates.clear();
        ASSERT_EQ(decode(changes_message({pool(kPool), c.field}, true)), "(no error)") << c.what;
        ASSERT_EQ(sink.updates.size(), c.tables_and_ids.size()) << c.what;
        for (std::size_t i = 0; i < c.tables_and_ids.size(); ++i) {
            EXPECT_EQ(sink.updates[i]->table_name, c.tables_and_ids[i].first) << c.what;
            EXPECT_EQ(sink.updates[i]->id, c.tables_and_ids[i].second) << c.what;
            EXPECT_EQ(sink.updates[i]->field_names.size(), c.field_count) << c.what;
            EXPECT_EQ(sink.updates[i]->row_data.size(), c.field_count) << c.what;
            if (c.field_count == 0) {
                EXPECT_EQ(sink.updates[i]->object_id, "") << c.what;
            }
        }
    }
    EXPECT_EQ(sink.updates[0]->action, 3);
}

TEST_F(CenterChangesTest, MalformedMessagesDecodeNothing) {
    const std::pair<std::vector<ChangesField>, std::string> cases[] = {
        {{{"tyxEntitiesAdded", 24, 101, CenterBytes().u8(0).u8(0)}},
         "Malformed CenterChanges byte array: missing length"},
        {{{"schemaChanges", 27, 101, CenterBytes().i32_be(5).zeros(4)}},
         "Malformed CenterChanges byte array: payload truncated"},
        {{added(CenterBytes().zeros(5))},
         "Malformed message: not enough space to get size and type_key in parse_entities"},
        {{added(CenterBytes().i32_be(1).i16_be(1))},
         "Malformed message: invalid entity size in parse_entities"},
        {{added(CenterBytes().i32_be(12).i16_be(1).zeros(9))},
         "Malformed message: entity payload exceeds available bytes in parse_entities"},
        {{updated(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0).u8(0)))},
         "Malformed message: trailing entity bytes in parse_entities"},
        {{added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x01).zeros(7)))},
         "Malformed message: entity header exceeds payload in parse_entities"},
        {{added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x20).u16_be(5).raw("abc")))},
         "Malformed message: object id exceeds entity payload in parse_entities"},
        {{added(CenterBytes().entity(1, CenterBytes().i64_be(1).u8(0x40).i16_be(2).i16_be(2).u8(1)))},
         "read_entity_value: unknown type 0"},
        {{added(CenterBytes().i16_be(1).i64_be(11).i16_be(3).i64_be(12))},  // no legacy form for additions
         "Malformed message: entity payload exceeds available bytes in parse_entities"},
        {{removed(CenterBytes().i16_be(1).i64_be(11).zeros(5))},
         "Malformed message: not enough bytes for legacy removal tuple in parse_entities"},
        {{pool(CenterBytes().u8(0).u8(1))}, "Malformed string pool: not enough data for key ID"},
        {{pool(CenterBytes().u8(1).zeros(3))}, "Malformed string pool: not enough data for value ID"},
        {{pool(CenterBytes().u8(0).i16_be(1).u16_be(10).raw("abc"))},
         "Malformed string pool: text runs past the end of the pool"},
        {{schema(CenterBytes().zeros(4))}, "Malformed schemaChanges: truncated table header"},
        {{schema(CenterBytes().i16_be(1).u8(0).i16_be(-1))},
         "Malformed schemaChanges: negative column count"},
        {{schema(CenterBytes().i16_be(1).u8(0).i16_be(2).zeros(7))},
         "Malformed schemaChanges: truncated columns"},
        // A bad field after good ones: nothing collected is decoded, the pool included.
        {{pool(key_entry(1, "Changed")), added(order_entity(1)), {"x", 4, 99, CenterBytes()}},
         "Unknown field type in skip_field_value: 99, msg.size=0, next_bytes=[]"},
    };
    for (const auto& [fields, text] : cases) {
        const auto msg = changes_message(fields, true, false);
        EXPECT_EQ(decode(msg), text) << hex(msg.data());
    }
    EXPECT_TRUE(sink.updates.empty());
    EXPECT_TRUE(sink.schemas.empty());
    EXPECT_TRUE(decoder.string_pool().no_keys());

    CenterChangesAccum accum;
    ByteVector bytes{0, 0, 0, 0};
    ByteView view(bytes);
    try {
        decoder.stash_center_byte_array(5, view, accum);
        ADD_FAILURE() << "role 5 accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Unknown CenterChanges byte-array role: 5");
    }
}

TEST_F(CenterChangesTest, ChangesNestedInAContainerAreDecoded) {
    const auto inner = changes_message({pool(kPool), seq_num(8), added(order_entity(3))}, false);
    // The nested message is the changes payload without its lead and type bytes.
    const auto outer = CenterBytes()
                           .preamble("Y9.ST.PT", 0)
                           .named("changes", 41)
                           .raw(std::vector<std::uint8_t>(inner.data().begin() + 2, inner.data().end()))
                           .named("after", 4)
                           .i32_be(1)
                           .end_named();
    ASSERT_EQ(decode(outer), "(no error)");
    ASSERT_EQ(sink.updates.size(), 1u);
    EXPECT_EQ(sink.updates[0]->table_name, "Orders");
    EXPECT_EQ(sink.updates[0]->seqnum, 8);
}

TEST_F(CenterChangesTest, SequenceNumbers) {
    ASSERT_EQ(decode(changes_message({seq_num(10), added(order_entity(1))}, true)), "(no error)");
    ASSERT_EQ(decode(changes_message({added(order_entity(1))}, false)), "(no error)");
    // A short sequence number at the end of the message resets it to 0.
    ASSERT_EQ(decode(CenterBytes()
                         .preamble("Y9.VE.CH", 1)
                         .pid(24, 101)
                         .raw(added(order_entity(1)).value)
                         .pid(20, 6)
                         .u8(0xFF)),
              "(no error)");
    // seqNum with another type code is an ordinary field.
    ASSERT_EQ(
        decode(changes_message({{"seqNum", 20, 16, CenterBytes().i64_be(99)}, added(order_entity(1))}, true)),
        "(no error)");
    ASSERT_EQ(sink.updates.size(), 4u);
    EXPECT_EQ(sink.updates[0]->seqnum, 10);
    EXPECT_EQ(sink.updates[1]->seqnum, 10);
    EXPECT_EQ(sink.updates[2]->seqnum, 0);
    EXPECT_EQ(sink.updates[3]->seqnum, 0);
}

TEST_F(CenterChangesTest, EntityValues) {
    ASSERT_EQ(decode(changes_message({pool(kPool)}, true)), "(no error)");
    using V = FieldValue;
    const std::pair<CenterBytes, V> cases[] = {
        {CenterBytes().u8(1), V(std::monostate{})},
        {CenterBytes().u8(2).u8(7), V(std::uint8_t{1})},
        {CenterBytes().u8(2).u8(0), V(std::uint8_t{0})},
        {CenterBytes().u8(5).f32_be(-2.5f), V(-2.5f)},
        {CenterBytes().u8(6).f64_be(1e300), V(1e300)},
        {CenterBytes().u8(7).u32_be(3).u16_be('a').u16_be(0x20AC).u16_be('z'), V(std::string("a?z"))},
        {CenterBytes().u8(7).u32_be(3).u16_be('a').u16_be('b'),
         V(std::string("ab\0", 3))},  // a missing character
        {CenterBytes().u8(8).u32_be(3).raw("abc"), V(std::string("abc"))},
        {CenterBytes().u8(8).u32_be(4).raw("abc"), V(std::string())},  // too long: only the length is read
        {CenterBytes().u8(9).u8(2).raw("hi"), V(std::string("hi"))},
        {CenterBytes().u8(25).u8(0), V(std::string())},
        {CenterBytes().u8(10).u8(0xFF), V(std::int8_t{-1})},
        {CenterBytes().u8(11).i16_be(-300), V(std::int16_t{-300})},
        {CenterBytes().u8(12).u8(0xFF).u8(0xFF).u8(0xFE), V(std::int32_t{-2})},
        {CenterBytes().u8(12).u8(0x7F).u8(0xFF).u8(0xFF), V(std::int32_t{0x7FFFFF})},
        {CenterBytes().u8(13).i32_be(INT32_MIN), V(std::int32_t{INT32_MIN})},
        {CenterBytes().u8(45).i32_be(5), V(std::int32_t{5})},
        {CenterBytes().u8(14).u8(0x80), V(std::int64_t{-128})},
        {CenterBytes().u8(16).u8(0x80).u8(0).u8(0), V(std::int64_t{-8388608})},
        {CenterBytes().u8(19).u8(0x01).zeros(5), V(std::int64_t{1} << 40)},
        {CenterBytes().u8(21).i64_be(INT64_MIN), V(std::int64_t{INT64_MIN})},
        {CenterBytes().u8(30).u8(0xFF).u8(0xFF).u8(0xFF).u8(0xFF).u8(0xFF).u8(0xFD), V(std::int64_t{-3})},
        {CenterBytes().u8(31).i64_be(1234567890123), V(std::int64_t{1234567890123})},
        {CenterBytes().u8(23).i16_be(-1), V(std::string("neg"))},
        {CenterBytes().u8(24).u8(0x01).u8(0x11).u8(0x70), V(std::string("IBM"))},
        {CenterBytes().u8(22).u8(5), V(std::string())},  // not pooled
        {CenterBytes().u8(26).u8(0x12).u8(0xC1), V('A')},
        {CenterBytes().u8(40).u32_be(2).u8(0).u8(255), V(std::vector<std::uint8_t>{0, 255})},
        {CenterBytes().u8(41).u32_be(9).u8(1), V(std::vector<std::uint8_t>{})},
        {CenterBytes().u8(42).i32_be(-3).u32_be(2).u8(1).u8(2), V(std::string("<bigdec:scale=-3>"))},
        {CenterBytes().u8(42).i32_be(12).u32_be(0), V(std::string("<bigdec:scale=12>"))},
        {CenterBytes().u8(43).f64_be(1.5).f64_be(-2.25), V(std::string("1.500000-2.250000i"))},
        {CenterBytes().u8(43).f64_be(-1).f64_be(0), V(std::string("-1.000000+0.000000i"))},
        {CenterBytes().u8(43).f64_be(0).f64_be(-0.0), V(std::string("0.000000-0.000000i"))},
        {CenterBytes().u8(44).u64_be(1).u64_be(0), V(std::string("00000000000000010000000000000000"))},
        {CenterBytes().u8(44).u64_be(0xFEDCBA9876543210).u64_be(0xABC),
         V(std::string("fedcba98765432100000000000000abc"))},
        // Fixed-size values cut short read as zero (or empty).
        {CenterBytes().u8(6).zeros(7), V(0.0)},
        {CenterBytes().u8(13).zeros(2), V(std::int32_t{0})},
        {CenterBytes().u8(44).zeros(15), V(std::string())},
    };
    for (const auto& [bytes, expected] : cases) {
        ByteView view(bytes.data());
        EXPECT_EQ(decoder.get_entity_value(view), expected) << hex(bytes.data());
    }

    const std::pair<CenterBytes, std::string> bad[] = {
        {CenterBytes(), "read_entity_value: unknown type 0"},
        {CenterBytes().u8(3), "read_entity_value: unknown type 3"},
        {CenterBytes().u8(200), "read_entity_value: unknown type 200"},
        {CenterBytes().u8(7).u32_be(0xFFFFFFFF).zeros(6),
         "read_entity_value: char count exceeds entity bytes: 4294967295"},
    };
    for (const auto& [bytes, text] : bad) {
        ByteView view(bytes.data());
        try {
            decoder.get_entity_value(view);
            ADD_FAILURE() << "no error for " << hex(bytes.data());
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), text);
        }
    }
}

// Records are reused from message to message and keep the names they hold while the pool's
// texts for them stay the same: a renamed key, a record whose contents were taken, a batch
// filled by another decoder and rows longer than what a record remembers must all read afresh.
TEST_F(CenterChangesTest, ReusedRecordsFollowThePool) {
    struct TakingSink : test::CenterRecordingSink {
        bool take = false;
        void add_updates(UpdateBatch& decoded) override {
            for (std::size_t i = 0; i < decoded.size(); ++i)
                updates.push_back(take ? std::make_shared<TyxCenterIncrementalUpdate>(decoded.take(i))
                                       : std::make_shared<TyxCenterIncrementalUpdate>(decoded[i]));
        }
    };
    TakingSink taking;
    ChangeDecoder first(taking);
    ChangeDecoder second(taking);  // the same batch, another pool
    // Field keys 1..16 (9000 past the indexed ones, -2 negative), each field an int.
    std::vector<std::int16_t> keys;
    for (std::int16_t k = 1; k <= 16; ++k) keys.push_back(k == 5 ? 9000 : k == 6 ? -2 : k);
    const auto row = [&](std::size_t n) {
        CenterBytes p;
        p.i64_be(static_cast<std::int64_t>(n)).u8(0x40).i16_be(static_cast<std::int16_t>(n));
        for (std::size_t i = 0; i < n; ++i) p.i16_be(keys[i]).u8(13).i32_be(static_cast<std::int32_t>(i));
        return CenterBytes().entity(100, p);
    };
    const auto names_pool = [&](const std::string& prefix) {
        CenterBytes b = key_entry(100, prefix + "T");
        for (std::int16_t k : keys) b.raw(key_entry(k, prefix + std::to_string(k)));
        return b;
    };
    const auto expect_names = [&](const std::string& prefix, std::size_t n, const char* what) {
        const auto& u = *taking.updates.back();
        EXPECT_EQ(u.table_name, prefix + "T") << what;
        ASSERT_EQ(u.field_names.size(), n) << what;
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(u.field_names[i], prefix + std::to_string(keys[i])) << what;
        EXPECT_EQ(u.row_data.back(), FieldValue(static_cast<std::int32_t>(n - 1))) << what;
    };
    const auto run = [&](ChangeDecoder& decoder, const CenterBytes& pool_bytes, std::size_t n) {
        const auto fields = pool_bytes.size() ? std::vector<ChangesField>{pool(pool_bytes), added(row(n))}
                                              : std::vector<ChangesField>{added(row(n))};
        ASSERT_EQ(test::decode_exact_copy(decoder, changes_message(fields, false)), "(no error)");
    };

    run(first, names_pool("a"), 16);
    expect_names("a", 16, "first row");
    run(first, CenterBytes(), 3);
    expect_names("a", 3, "fewer fields");
    run(first, CenterBytes(), 16);
    expect_names("a", 16, "more fields again");
    run(first, names_pool("b"), 16);
    expect_names("b", 16, "renamed keys");
    run(second, names_pool("c"), 16);
    expect_names("c", 16, "another decoder's pool");
    run(first, CenterBytes(), 16);
    expect_names("b", 16, "back to the first decoder");
    taking.take = true;
    run(first, CenterBytes(), 16);
    expect_names("b", 16, "taken");
    run(first, CenterBytes(), 16);
    expect_names("b", 16, "after a take");
}

// A reused record's strings take each next text in place: growing and shrinking through every
// short length, object ids and text values read back exactly.
TEST_F(CenterChangesTest, ReusedRecordsTakeTextsOfEveryLength) {
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
    for (std::size_t n = 40; n-- > 0;) lengths.push_back(n);
    for (std::size_t k = 0; k < lengths.size(); ++k) {
        const std::size_t n = lengths[k];
        std::string text(n, ' ');
        for (std::size_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + (i * 7 + n) % 26);
        CenterBytes entity;
        entity.i64_be(1).u8(0x60).utf(text).i16_be(1).i16_be(2).u8(9).u8(static_cast<std::uint8_t>(n)).raw(text);
        std::vector<ChangesField> fields{added(CenterBytes().entity(1, entity))};
        if (k == 0) fields.insert(fields.begin(), pool(kPool));
        ASSERT_EQ(decode(changes_message(fields, false)), "(no error)") << n;
        const auto& u = *sink.updates.back();
        EXPECT_EQ(u.object_id, text) << n;
        EXPECT_EQ(u.row_data.at(0), FieldValue(text)) << n;
    }
}

// Every prefix of a good frame, from an exact-size heap buffer: an error or a partial decode,
// never a read past the end (AddressSanitizer builds check that).
TEST_F(CenterChangesTest, EveryTruncatedPrefixIsSafe) {
    const CenterBytes schema_bytes = CenterBytes().i16_be(1).u8(1).i16_be(1).i16_be(2).u8(6).u8(0);
    const CenterBytes entities = CenterBytes()
                                     .raw(order_entity(1))
                                     .entity(1, CenterBytes()
                                                    .i64_be(2)
                                                    .u8(0x7F)
                                                    .zeros(30)
                                                    .utf("x")
                                                    .i16_be(4)
                                                    .i16_be(2)
                                                    .u8(7)
                                                    .u32_be(1)
                                                    .u16_be('q')
                                                    .i16_be(2)
                                                    .u8(40)
                                                    .u32_be(1)
                                                    .u8(9)
                                                    .i16_be(2)
                                                    .u8(43)
                                                    .f64_be(1)
                                                    .f64_be(2)
                                                    .i16_be(2)
                                                    .u8(42)
                                                    .i32_be(1)
                                                    .u32_be(1)
                                                    .u8(0));
    const auto full = CenterBytes()
                          .preamble("Y9.VE.CH", 0)
                          .named("seqNum", 6)
                          .i64_be(77)
                          .named("meta", 23)
                          .i32_be(1)
                          .u8(20)
                          .u8(21)
                          .utf("k")
                          .i32_be(1)
                          .u8(4)
                          .i32_be(5)
                          .named("note", 41)
                          .vid("Y9.ST.PT")
                          .u8(1)
                          .pid(1, 20)
                          .utf("n")
                          .end_positional()
                          .named("tyxValuesStringPoolMap", 101)
                          .byte_array(kPool)
                          .named("schemaChanges", 101)
                          .byte_array(schema_bytes)
                          .named("tyxEntitiesAdded", 101)
                          .byte_array(entities)
                          .named("tyxEntitiesRemoved", 101)
                          .byte_array(CenterBytes().i16_be(1).i64_be(3))
                          .end_named();
    ASSERT_EQ(decode(full), "(no error)");
    ASSERT_EQ(sink.updates.size(), 3u);
    for (std::size_t n = 0; n < full.size(); ++n) {
        test::CenterRecordingSink prefix_sink;
        ChangeDecoder prefix_decoder(prefix_sink);
        auto copy = std::make_unique<std::uint8_t[]>(n);
        if (n > 0) std::memcpy(copy.get(), full.data().data(), n);
        try {
            prefix_decoder.decode_payload(ByteView(copy.get(), n));
        } catch (const std::runtime_error&) {
        }
        EXPECT_LE(prefix_sink.updates.size(), 3u);
    }
}

}  // namespace
}  // namespace tyx::center
