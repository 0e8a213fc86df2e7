#include <gtest/gtest.h>

#include <memory>

#include "center/center_codec.hpp"
#include "center/change_decoder.hpp"
#include "support/center_bytes.hpp"
#include "support/center_recording_sink.hpp"

namespace tyx::center {
namespace {

using test::CenterBytes;
using test::hex;

std::string error_of(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(no error)";
}

TEST(CenterVid, ValuesAndBadCharacters) {
    EXPECT_EQ(vid_to_long("00000000"), 2085137);
    EXPECT_EQ(vid_to_long("Y9.VE.CH"), 8174037886634655905);
    EXPECT_EQ(vid_to_long("ZZZZZZZZ"), 8575698021549432737);
    EXPECT_EQ(vid_to_long("........"), 8820717965022214097);  // the largest VID stays positive
    for (auto name : {"Y9.VE.CH", "Y9.ST.MS", "Y9.BA.RQ", "Y9.VE.SQ", "Y9.VE.UR", "Y9.VE.SR", "Y9.ST.PT"})
        EXPECT_EQ(vid_to_long(name), CenterBytes::vid_value(name)) << name;

    const std::pair<std::string_view, std::string_view> bad[] = {
        {"y9.VE.CH", "Invalid VID char: y"},  {"Y9.ve.CH", "Invalid VID char: v"},
        {"Y9-VE.CH", "Invalid VID char: -"},  {"Y9.VE.C ", "Invalid VID char:  "},
        {"Y9.VE.C", "Invalid VID length: 7"}, {"Y9.VE.CHX", "Invalid VID length: 9"},
    };
    for (auto [vid, text] : bad) EXPECT_EQ(error_of([&] { vid_to_long(vid); }), text) << vid;
}

TEST(CenterFrames, WriterFillsHeaderAfterPayload) {
    ByteVector out;
    begin_frame(out);
    append_message_preamble(out, kVidEnvelope, kEncodingByPosition);
    append_u8(out, kPositionalEnd);
    finish_frame(out);
    const auto expected = CenterBytes().preamble("Y9.ST.MS", 1).end_positional().framed();
    EXPECT_EQ(out, expected) << hex(out) << "\n" << hex(expected);
}

TEST(CenterFrames, ReaderGivesSamePayloadsForWholeAndSplitStreams) {
    const auto a = CenterBytes().preamble("Y9.ST.MS", 1).end_positional();
    const auto b = CenterBytes().preamble("Y9.VE.SR", 0).named("x", 4).i32_be(7).end_named();
    CenterBytes stream;
    stream.zeros(8).raw(a.framed()).zeros(8).zeros(8).raw(b.framed()).u32_be(5).u32_be(0);  // last: empty
                                                                                            // payload
    const std::vector<ByteVector> expected = {a.data(), b.data(), {}};

    for (std::size_t chunk : {stream.size(), std::size_t{1}, std::size_t{3}, std::size_t{9}}) {
        FrameReader reader;
        std::vector<ByteVector> got;
        for (std::size_t at = 0; at < stream.size(); at += chunk) {
            const std::size_t n = std::min(chunk, stream.size() - at);
            reader.feed(ByteView(stream.data().data() + at, n),
                        [&](ByteView p) { got.emplace_back(p.data, p.data + p.size); });
        }
        EXPECT_EQ(got, expected) << "chunk " << chunk;
        EXPECT_EQ(reader.pending(), 0u);
    }
}

TEST(CenterWriters, StringFormsAndJavaForms) {
    for (std::size_t n : {0, 1, 65535, 65536}) {
        const std::string s(n, 'q');
        ByteVector out;
        append_utf_string(out, s);
        EXPECT_EQ(out, CenterBytes().utf(s).data()) << n;
        ByteView view(out);
        std::string_view back;
        ASSERT_EQ(read_string_form(view, back), StringForm::Read) << n;
        EXPECT_EQ(back, s);
        EXPECT_TRUE(view.empty());
    }
    EXPECT_EQ(CenterBytes().utf("").data(), (ByteVector{0x00, 0x01, 0xFF}));

    OutBuffer buf;
    buf.write_java_utf("").write_java_utf("ab").write_java_char('R');
    EXPECT_EQ(buf.bytes(), (ByteVector{0x00, 0x00, 0x00, 0x02, 'a', 'b', 0x00, 'R'}));
    EXPECT_NO_THROW(OutBuffer().write_java_utf(std::string(65535, 'x')));
    EXPECT_EQ(error_of([] { OutBuffer().write_java_utf(std::string(65536, 'x')); }),
              "String too long for Java writeUTF");
}

TEST(CenterStringForms, ShortAndTruncatedInputsConsumeNothing) {
    struct Case {
        CenterBytes bytes;
        StringForm form;
    };
    const Case cases[] = {
        {CenterBytes().u8(0).u8(5), StringForm::TooShort},
        {CenterBytes().u8(0).u8(1).u8(0x80).u8(0).u8(0), StringForm::TooShort},
        {CenterBytes().u16_be(4).raw("abc"), StringForm::Truncated},
        {CenterBytes().u8(0).u8(1).u8(0x80).u32_be(0xFFFFFFFF).raw("abc"), StringForm::Truncated},
    };
    for (const auto& c : cases) {
        ByteView view(c.bytes.data());
        std::string_view text;
        EXPECT_EQ(read_string_form(view, text), c.form) << hex(c.bytes.data());
        EXPECT_EQ(view.size, c.bytes.size());
    }
}

class CenterDecoderTest : public ::testing::Test {
protected:
    test::CenterRecordingSink sink;
    ChangeDecoder decoder{sink};

    std::string decode(const CenterBytes& payload) { return test::decode_exact_copy(decoder, payload); }
    // Skips one value and returns the bytes consumed, or the error text.
    std::string skip(std::uint8_t type, const CenterBytes& value) {
        auto copy = std::make_unique<std::uint8_t[]>(value.size());
        if (value.size() > 0) std::memcpy(copy.get(), value.data().data(), value.size());
        ByteView view(copy.get(), value.size());
        const std::string error = error_of([&] { decoder.skip_field_value(view, static_cast<char>(type)); });
        return error == "(no error)" ? std::to_string(value.size() - view.size) : error;
    }
};

TEST_F(CenterDecoderTest, PreambleErrors) {
    EXPECT_EQ(decode(CenterBytes().zeros(9)), "Error: Not enough data to read VID and type from message");
    EXPECT_EQ(decode(CenterBytes().u8(0).u8(0x28).vid("Y9.ST.MS").u8(1)),
              "Expected TypeEnum::Message type byte in frame preamble");
    EXPECT_EQ(decode(CenterBytes().preamble("Y9.XX.XX", 1)),
              "Received message with unknown VID: " + std::to_string(CenterBytes::vid_value("Y9.XX.XX")));
    EXPECT_EQ(decode(CenterBytes().u8(7).u8(0x29).vid("Y9.ST.MS")),
              "(no error)");  // no encoding byte: no fields
}

TEST_F(CenterDecoderTest, SkipsGoodValues) {
    const std::string long_text(70000, 'L');
    const std::pair<std::uint8_t, CenterBytes> cases[] = {
        {0, CenterBytes().u8(1)},
        {13, CenterBytes().u16_be(65)},
        {15, CenterBytes().f32_be(1.5f)},
        {16, CenterBytes().i64_be(-1)},
        {20, CenterBytes().utf("")},
        {20, CenterBytes().utf("abc")},
        {20, CenterBytes().utf(long_text)},
        {21, CenterBytes().i32_be(0)},  // count 0: no element type byte
        {22, CenterBytes().i32_be(3).u8(4).i32_be(1).i32_be(2).i32_be(3)},
        {21, CenterBytes().i32_be(2).u8(20).utf("x").utf("")},
        {21, CenterBytes().i32_be(2).u8(21).i32_be(0).i32_be(1).u8(0).u8(1)},  // list of lists
        {23, CenterBytes().i32_be(0)},
        {23, CenterBytes().i32_be(2).u8(20).u8(4).utf("a").i32_be(1).utf("b").i32_be(2)},
        {52, CenterBytes()},
        {101, CenterBytes().i32_be(3).raw("xyz")},
        {104, CenterBytes().i32_be(2).zeros(8)},
        {106, CenterBytes().i32_be(1).zeros(8)},
        {107, CenterBytes().i32_be(1).zeros(2)},
        {108, CenterBytes().i32_be(0)},
        {109, CenterBytes().i32_be(2).zeros(8)},
    };
    for (const auto& [type, value] : cases)
        EXPECT_EQ(skip(type, value), std::to_string(value.size())) << int(type) << ": " << hex(value.data());

    // Values that stop short of the rest of the view.
    const std::tuple<std::uint8_t, CenterBytes, std::size_t> partial[] = {
        {21, CenterBytes().i32_be(0).u8(4).u8(9), 4},         // the 4 is not an element type
        {21, CenterBytes().i32_be(2).u8(52).u8(9).u8(9), 5},  // two Nulls take no bytes
        {20, CenterBytes().u8(0).u8(5), 0},                   // too short for a string
        {21, CenterBytes().u8(0).u8(0).u8(1), 0},             // too short for a count
        {101, CenterBytes().u8(0).u8(0).u8(1), 0},            // too short for a length
        {52, CenterBytes().u8(1), 0},
    };
    for (const auto& [type, value, consumed] : partial)
        EXPECT_EQ(skip(type, value), std::to_string(consumed)) << int(type) << ": " << hex(value.data());
}

TEST_F(CenterDecoderTest, RefusesBadValuesWithTheirTexts) {
    CenterBytes deep;
    for (int i = 0; i < 70; ++i) deep.i32_be(1).u8(21);
    deep.i32_be(0);
    const std::pair<std::uint8_t, CenterBytes> list_of_messages{
        21, CenterBytes().i32_be(1).u8(41).vid("Y9.ST.MS").u8(1).end_positional()};
    const std::tuple<std::uint8_t, CenterBytes, std::string> cases[] = {
        {4, CenterBytes().zeros(3), "Malformed message: not enough data for 4-byte field (need 4, have 3)"},
        {7, CenterBytes(), "Malformed message: not enough data for 8-byte field (need 8, have 0)"},
        {11, CenterBytes(), "Malformed message: not enough data for 1-byte field (need 1, have 0)"},
        {2, CenterBytes().u8(1), "Malformed message: not enough data for 2-byte field (need 2, have 1)"},
        {101, CenterBytes().i32_be(-1), "Invalid byte array length: -1"},
        {104, CenterBytes().i32_be(-2), "Invalid int array length: -2"},
        {106, CenterBytes().i32_be(-3), "Invalid long array length: -3"},
        {107, CenterBytes().i32_be(-4), "Invalid char array length: -4"},
        {108, CenterBytes().i32_be(INT32_MIN), "Invalid double array length: -2147483648"},
        {109, CenterBytes().i32_be(-6), "Invalid float array length: -6"},
        {106, CenterBytes().i32_be(2).zeros(10),
         "Malformed message: not enough data for long array payload (need 16, have 10)"},
        {101, CenterBytes().i32_be(INT32_MAX).zeros(2),
         "Malformed message: not enough data for byte array payload (need 2147483647, have 2)"},
        {20, CenterBytes().u16_be(9).raw("abc"),
         "Malformed message: string runs past the end of the message"},
        {21, CenterBytes().i32_be(-1), "Invalid collection element count: -1"},
        {23, CenterBytes().i32_be(-5), "Invalid map element count: -5"},
        {21, CenterBytes().i32_be(INT32_MAX).u8(52),
         "Malformed message: collection element count 2147483647 exceeds remaining bytes (have 0)"},
        {22, CenterBytes().i32_be(3).u8(4).zeros(2),
         "Malformed message: collection element count 3 exceeds remaining bytes (have 2)"},
        {23, CenterBytes().i32_be(1000000).u8(52).u8(52).zeros(4),
         "Malformed message: map element count 1000000 exceeds remaining bytes (have 4)"},
        {21, CenterBytes().i32_be(1),
         "Malformed message: collection element count 1 exceeds remaining bytes (have 0)"},
        {list_of_messages.first, list_of_messages.second,
         "Unexpected Message in skip_field_value; message fields are handled by parser"},
        {41, CenterBytes().vid("Y9.ST.MS"),
         "Unexpected Message in skip_field_value; message fields are handled by parser"},
        {21, deep, "Malformed message: nesting deeper than 64 levels"},
        {200, CenterBytes().u8(1).u8(2).u8(3),
         "Unknown field type in skip_field_value: -56, msg.size=3, next_bytes=[1,2,3]"},
        {128, CenterBytes(), "Unknown field type in skip_field_value: -128, msg.size=0, next_bytes=[]"},
        {255, CenterBytes().zeros(9).u8(7),
         "Unknown field type in skip_field_value: -1, msg.size=10, next_bytes=[0,0,0,0,0,0,0,0]"},
        {42, CenterBytes().u8(200),
         "Unknown field type in skip_field_value: 42, msg.size=1, next_bytes=[200]"},
    };
    for (const auto& [type, value, text] : cases)
        EXPECT_EQ(skip(type, value), text) << int(type) << ": " << hex(value.data());
}

TEST_F(CenterDecoderTest, EndMarkersStopTheWalkBeforeTrailingBytes) {
    const CenterBytes by_name = CenterBytes().named("a", 4).i32_be(1).end_named().u8(99).u8(99).u8(99);
    const CenterBytes by_position = CenterBytes().pid(3, 0).u8(1).end_positional().u8(99).u8(99);
    for (auto [encoding, fields] :
         {std::pair{std::uint8_t{0}, by_name}, std::pair{std::uint8_t{1}, by_position}}) {
        ByteVector bytes{encoding};
        bytes.insert(bytes.end(), fields.data().begin(), fields.data().end());
        ByteView view(bytes);
        decoder.dispatch_by_vid(kVidPassThrough, view);
        EXPECT_EQ(view.size, encoding == 0 ? 3u : 2u);
    }
    // Without an end marker the walk ends with the view; a single byte left is not a name length.
    EXPECT_EQ(decode(CenterBytes().preamble("Y9.ST.MS", 0).named("a", 52).u8(5)), "(no error)");
}

TEST_F(CenterDecoderTest, WalkErrors) {
    const std::pair<CenterBytes, std::string> cases[] = {
        {CenterBytes().preamble("Y9.ST.MS", 0).u16_be(3).raw("abc"),
         "Malformed message: not enough data for field name and type"},
        {CenterBytes().preamble("Y9.ST.MS", 0).u16_be(40).raw("abc"),
         "Malformed message: not enough data for field name and type"},
        {CenterBytes().preamble("Y9.ST.MS", 1).pid(1, 52).u8(7),
         "Malformed message: missing type byte for PID 7"},
        {CenterBytes().preamble("Y9.ST.MS", 0).named("items", 41).zeros(7),
         "Malformed message: not enough data for nested message field items"},
        {CenterBytes().preamble("Y9.ST.MS", 0).named("items", 41).u8(1).u8(0x29).zeros(7),
         "Malformed message: not enough data for nested message field items"},
        {CenterBytes().preamble("Y9.ST.MS", 1).pid(3, 41).u8(0),
         "Malformed message: not enough data for nested message field PID 3"},
        {CenterBytes().preamble("Y9.ST.MS", 1).pid(3, 41).vid("Y9.VE.UR").u8(1).end_positional(),
         "Received message with unknown VID: " + std::to_string(CenterBytes::vid_value("Y9.VE.UR"))},
        {CenterBytes().preamble("Y9.ST.PT", 1).pid(3, 99).u8(1),
         "Unknown field type in skip_field_value: 99, msg.size=1, next_bytes=[1]"},
    };
    for (const auto& [payload, text] : cases) EXPECT_EQ(decode(payload), text) << hex(payload.data());
}

TEST_F(CenterDecoderTest, NestedMessagesShareTheStreamWithOrWithoutPreamble) {
    // Three snapshot responses nested in an envelope, then a field the outer walk must still read.
    const auto response = [](CenterBytes& b) {
        return std::ref(b.vid("Y9.VE.SR").u8(0).named("n", 4).i32_be(1).end_named());
    };
    CenterBytes payload;
    payload.preamble("Y9.ST.MS", 0).named("a", 41);
    response(payload);
    payload.named("b", 41).u8(0).u8(0x29);
    response(payload);
    payload.named("c", 41).u8(1).u8(0x29);
    response(payload);
    payload.named("last", 4).i32_be(2).end_named();
    EXPECT_EQ(decode(payload), "(no error)");
    EXPECT_EQ(sink.snapshot_responses, 3);

    CenterBytes too_deep = CenterBytes().preamble("Y9.ST.MS", 1);
    for (int i = 0; i < 64; ++i) too_deep.pid(1, 41).vid("Y9.ST.PT").u8(1);
    EXPECT_EQ(decode(too_deep), "Malformed message: nesting deeper than 64 levels");
}

TEST_F(CenterDecoderTest, ThrowableEndsEveryWalkWithOneLog) {
    // After the nested exception come bytes that would fail if either walk went on reading.
    const CenterBytes in_nested = CenterBytes()
                                      .preamble("Y9.ST.MS", 1)
                                      .pid(1, 41)
                                      .vid("Y9.ST.PT")
                                      .u8(0)
                                      .named("error", 53)
                                      .u8(99)
                                      .u8(99)
                                      .u8(99)
                                      .pid(2, 99);
    const CenterBytes in_list =
        CenterBytes().preamble("Y9.VE.SR", 0).named("errors", 21).i32_be(3).u8(53).zeros(6);
    const CenterBytes in_map =
        CenterBytes().preamble("Y9.ST.MS", 0).named("m", 23).i32_be(2).u8(4).u8(53).i32_be(1).zeros(8);
    for (const auto& payload : {in_nested, in_list, in_map}) {
        sink.logs.clear();
        EXPECT_EQ(decode(payload), "(no error)") << hex(payload.data());
        ASSERT_EQ(sink.logs.size(), 1u) << hex(payload.data());
        EXPECT_EQ(sink.logs[0].first, 3);
        EXPECT_EQ(sink.logs[0].second,
                  "Server returned an exception (Type::Throwable); see TYX server log for details");
    }
    EXPECT_EQ(sink.snapshot_responses, 1);  // a snapshot answer carrying an exception still completes
}

}  // namespace
}  // namespace tyx::center
