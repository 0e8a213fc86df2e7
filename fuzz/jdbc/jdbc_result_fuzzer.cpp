// Feeds arbitrary response bodies to the result decoder. A decoded table must also encode again:
// every decoded column holds the alternative its type code needs and as many values as its rows.
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "jdbc/jdbc_bulk_insert.hpp"
#include "jdbc/jdbc_result.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tyx::ByteView view(data, size);
    try {
        const tyx::jdbc::QueryResult result(view);
        if (!view.empty()) std::abort();  // the decoder walks the whole body or throws
        for (const auto& element : result.elements) {
            if (!element.result_set) continue;
            for (const auto& table : element.result_set->tables) {
                tyx::ByteVector out;
                for (const auto& column : table.columns) column.serialize_to(out);
            }
        }
    } catch (const std::runtime_error&) {
    }
    return 0;
}
