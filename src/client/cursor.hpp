// The row-cursor rules shared by every TableAccessor: pure arithmetic on a position p and a
// row count R. Owned by the accessor that embeds it; not thread-safe.
#pragma once

#include <algorithm>
#include <cstdint>

namespace tyx {

struct RowCursor {
    std::int64_t position = -1;

    bool advance(std::int64_t rows) {
        if (position < rows) ++position;
        return position < rows;
    }
    bool advance(std::int64_t n, std::int64_t rows) { return move_to_target(position + n, rows); }
    bool retreat(std::int64_t n, std::int64_t rows) { return move_to_target(position - n, rows); }
    bool rewind(std::int64_t rows) {
        position = 0;
        return rows > 0;
    }
    bool move_to(std::int64_t i, std::int64_t rows) {
        position = i;
        return i >= 0 && i < rows;
    }
    bool move_to_last(std::int64_t rows) {
        position = rows - 1;
        return rows > 0;
    }
    bool eof(std::int64_t rows) const { return position >= rows; }
    std::int64_t row_number(std::int64_t rows) const { return position >= 0 && position < rows ? position : -1; }

private:
    bool move_to_target(std::int64_t target, std::int64_t rows) {
        position = std::min(target, rows);
        return target < rows && position >= 0;
    }
};

}  // namespace tyx
