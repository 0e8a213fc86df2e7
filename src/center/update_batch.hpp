// The rows of changes messages on their way from the decoder to the listeners, in records that
// are reused: once a stream of rows of one table has warmed a batch up, decoding into it and
// handing it to the notification loop allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "center/incremental_update.hpp"
#include "core/job_slot.hpp"

namespace tyx {

// What the decoder last wrote into a record's names: the table key and the keys of the first
// field names, all read from one generation of its string pool. A record reused for a row of
// the same table with the same fields keeps those texts instead of copying them again.
struct RecordNames {
    static constexpr std::size_t kKeys = 14;
    std::uint64_t generation = 0;  // of the string pool; 0: nothing is known
    std::int16_t table_key = 0;
    bool table_known = false;
    std::uint8_t count = 0;  // field names known, from the first
    std::array<std::int16_t, kKeys> keys{};
};

class UpdateBatch {
public:
    // A record and what is known of its names.
    struct Slot {
        TyxCenterIncrementalUpdate& record;
        RecordNames& names;
    };

    // The next record. Its numbers are 0 and its object id empty (capacity kept); its table
    // name and field lists still hold what the record carried last time, for the decoder to
    // keep or overwrite in place and then cut to length with set_field_count.
    Slot next_slot() {
        if (size_ == records_.size()) {
            records_.emplace_back();
            names_.emplace_back();
        }
        TyxCenterIncrementalUpdate& record = records_[size_];
        record.seqnum = 0;
        record.action = 0;
        record.id = 0;
        record.object_id.clear();
        return {record, names_[size_++]};
    }
    // The same, the table name emptied as well and nothing known of the names.
    TyxCenterIncrementalUpdate& next() {
        Slot slot = next_slot();
        slot.record.table_name.clear();
        slot.names = RecordNames{};
        return slot.record;
    }
    // Field `i` of `record`, grown by one when it is the first past the end.
    static void ensure_field(TyxCenterIncrementalUpdate& record, std::size_t i) {
        if (i < record.field_names.size()) return;
        // A new record takes room for a typical row at once rather than growing field by field.
        if (record.field_names.capacity() == 0) {
            record.field_names.reserve(kFirstFields);
            record.row_data.reserve(kFirstFields);
        }
        record.field_names.emplace_back();
        record.row_data.emplace_back();
    }
    static constexpr std::size_t kFirstFields = 8;
    static void set_field_count(TyxCenterIncrementalUpdate& record, std::size_t n) {
        record.field_names.resize(n);
        record.row_data.resize(n);
    }

    // Forgets the records from `n` on; they stay for reuse.
    void truncate(std::size_t n) {
        if (n < size_) size_ = n;
    }
    void clear() { size_ = 0; }
    // Keeps, in order, the records for which `keep(record)` is true; the others move behind
    // them, for reuse. `keep` may take a record's contents before refusing it.
    template <typename Keep>
    void keep_if(Keep&& keep) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            if (!keep(records_[i])) {
                names_[i] = RecordNames{};
                continue;
            }
            if (i != kept) {
                std::swap(records_[i], records_[kept]);
                std::swap(names_[i], names_[kept]);
            }
            ++kept;
        }
        size_ = kept;
    }
    // Record `i`, to be moved from: the only way, besides keep_if, to take a record's contents.
    TyxCenterIncrementalUpdate&& take(std::size_t i) {
        names_[i] = RecordNames{};
        return std::move(records_[i]);
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Records held, used or not.
    std::size_t capacity() const { return records_.size(); }
    const TyxCenterIncrementalUpdate& operator[](std::size_t i) const { return records_[i]; }
    const TyxCenterIncrementalUpdate* begin() const { return records_.data(); }
    const TyxCenterIncrementalUpdate* end() const { return records_.data() + size_; }

    // Room for the notification job that carries this batch, so that handing it over needs
    // no allocation (the batch lives as long as its job).
    JobSlot job_slot;

private:
    std::vector<TyxCenterIncrementalUpdate> records_;
    std::vector<RecordNames> names_;  // parallel to records_
    std::size_t size_ = 0;
};

// The batches of one center client. Delivered batches come back here from the notification
// thread and are taken again by the center client's loop, the one given back last first: its
// records were just read and are still in the caches, where the oldest batch of a long queue
// is not (taking the oldest first cost a cache miss per record). A few are made at once; up
// to kMaxIdle are kept while together they hold no more than kMaxIdleRecords records, and
// none that grew beyond kMaxKeptRecords (one huge snapshot message does not pin its memory
// for ever). Listeners a few frames behind thus find kept batches rather than new ones that
// allocate every record afresh.
class UpdateBatchPool {
public:
    static constexpr std::size_t kPrepared = 8;
    static constexpr std::size_t kMaxIdle = 64;
    static constexpr std::size_t kMaxKeptRecords = 16384;
    static constexpr std::size_t kMaxIdleRecords = 8 * kMaxKeptRecords;

    explicit UpdateBatchPool(std::string client_name) : client_name_(std::move(client_name)) {
        for (std::size_t i = 0; i < kPrepared; ++i) give_back(std::make_unique<UpdateBatch>());
    }

    std::unique_ptr<UpdateBatch> take() {
        {
            std::lock_guard lock(mutex_);
            if (count_ > 0) {
                std::unique_ptr<UpdateBatch> batch = std::move(idle_[--count_]);
                idle_records_ -= batch->capacity();
                return batch;
            }
        }
        return std::make_unique<UpdateBatch>();
    }
    void give_back(std::unique_ptr<UpdateBatch> batch) {
        if (!batch || batch->capacity() > kMaxKeptRecords) return;
        batch->clear();
        std::lock_guard lock(mutex_);
        if (count_ == kMaxIdle || idle_records_ + batch->capacity() > kMaxIdleRecords) return;
        idle_records_ += batch->capacity();
        idle_[count_++] = std::move(batch);
    }

    // The name of the client whose batches these are, for the listener events.
    const std::string& client_name() const { return client_name_; }

private:
    const std::string client_name_;
    std::mutex mutex_;
    std::array<std::unique_ptr<UpdateBatch>, kMaxIdle> idle_;  // a stack of count_
    std::size_t count_ = 0;
    std::size_t idle_records_ = 0;  // the capacity of the idle batches together
};

}  // namespace tyx
