#include "client/multi_shard_table_accessor.hpp"

#include <algorithm>
#include <bit>
#include <type_traits>

namespace tyx {
namespace {

// The first table of the first element that carries a result set, or null.
jdbc::Table* first_table(jdbc::QueryResult& result) {
    for (auto& element : result.elements) {
        if (!element.result_set) continue;
        return element.result_set->tables.empty() ? nullptr : &element.result_set->tables.front();
    }
    return nullptr;
}

// Appends `from` to `to` when both hold the same alternative (true); otherwise `to` is left alone.
bool append_same_kind(ColumnValues& to, ColumnValues&& from) {
    if (to.index() != from.index()) return false;
    std::visit(
        [&from](auto& dst) {
            using V = std::decay_t<decltype(dst)>;
            if constexpr (!std::is_same_v<V, std::monostate>) {
                auto& src = std::get<V>(from);
                dst.insert(dst.end(), std::make_move_iterator(src.begin()), std::make_move_iterator(src.end()));
            }
        },
        to);
    return true;
}

// Marks in `to` the rows `from` marks among a shard's first `rows`, moved down by `offset`: the
// shard's rows were appended after `offset` earlier ones.
void append_mask(NullMask& to, std::size_t offset, const NullMask& from, std::size_t rows) {
    const std::size_t words = std::min(from.size(), (rows + 63) / 64);
    auto within_rows = [rows](std::size_t w, std::uint64_t bits) {
        const std::size_t left = rows - w * 64;
        return left >= 64 ? bits : bits & ((std::uint64_t{1} << left) - 1);
    };
    if (offset % 64 == 0) {  // the usual case, the first shard: whole words
        if (to.size() < offset / 64 + words) to.resize(offset / 64 + words, 0);
        for (std::size_t w = 0; w < words; ++w) to[offset / 64 + w] |= within_rows(w, from[w]);
        return;
    }
    for (std::size_t w = 0; w < words; ++w) {
        for (std::uint64_t bits = from[w]; bits != 0; bits &= bits - 1) {
            const std::size_t row = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
            if (row >= rows) break;
            set_null_mask_bit(to, offset + row);
        }
    }
}

}  // namespace

MultiShardTableAccessor::MultiShardTableAccessor(std::vector<std::shared_ptr<jdbc::QueryResult>> results)
    : MultiShardTableAccessor(std::move(results), {}, {}) {}

MultiShardTableAccessor::MultiShardTableAccessor(std::vector<std::shared_ptr<jdbc::QueryResult>> results,
                                                 std::vector<std::string> shard_failures, std::string failure)
    : results_(std::move(results)), shard_failures_(std::move(shard_failures)), failure_(std::move(failure)) {
    for (auto& result : results_) {
        if (!result) continue;
        jdbc::Table* table = first_table(*result);
        if (table == nullptr) continue;
        // Only messages and counts are read from the results later, so values are moved out
        // when nobody else holds the result, and copied otherwise.
        const bool sole_owner = result.use_count() == 1;
        std::vector<std::string> names;
        names.reserve(table->columns.size());
        for (const auto& c : table->columns) names.push_back(c.name);
        auto take = [sole_owner](jdbc::JdbcColumn& c) { return sole_owner ? std::move(c.values) : c.values; };

        // A mask is read only where the column says it may hold NULLs, and only for the rows it
        // actually brought.
        auto merge_mask = [this](std::size_t i, const jdbc::JdbcColumn& c, std::size_t offset,
                                 std::size_t rows) {
            if (c.nullable) append_mask(null_masks_[i], offset, c.null_mask, rows);
        };
        if (!has_result_set_) {
            table_name_ = table->name;
            column_names_ = std::move(names);
            columns_.reserve(table->columns.size());
            null_masks_.resize(table->columns.size());
            for (std::size_t i = 0; i < table->columns.size(); ++i) {
                auto& c = table->columns[i];
                column_types_.push_back(c.type);
                columns_.push_back(take(c));
                merge_mask(i, c, 0, column_length(columns_.back()));
            }
            has_result_set_ = true;
        } else if (names == column_names_) {
            for (std::size_t i = 0; i < table->columns.size(); ++i) {
                auto& c = table->columns[i];
                const std::size_t before = column_length(columns_[i]);
                if (!append_same_kind(columns_[i], take(c))) continue;
                merge_mask(i, c, before, column_length(columns_[i]) - before);
            }
        }
    }
}

std::string MultiShardTableAccessor::error_message() const {
    std::string text = failure_;
    auto add = [&text](std::size_t shard, const std::string& what) {
        if (!text.empty()) text += "; ";
        text += "[shard " + std::to_string(shard) + "] " + what;
    };
    const std::size_t shards = std::max(results_.size(), shard_failures_.size());
    for (std::size_t i = 0; i < shards; ++i) {
        if (i < shard_failures_.size() && !shard_failures_[i].empty()) {
            add(i, shard_failures_[i]);
            continue;
        }
        if (i >= results_.size() || !results_[i]) continue;
        for (const auto& element : results_[i]->elements)
            if (element.message) add(i, element.message->text);
    }
    return text;
}

std::int64_t MultiShardTableAccessor::affected_rows() const {
    std::int64_t total = 0;
    for (const auto& result : results_) {
        if (!result) continue;
        for (const auto& element : result->elements) total += element.count.value_or(0);
    }
    return total;
}

std::int64_t MultiShardTableAccessor::row_count() const {
    for (const auto& column : columns_) {
        if (std::holds_alternative<std::monostate>(column)) continue;
        return static_cast<std::int64_t>(column_length(column));
    }
    return 0;
}

std::vector<std::uint8_t> column_type_codes(const TableAccessor& accessor) {
    if (const auto* table = dynamic_cast<const Table*>(&accessor)) return table->column_types();
    if (const auto* merged = dynamic_cast<const MultiShardTableAccessor*>(&accessor)) return merged->column_types();
    return {};
}

}  // namespace tyx
