// libFuzzer target for the database session's responses as they arrive: the input is the
// received byte stream, cut into responses by the response reader and fed in pieces as reads
// would bring it. Fed whole or in pieces, the reader must cut the same bodies; each body is then
// decoded as a query result from an exact-size copy, so that a read past its end is caught.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "jdbc/jdbc_response_reader.hpp"
#include "jdbc/jdbc_result.hpp"

using namespace tyx;

namespace {

struct Cut {
    std::vector<std::vector<std::uint8_t>> bodies;
    std::size_t taken = 0;  // bytes of the stream the reader took
    std::string error;
};

Cut cut(ByteView stream, std::size_t piece_size) {
    // A small first step, so that bodies longer than it are read in several steps.
    jdbc::ResponseReader reader(16);
    Cut out;
    try {
        for (std::size_t at = 0; at < stream.size; at += piece_size) {
            ByteView piece(stream.data + at, std::min(piece_size, stream.size - at));
            while (!piece.empty()) {
                const std::size_t n = reader.feed(piece);
                if (n > piece.size) __builtin_trap();
                piece.skip(n);
                out.taken += n;
                if (reader.complete())
                    out.bodies.push_back(reader.take());
                else if (!piece.empty())
                    __builtin_trap();  // took less without being done
            }
        }
    } catch (const std::runtime_error& e) {
        out.error = e.what();
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ByteView stream(data, size);
    const Cut whole = cut(stream, size == 0 ? 1 : size);
    const Cut pieces = cut(stream, 1 + size % 5);
    if (whole.bodies != pieces.bodies || whole.error != pieces.error) __builtin_trap();
    std::size_t framed = 0;
    for (const auto& body : whole.bodies) {
        framed += jdbc::kResponseHeaderSize + body.size() + 1;
        const std::vector<std::uint8_t> exact(body.begin(), body.end());
        ByteView view(exact.data(), exact.size());
        try {
            const jdbc::QueryResult result(view);
        } catch (const std::runtime_error&) {
        }
    }
    // The reader takes the bodies' frames and at most the unfinished response after them.
    if (framed > whole.taken || (whole.error.empty() && whole.taken != size)) __builtin_trap();
    return 0;
}
