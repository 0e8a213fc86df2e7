#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <bit>
#include <charconv>
#include <limits>
#include <random>
#include <thread>

#include "rt/messages.hpp"

namespace tyx::rt {
namespace {

std::vector<FieldValue> order_values() {
    return {std::int32_t{5}, 101.25, 'B', std::string("XNYS"), std::int64_t{3}, std::monostate{}};
}
const std::vector<std::string> kOrderNames = {"qty", "px", "side", "venue", "lots", "flag"};

TEST(RelayMessageText, WorkedExamples) {
    PublicationConfig quiet_unix("7001", false, "feedA", PublicationConfig::ENABLE_QUIET | PublicationConfig::UNIX_MODE);
    PublicationConfig plain("7001", false, "feedA");

    EXPECT_EQ(make_login_message(quiet_unix, 0)->text(), "L|I=\"feedA\"|O=\"QUIET,UNIX\"\n");
    EXPECT_EQ(make_logout_message(plain, 7)->text(), "X\n");
    EXPECT_EQ(make_object_message("Order", "o-17", kOrderNames, order_values(), 42, 0)->text(),
              "O#42|T=\"Order\"|I=\"o-17\"|qty=5|px=101.25D|side=B|venue=\"XNYS\"|lots=3L|flag=\n");
    EXPECT_EQ(serialize_object("Order", "o-17", kOrderNames, order_values(), 0, 1700000060000),
              "O|T=\"Order\"|I=\"o-17\"|E=1700000060000L|qty=5|px=101.25D|side=B|venue=\"XNYS\"|lots=3L|flag=\n");
    EXPECT_EQ(make_remove_message("o-17", "Order", 43)->text(), "D#43|I=\"o-17\"|T=\"Order\"\n");
}

TEST(RelayMessageText, LoginWithSequenceAndTimestamp) {
    PublicationConfig c("7001", false, "feedA",
                        PublicationConfig::ENABLE_SEND_SEQNUM | PublicationConfig::ENABLE_SEND_TIMESTAMPS);
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string text = make_login_message(c, 1)->text();
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    ASSERT_EQ(text.rfind("L#1@", 0), 0u) << text;
    const auto bar = text.find('|');
    ASSERT_NE(bar, std::string::npos);
    const long long stamp = std::stoll(text.substr(4, bar - 4));
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    EXPECT_EQ(text.substr(bar), "|I=\"feedA\"\n");
    // The logout carries the same markers.
    EXPECT_EQ(make_logout_message(c, 9)->text().rfind("X#9@", 0), 0u);
}

TEST(RelayMessageText, LoginWordsInFixedOrderAndOtherBitsSilent) {
    struct Case {
        std::int32_t options;
        const char* text;
    } cases[] = {
        {0, "L|I=\"id\"\n"},
        {PublicationConfig::TTY | PublicationConfig::ENABLE_QUIET, "L|I=\"id\"|O=\"QUIET,TTY\"\n"},
        {7428, "L|I=\"id\"|O=\"QUIET,LOG,UNIX,WINDOWS,TTY\"\n"},
        {PublicationConfig::DISABLE_AUTO_RECONNECT | PublicationConfig::LOG_CONNECTION_RETRY_ERRORS | 1 | 2 | 16,
         "L|I=\"id\"\n"},
        {PublicationConfig::LOG_MESSAGES, "L|I=\"id\"|O=\"LOG\"\n"},
        // Without ENABLE_SEND_SEQNUM the session counter is not written.
        {PublicationConfig::WINDOWS_MODE, "L|I=\"id\"|O=\"WINDOWS\"\n"},
    };
    for (const auto& c : cases) {
        PublicationConfig config("1", false, "id", c.options);
        EXPECT_EQ(make_login_message(config, 5)->text(), c.text) << c.options;
    }
}

TEST(RelayMessageText, ValueWireForms) {
    struct Case {
        FieldValue value;
        const char* text;
    } cases[] = {
        {'A', "|k=A"},
        {std::uint8_t{65}, "|k=65"},
        {std::int8_t{-128}, "|k=-128"},
        {std::uint16_t{65535}, "|k=65535"},
        {std::int16_t{-32768}, "|k=-32768"},
        {std::uint32_t{4294967295u}, "|k=4294967295"},
        {std::int32_t{0}, "|k=0"},
        {std::int32_t{-2147483647 - 1}, "|k=-2147483648"},
        {std::uint64_t{18446744073709551615ull}, "|k=18446744073709551615L"},
        {std::numeric_limits<std::int64_t>::min(), "|k=-9223372036854775808L"},
        {std::int64_t{100}, "|k=100L"},
        {0.5f, "|k=0.5F"},
        {1e21, "|k=1e+21D"},
        {1e20, "|k=1e+20D"},
        {1e-5, "|k=1e-05D"},
        // Scientific only when strictly shorter: a tie stays fixed.
        {0.0001, "|k=1e-04D"},
        {0.001, "|k=0.001D"},
        {10000.0, "|k=10000D"},
        {100000.0, "|k=1e+05D"},
        {123456.0, "|k=123456D"},
        {0.1, "|k=0.1D"},
        {0.1f, "|k=0.1F"},
        {-0.0, "|k=-0D"},
        {std::numeric_limits<double>::infinity(), "|k=infD"},
        {-std::numeric_limits<double>::infinity(), "|k=-infD"},
        {std::numeric_limits<double>::quiet_NaN(), "|k=nanD"},
        {-std::numeric_limits<double>::quiet_NaN(), "|k=nanD"},
        {-std::numeric_limits<float>::quiet_NaN(), "|k=nanF"},
        {std::numeric_limits<double>::lowest(), "|k=-1.7976931348623157e+308D"},
        {std::numeric_limits<double>::denorm_min(), "|k=5e-324D"},
        {std::string("a\"b|c\nd"), "|k=\"a\"b|c\nd\""},
        {std::string(), "|k=\"\""},
        {std::vector<std::uint8_t>{'x', '|', 0}, std::string_view("|k=x|\0", 6).data()},
        {std::monostate{}, "|k="},
    };
    for (const auto& c : cases) {
        auto m = MessagePool::instance().acquire('\0');
        m->append_field("k", c.value);
        const std::string expected = std::holds_alternative<std::vector<std::uint8_t>>(c.value)
                                         ? std::string("|k=x|\0", 6)
                                         : std::string(c.text);
        EXPECT_EQ(m->text(), expected) << "alternative " << c.value.index();
    }
}

TEST(RelayMessageText, NarrowIntegersNeverTakeASuffixEvenWhenAsked) {
    auto m = MessagePool::instance().acquire('\0');
    m->append_num(std::int32_t{7}, true).append_num(std::uint16_t{8}, true).append_num(std::int64_t{9}, false);
    EXPECT_EQ(m->text(), "789");
}

TEST(RelayMessageText, SequenceMarkerOnlyAboveZeroAndPairsStopAtTheShorterList) {
    EXPECT_EQ(make_object_message("T", "", {}, {}, 0, 0)->text(), "O|T=\"T\"\n");
    EXPECT_EQ(make_object_message("T", "", {}, {}, -5, 0)->text(), "O|T=\"T\"\n");
    EXPECT_EQ(make_object_message("T", "", {}, {}, 1, 0)->text(), "O#1|T=\"T\"\n");
    EXPECT_EQ(make_object_message("T", "i", {"a", "b", "c"}, {std::int32_t{1}, std::int32_t{2}}, 0, 0)->text(),
              "O|T=\"T\"|I=\"i\"|a=1|b=2\n");
    EXPECT_EQ(make_object_message("T", "i", {"a"}, {std::int32_t{1}, std::int32_t{2}}, 0, -1)->text(),
              "O|T=\"T\"|I=\"i\"|E=-1L|a=1\n");
}

TEST(RelayMessageText, RawIsSentExactlyAndLineEndingIsNotDoubled) {
    EXPECT_EQ(make_raw_message("O|T=\"x\"")->text(), "O|T=\"x\"");
    EXPECT_EQ(make_raw_message("")->text(), "");
    auto m = MessagePool::instance().acquire('\0');
    m->finish_line();
    EXPECT_EQ(m->text(), "\n");
    m->finish_line();
    EXPECT_EQ(m->text(), "\n");
    // A string value ending in a line feed already ends the message.
    EXPECT_EQ(make_object_message("T", "", {"s"}, {std::string("x\n")}, 0, 0)->text(), "O|T=\"T\"|s=\"x\n\"\n");
    auto c = MessagePool::instance().acquire('\0');
    c->append_field("s", std::vector<std::uint8_t>{'\n'});
    c->finish_line();
    EXPECT_EQ(c->text(), "|s=\n");
}

TEST(RelayMessageCheck, RefusesWhatTheRelayWouldMisreadAndNothingElse) {
    using Part = MessageCheck::Part;
    const std::string every_other_byte = [] {
        std::string s;
        for (int b = 0; b < 256; ++b)
            if (b != '\n' && b != '"') s += static_cast<char>(b);
        return s;
    }();
    const struct Case {
        std::string type, id;
        std::vector<std::string> names;
        std::vector<FieldValue> values;
        Part part;
        TextFault fault;
        std::size_t field;
    } cases[] = {
        {"Order", "o-17", kOrderNames, order_values(), Part::none, TextFault::none, 0},
        // Bars inside quotes, tabs, CR, UTF-8 and invalid bytes are sent as they are.
        {"T",
         "i",
         {"s", "b", "c", "Id2", "e"},
         {std::string("a|b=\t\r\xC3\xA9\xFF") + every_other_byte,
          std::vector<std::uint8_t>{'x', '"', '=', 0xFF}, '=', std::int32_t{1}, std::int32_t{2}},
         Part::none,
         TextFault::none,
         0},
        {"T", "i", {"n\"ame"}, {std::int32_t{1}}, Part::field_name, TextFault::double_quote, 0},
        {"T", "i", {"a", "n|ame"}, {std::int32_t{1}, std::int32_t{1}}, Part::field_name, TextFault::bar, 1},
        {"T", "i", {"x=y"}, {std::int32_t{1}}, Part::field_name, TextFault::equals_sign, 0},
        {"T", "i", {""}, {std::int32_t{1}}, Part::field_name, TextFault::empty_name, 0},
        {"T", "i", {"I"}, {std::int32_t{1}}, Part::field_name, TextFault::reserved_name, 0},
        {"T", "i", {"iD"}, {std::int32_t{1}}, Part::field_name, TextFault::reserved_name, 0},
        {"T", "i", {"c"}, {'|'}, Part::field_value, TextFault::bar, 0},
        {"T", "i", {"c"}, {'"'}, Part::field_value, TextFault::double_quote, 0},
        {"T", "i", {"b"}, {std::vector<std::uint8_t>{'x', '|', 'k'}}, Part::field_value, TextFault::bar, 0},
        {"T",
         "i",
         {"b"},
         {std::vector<std::uint8_t>{'"', 'x', '"'}},
         Part::field_value,
         TextFault::leading_quote,
         0},
        {"T",
         "i",
         {"d"},
         {std::numeric_limits<double>::quiet_NaN()},
         Part::field_value,
         TextFault::not_finite,
         0},
        {"T",
         "i",
         {"f"},
         {-std::numeric_limits<float>::infinity()},
         Part::field_value,
         TextFault::not_finite,
         0},
        {"No\"te", "i", {}, {}, Part::object_type, TextFault::double_quote, 0},
        {"Note\n", "i", {}, {}, Part::object_type, TextFault::line_feed, 0},
        {"Note", "n1\"", {}, {}, Part::object_id, TextFault::double_quote, 0},
        {"Note", "n\n1", {}, {}, Part::object_id, TextFault::line_feed, 0},
        {"Note",
         "n1",
         {"a", "te\nxt"},
         {std::int32_t{1}, std::int32_t{2}},
         Part::field_name,
         TextFault::line_feed,
         1},
        {"Note",
         "n1",
         {"a", "text"},
         {std::int32_t{1}, std::string("hello\nO|T=\"Evil\"")},
         Part::field_value,
         TextFault::line_feed,
         1},
        {"Note",
         "n1",
         {"text"},
         {std::string("0123456789\"|x=1")},
         Part::field_value,
         TextFault::double_quote,
         0},
        {"Note", "n1", {"c"}, {'\n'}, Part::field_value, TextFault::line_feed, 0},
        {"Note", "n1", {"b"}, {std::vector<std::uint8_t>(40, 'x')}, Part::none, TextFault::none, 0},
        {"Note",
         "n1",
         {"b"},
         {std::vector<std::uint8_t>{'x', '\n'}},
         Part::field_value,
         TextFault::line_feed,
         0},
        // Only what is sent counts: a surplus value is never written.
        {"Note", "n1", {"a"}, {std::int32_t{1}, std::string("\n")}, Part::none, TextFault::none, 0},
    };
    Message m;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type + " " + c.id);
        const MessageCheck check = check_object_message(c.type, c.id, c.names, c.values);
        EXPECT_EQ(check.part, c.part);
        EXPECT_EQ(check.fault, c.fault);
        EXPECT_EQ(check.field, c.field);
        // Publishing checks only what the writer notes as needing it.
        if (check.refused()) {
            EXPECT_TRUE(write_object_message(m, c.type, c.id, c.names, c.values, 0, 0).needs_check);
        }
    }
    // The removal's id and type are quoted as well; the id comes first on the wire.
    EXPECT_EQ(check_remove_message("a\"", "T\n").part, Part::object_id);
    EXPECT_EQ(check_remove_message("a", "T\n").fault, TextFault::line_feed);
    EXPECT_FALSE(check_remove_message("a|b", "T\t").refused());

    // The writer tests short quoted texts a word at a time (two overlapping words, or the first,
    // middle and last byte below four bytes): a hit is noticed at every position of texts around
    // those sizes, bytes whose bits are close to the quote's are no hit, and a clean message
    // needs no check.
    EXPECT_FALSE(write_object_message(m, "Order", "o-17", kOrderNames, order_values(), 42, 0).needs_check);
    for (std::size_t size = 0; size <= 40; ++size) {
        const std::string clean(size, '\xA2');
        ASSERT_FALSE(write_object_message(m, "T", clean, {"s"}, {clean}, 0, 0).needs_check) << size;
        for (std::size_t at = 0; at < size; ++at) {
            std::string text = clean;
            text[at] = '"';
            ASSERT_TRUE(write_object_message(m, "T", "i", {"s"}, {text}, 0, 0).needs_check)
                << size << " " << at;
            ASSERT_TRUE(write_object_message(m, text, "", {}, {}, 0, 0).needs_check) << size << " " << at;
            text[at] = '\n';
            ASSERT_TRUE(write_object_message(m, "T", "", {"s"}, {text}, 0, 0).needs_check)
                << size << " " << at;
            // Names and byte values are written bare: the bytes that would split them.
            for (const char c : {'|', '=', '"'}) {
                text[at] = c;
                ASSERT_TRUE(write_object_message(m, "T", "i", {text}, {std::int32_t{1}}, 0, 0).needs_check)
                    << size << " " << at << " " << c;
            }
            text[at] = '|';
            const std::vector<std::uint8_t> bytes(text.begin(), text.end());
            ASSERT_TRUE(write_object_message(m, "T", "i", {"b"}, {bytes}, 0, 0).needs_check)
                << size << " " << at;
        }
        if (size == 0) continue;
        ASSERT_FALSE(write_object_message(m, "T", "i", {clean},
                                          {std::vector<std::uint8_t>(clean.begin(), clean.end())}, 0, 0)
                         .needs_check)
            << size;
    }
    // A text longer than the writer's stage takes another path, and a long message is written
    // through several flushes of the stage.
    const std::string many_quotes(300 * 16, '"');
    EXPECT_TRUE(write_object_message(m, "T", "i", {"s"}, {many_quotes}, 0, 0).needs_check);
    std::vector<FieldValue> strings(2000, std::string("ab"));
    EXPECT_FALSE(write_object_message(m, "T", "i", std::vector<std::string>(2000, "k"), strings, 0, 0).needs_check);
    // The first hit decides the kind.
    EXPECT_EQ(text_fault("abcdefghij\"kl\n", true), TextFault::double_quote);
    EXPECT_EQ(text_fault("abcdefghij\nkl\"", true), TextFault::line_feed);
}

TEST(RelayMessageCheck, NotesTheFirstUnsigned32BitValueThatWrapsOnTheRelay) {
    const std::vector<std::string> names = {"a", "b", "c", "d"};
    const std::vector<FieldValue> narrow = {std::uint32_t{2147483647u}, std::int64_t{4000000000}};
    const std::vector<FieldValue> wide = {std::int32_t{-1}, std::uint32_t{2147483648u}, std::uint32_t{1},
                                          std::uint32_t{4000000000u}};
    Message m;
    EXPECT_EQ(check_object_message("T", "i", names, narrow).wide_uint32, MessageCheck::npos);
    EXPECT_FALSE(write_object_message(m, "T", "i", names, narrow, 0, 0).wide_uint32);
    const MessageCheck check = check_object_message("T", "i", names, wide);
    EXPECT_FALSE(check.refused());
    EXPECT_EQ(check.wide_uint32, 1u);
    EXPECT_TRUE(write_object_message(m, "T", "i", names, wide, 0, 0).wide_uint32);
    EXPECT_EQ(describe_wide_uint32(check, names, wide),
              "Fields \"b\", \"d\" hold unsigned 32-bit values above 2147483647, which the relay reads as a "
              "negative 32-bit Integer; publish them as 64-bit integers");
}

TEST(MessagePoolTest, ReusesIdleMessagesAndKeepsCapacity) {
    auto& pool = MessagePool::instance();
    Message* first;
    {
        auto m = pool.acquire('O');
        first = m.get();
        m->append_raw(std::string(4000, 'x'));
    }
    auto again = pool.acquire('Q');
    EXPECT_EQ(again.get(), first);  // LIFO: the one just released comes back
    EXPECT_EQ(again->text(), "Q");
    EXPECT_GE(again->buffer.capacity(), 4000u);
}

TEST(MessagePoolTest, SharedAcrossOwnersAndReleasedByTheLastOne) {
    auto& pool = MessagePool::instance();
    const std::size_t idle_before = pool.free_count();
    std::shared_ptr<QMessage> queued;
    {
        auto m = make_message('O', 3, false);
        queued = m;  // as a socket queue holds it
        EXPECT_EQ(pool.free_count() + 1, idle_before == 0 ? 1 : idle_before);
    }
    EXPECT_EQ(queued->view(), "O#3");
    std::thread other([q = std::move(queued)]() mutable { q.reset(); });
    other.join();
    EXPECT_EQ(pool.free_count(), idle_before == 0 ? 1 : idle_before);
}

TEST(MessagePoolTest, KeepsAtMost65536IdleMessages) {
    auto& pool = MessagePool::instance();
    std::vector<MessagePtr> held;
    held.reserve(MessagePool::kMaxIdle + 1);
    for (std::size_t i = 0; i < MessagePool::kMaxIdle + 1; ++i) held.push_back(pool.acquire('O'));
    EXPECT_EQ(pool.free_count(), 0u);
    held.resize(1);
    EXPECT_EQ(pool.free_count(), MessagePool::kMaxIdle);
    held.clear();  // the 65537th is destroyed, not pooled
    EXPECT_EQ(pool.free_count(), MessagePool::kMaxIdle);
}

}  // namespace
}  // namespace tyx::rt

namespace tyx::rt {
namespace {

template <typename F>
std::string reference_text(F v) {
    if (std::isnan(v)) return "nan";
    char tmp[64];
    auto [p, ec] = std::to_chars(tmp, tmp + sizeof tmp, v);
    return std::string(tmp, p);
}

template <typename F>
std::string library_text(F v) {
    auto m = MessagePool::instance().acquire('\0');
    m->append_num(v, false);
    return m->text();
}

// The fast fixed-notation path for short decimals must agree with the general shortest
// round-trip formatter everywhere: decimals of every length, integers near the switch to
// scientific notation, tiny and huge magnitudes and arbitrary bit patterns.
TEST(RelayFloatText, AgreesWithTheShortestRoundTripFormatter) {
    std::mt19937_64 rng(12345);
    auto check = [](auto v) { ASSERT_EQ(library_text(v), reference_text(v)) << std::hexfloat << v; };
    for (int decimals = 0; decimals <= 12; ++decimals) {
        double scale = std::pow(10.0, decimals);
        for (int i = 0; i < 3000; ++i) {
            const auto raw = static_cast<std::int64_t>(rng() % 100000000000000ULL) - 50000000000000LL;
            const double d = static_cast<double>(raw % static_cast<std::int64_t>(std::pow(10.0, 1 + i % 15))) / scale;
            check(d);
            check(static_cast<float>(d));
        }
    }
    for (int e = -30; e <= 30; ++e) {
        for (double base : {1.0, 1.5, 9.99, 123.0, 100000.0, 999999.0, 1e15 - 1, 0.1, 0.001}) {
            check(base * std::pow(10.0, e));
            check(-base * std::pow(10.0, e));
            check(static_cast<float>(base * std::pow(10.0, e)));
        }
    }
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t bits = rng();
        check(std::bit_cast<double>(bits));
        check(std::bit_cast<float>(static_cast<std::uint32_t>(bits)));
    }
}

}  // namespace
}  // namespace tyx::rt

namespace tyx::rt {
namespace {

TEST(RelayMessageText, StreamedFieldsChainInOrderForEveryValueKind) {
    auto m = MessagePool::instance().acquire('O');
    using namespace std::string_view_literals;
    *m << std::pair{"a"sv, 'x'} << std::pair{"b"sv, std::uint8_t{65}} << std::pair{"c"sv, std::int8_t{-1}}
       << std::pair{"d"sv, std::uint16_t{2}} << std::pair{"e"sv, std::int16_t{-3}} << std::pair{"f"sv, 4u}
       << std::pair{"g"sv, -5} << std::pair{"h"sv, std::uint64_t{6}} << std::pair{"i"sv, std::int64_t{-7}}
       << std::pair{"j"sv, 0.25f} << std::pair{"k"sv, 2.5} << std::pair{"l"sv, std::string("s")}
       << std::pair{"m"sv, "view"sv} << std::pair{"n"sv, std::vector<std::uint8_t>{'r', 'b'}}
       << std::pair{"o"sv, std::monostate{}} << std::pair{"p"sv, FieldValue(std::int64_t{8})};
    m->finish_line();
    EXPECT_EQ(m->text(),
              "O|a=x|b=65|c=-1|d=2|e=-3|f=4|g=-5|h=6L|i=-7L|j=0.25F|k=2.5D|l=\"s\"|m=\"view\"|n=rb|o=|p=8L\n");
}

}  // namespace
}  // namespace tyx::rt
