// Writes a small seed corpus for center_frame_fuzzer into the directory given as argument.
#include <fstream>
#include <iostream>
#include <string>

#include "support/center_bytes.hpp"

using tyx::test::CenterBytes;

namespace {

void write(const std::string& dir, const std::string& name, std::uint8_t mode,
           const std::vector<std::uint8_t>& b) {
    std::ofstream out(dir + "/" + name, std::ios::binary);
    out.put(static_cast<char>(mode));
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: make_center_seeds DIR\n";
        return 2;
    }
    const std::string dir = argv[1];
    const CenterBytes pool = CenterBytes()
                                 .u8(0)
                                 .i16_be(1)
                                 .utf("Orders")
                                 .u8(0)
                                 .i16_be(2)
                                 .utf("price")
                                 .u8(1)
                                 .i32_be(7)
                                 .utf("IBM")
                                 .u8(1)
                                 .i32_be(8)
                                 .utf("");
    const CenterBytes entity = CenterBytes().entity(1, CenterBytes()
                                                           .i64_be(5)
                                                           .u8(0x7F)
                                                           .zeros(30)
                                                           .utf("o-5")
                                                           .i16_be(6)
                                                           .i16_be(2)
                                                           .u8(6)
                                                           .f64_be(1.5)
                                                           .i16_be(2)
                                                           .u8(22)
                                                           .u8(7)
                                                           .i16_be(2)
                                                           .u8(7)
                                                           .u32_be(1)
                                                           .u16_be('a')
                                                           .i16_be(2)
                                                           .u8(42)
                                                           .i32_be(2)
                                                           .u32_be(1)
                                                           .u8(1)
                                                           .i16_be(2)
                                                           .u8(43)
                                                           .f64_be(1)
                                                           .f64_be(-1)
                                                           .i16_be(2)
                                                           .u8(44)
                                                           .u64_be(1)
                                                           .u64_be(2));
    const CenterBytes schema = CenterBytes().i16_be(1).u8(1).i16_be(1).i16_be(2).u8(6).u8(0);
    const CenterBytes by_name = CenterBytes()
                                    .preamble("Y9.VE.CH", 0)
                                    .named("seqNum", 6)
                                    .i64_be(9)
                                    .named("tyxValuesStringPoolMap", 101)
                                    .byte_array(pool)
                                    .named("schemaChanges", 101)
                                    .byte_array(schema)
                                    .named("tyxEntitiesAdded", 101)
                                    .byte_array(entity)
                                    .named("tyxEntitiesRemoved", 101)
                                    .byte_array(CenterBytes().i16_be(1).i64_be(3))
                                    .end_named();
    const CenterBytes by_position = CenterBytes()
                                        .preamble("Y9.VE.CH", 1)
                                        .pid(28, 101)
                                        .byte_array(pool)
                                        .pid(25, 101)
                                        .byte_array(entity)
                                        .pid(20, 6)
                                        .i64_be(10)
                                        .end_positional();
    const CenterBytes envelope = CenterBytes()
                                     .preamble("Y9.ST.MS", 1)
                                     .pid(1, 41)
                                     .vid("Y9.ST.PT")
                                     .u8(0)
                                     .named("list", 21)
                                     .i32_be(2)
                                     .u8(20)
                                     .utf("a")
                                     .utf("")
                                     .named("map", 23)
                                     .i32_be(1)
                                     .u8(4)
                                     .u8(22)
                                     .i32_be(1)
                                     .i32_be(0)
                                     .named("arr", 104)
                                     .i32_be(1)
                                     .i32_be(1)
                                     .named("n", 52)
                                     .named("resp", 41)
                                     .u8(0)
                                     .u8(0x29)
                                     .vid("Y9.VE.SR")
                                     .u8(1)
                                     .end_positional()
                                     .end_named()
                                     .pid(2, 53)
                                     .end_positional();
    write(dir, "changes_by_name", 0, by_name.data());
    write(dir, "changes_by_position", 0, by_position.data());
    write(dir, "envelope", 0, envelope.data());
    CenterBytes stream;
    stream.raw(by_name.framed()).zeros(8).raw(by_position.framed()).raw(envelope.framed());
    write(dir, "stream", 1, stream.data());
    return 0;
}
