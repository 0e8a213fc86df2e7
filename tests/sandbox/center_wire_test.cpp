#include "center_wire.hpp"

#include "support/sandbox_center_bytes.hpp"

#include <gtest/gtest.h>

namespace tyx::sandbox::center {
namespace {

namespace cb = test::centerbytes;

TEST(CenterWire, VidsAreBase38NumbersShifted) {
    EXPECT_EQ(vid_of("Y9.VE.CH"), 8174037886634655905);
    EXPECT_EQ(vid_of("Y9.VE.SR"), 8174037887923269953);
    EXPECT_EQ(vid_of("Y9.ST.PT"), cb::vid("Y9.ST.PT"));
    try {
        vid_of("Y9.Ve.CH");
        FAIL() << "lower-case letter accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Invalid VID char: e");
    }
}

Bytes payload_of(const Bytes& frame) {
    return Bytes(frame.begin() + 8, frame.end());
}

TEST(CenterWire, RequestReadsWithOrWithoutNestedPreambles) {
    const auto plain = payload_of(cb::request_frame({{"A", {"x"}, true, {}}, {"B"}}, true, "Y9-u", 42));
    auto r = read_subscription_request(plain);
    EXPECT_TRUE(r.remove);
    EXPECT_EQ(r.timestamp_ms, 42);
    ASSERT_EQ(r.tables.size(), 2u);
    EXPECT_EQ(r.tables[0], (TableRequest{"A", {"x"}, true, {}, true}));
    EXPECT_EQ(r.tables[1].table, "B");

    // The same request with the optional 00 29 / 01 29 before each nested message.
    cb::Builder p;
    p.u8(0).u8(0x29).vid("Y9.ST.MS").u8(1);
    p.pid(1, 41).u8(1).u8(0x29).vid("Y9.BA.RQ").u8(0);
    p.named("action", 41).u8(0).u8(0x29).vid("Y9.VE.SQ").u8(1);
    p.pid(3, 21).be32(1).u8(41).u8(0).u8(0x29).vid("Y9.VE.UR").u8(1).pid(1, 20).text("C").u8(0xFF);
    p.u8(0xFF).be16(0).pid(3, 20).text("Y9-v").u8(0xFF);
    r = read_subscription_request(p.b);
    EXPECT_FALSE(r.remove);
    EXPECT_EQ(r.process_uid, "Y9-v");
    ASSERT_EQ(r.tables.size(), 1u);
    EXPECT_EQ(r.tables[0].table, "C");
}

TEST(CenterWire, EveryTruncationOfARequestIsRefused) {
    const auto full = payload_of(cb::request_frame({{"Table", {"a", "b"}, true, {"c"}}}, false, "Y9-u"));
    ASSERT_NO_THROW(read_subscription_request(full));
    for (std::size_t n = 0; n < full.size(); ++n)
        EXPECT_THROW(
            read_subscription_request(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n))),
            MalformedInput)
            << n;
}

TEST(CenterWire, DeepNestingIsRefusedWithoutExhaustingTheStack) {
    cb::Builder p;
    p.u8(0).u8(0x29).vid("Y9.ST.MS").u8(1);
    for (int i = 0; i < 100000; ++i) p.pid(1, 41).vid("Y9.ST.MS").u8(1);
    EXPECT_THROW(read_payload(p.b), MalformedInput);
}

}  // namespace
}  // namespace tyx::sandbox::center
