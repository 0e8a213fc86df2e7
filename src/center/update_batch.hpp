// The rows of changes messages on their way from the decoder to the listeners, in records that
// are reused: once a stream of rows of one table has warmed a batch up, decoding into it and
// handing it to the notification loop allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "center/incremental_update.hpp"
#include "core/job_slot.hpp"

namespace tyx {

class UpdateBatch {
public:
    // The next record. Its numbers are 0 and its texts empty (capacity kept); its field lists
    // still hold what the record carried last time, for the decoder to overwrite in place and
    // then cut to length with set_field_count.
    TyxCenterIncrementalUpdate& next() {
        if (size_ == records_.size()) records_.emplace_back();
        TyxCenterIncrementalUpdate& record = records_[size_++];
        record.seqnum = 0;
        record.action = 0;
        record.id = 0;
        record.table_name.clear();
        record.object_id.clear();
        return record;
    }
    // Field `i` of `record`, grown by one when it is the first past the end.
    static void ensure_field(TyxCenterIncrementalUpdate& record, std::size_t i) {
        if (i < record.field_names.size()) return;
        record.field_names.emplace_back();
        record.row_data.emplace_back();
    }
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
            if (!keep(records_[i])) continue;
            if (i != kept) std::swap(records_[i], records_[kept]);
            ++kept;
        }
        size_ = kept;
    }

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Records held, used or not.
    std::size_t capacity() const { return records_.size(); }
    TyxCenterIncrementalUpdate& operator[](std::size_t i) { return records_[i]; }
    const TyxCenterIncrementalUpdate& operator[](std::size_t i) const { return records_[i]; }
    const TyxCenterIncrementalUpdate* begin() const { return records_.data(); }
    const TyxCenterIncrementalUpdate* end() const { return records_.data() + size_; }

    // Room for the notification job that carries this batch, so that handing it over needs
    // no allocation (the batch lives as long as its job).
    JobSlot job_slot;

private:
    std::vector<TyxCenterIncrementalUpdate> records_;
    std::size_t size_ = 0;
};

// The batches of one center client. Delivered batches come back here from the notification
// thread and are taken again by the center client's loop, oldest first, so that every batch
// kept stays warm. A few are made at once and a few kept; none that grew beyond
// kMaxKeptRecords (one huge snapshot message does not pin its memory for ever).
class UpdateBatchPool {
public:
    static constexpr std::size_t kMaxIdle = 8;
    static constexpr std::size_t kMaxKeptRecords = 16384;

    explicit UpdateBatchPool(std::string client_name) : client_name_(std::move(client_name)) {
        for (std::size_t i = 0; i < kMaxIdle; ++i) give_back(std::make_unique<UpdateBatch>());
    }

    std::unique_ptr<UpdateBatch> take() {
        {
            std::lock_guard lock(mutex_);
            if (count_ > 0) {
                std::unique_ptr<UpdateBatch> batch = std::move(idle_[first_]);
                first_ = (first_ + 1) % kMaxIdle;
                --count_;
                return batch;
            }
        }
        return std::make_unique<UpdateBatch>();
    }
    void give_back(std::unique_ptr<UpdateBatch> batch) {
        if (!batch || batch->capacity() > kMaxKeptRecords) return;
        batch->clear();
        std::lock_guard lock(mutex_);
        if (count_ == kMaxIdle) return;
        idle_[(first_ + count_) % kMaxIdle] = std::move(batch);
        ++count_;
    }

    // The name of the client whose batches these are, for the listener events.
    const std::string& client_name() const { return client_name_; }

private:
    const std::string client_name_;
    std::mutex mutex_;
    std::array<std::unique_ptr<UpdateBatch>, kMaxIdle> idle_;  // a ring: count_ from first_
    std::size_t first_ = 0;
    std::size_t count_ = 0;
};

}  // namespace tyx
