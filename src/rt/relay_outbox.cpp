#include "rt/relay_outbox.hpp"

#include <algorithm>
#include <cstring>

namespace tyx::rt {

RelayOutbox::BlockList& RelayOutbox::BlockList::operator=(BlockList&& other) noexcept {
    if (this != &other) {
        BlockList old(std::move(*this));
        head_ = other.head_;
        tail_ = other.tail_;
        other.head_ = other.tail_ = nullptr;
    }
    return *this;
}

RelayOutbox::BlockList::~BlockList() {
    while (Block* block = pop_front()) delete block;
}

void RelayOutbox::BlockList::push_back(Block* block) {
    block->next = nullptr;
    if (tail_ != nullptr)
        tail_->next = block;
    else
        head_ = block;
    tail_ = block;
}

RelayOutbox::Block* RelayOutbox::BlockList::pop_front() {
    Block* block = head_;
    if (block == nullptr) return nullptr;
    head_ = block->next;
    if (head_ == nullptr) tail_ = nullptr;
    block->next = nullptr;
    return block;
}

void RelayOutbox::BlockList::prepend(BlockList&& other) {
    if (other.empty()) return;
    other.tail_->next = head_;
    if (tail_ == nullptr) tail_ = other.tail_;
    head_ = other.head_;
    other.head_ = other.tail_ = nullptr;
}

RelayOutbox::RelayOutbox(Limits limits, std::string description, std::function<void(std::string)> log,
                         const std::atomic<std::int64_t>* sent_listener_count)
    : limits_(limits),
      description_(std::move(description)),
      log_(std::move(log)),
      sent_listener_count_(sent_listener_count) {}

RelayOutbox::~RelayOutbox() {
    // Reports of on_message_sent hold the outbox, so none is left: the list is the last holder.
    for (std::size_t i = unacked_head_; i < unacked_.size(); ++i) delete unacked_[i];
}

RelayOutbox::Limits RelayOutbox::limits_of(const PublicationConfig& config) {
    Limits limits;
    limits.max_bytes = config.max_buffered_bytes;
    limits.policy = config.full_buffer_policy;
    limits.block_for =
        std::chrono::milliseconds(config.full_buffer_block_ms > 0 ? config.full_buffer_block_ms : 0);
    limits.conflate = config.conflate_objects;
    return limits;
}

RelayOutbox::Block* RelayOutbox::new_block(std::size_t at_least) {
    if (at_least <= kBlockSize) {
        if (Block* block = idle_.pop_front()) {
            --idle_count_;
            return block;
        }
    }
    return make_block(at_least);
}

RelayOutbox::Block* RelayOutbox::make_block(std::size_t at_least) {
    auto* block = new Block;
    block->capacity = at_least > kBlockSize ? at_least : kBlockSize;
    block->data.reset(new char[block->capacity]);
    block->ends.reserve(block->capacity / 64);
    return block;
}

void RelayOutbox::release_block(Block* block) {
    if (block->capacity != kBlockSize || idle_count_ >= kMaxIdleBlocks || closed_) {
        delete block;
        return;
    }
    block->size = block->begin = block->first = block->written_prefix = 0;
    block->stream_base = 0;
    block->holds = 0;
    block->first_index = kUnknown;
    block->ends.clear();
    idle_.push_back(block);
    ++idle_count_;
}

std::string RelayOutbox::policy_text() const {
    if (limits_.policy == PublicationConfig::FullBufferPolicy::drop_oldest)
        return "dropping the oldest messages";
    return "dropping new messages after waiting up to " + std::to_string(limits_.block_for.count()) + " ms";
}

std::string RelayOutbox::end_episode() {
    std::string text = "Publication buffer has room again: " + description_ + " dropped " +
                       std::to_string(episode_dropped_) + " messages";
    in_episode_ = false;
    episode_dropped_ = 0;
    return text;
}

bool RelayOutbox::make_room_by_dropping_oldest(std::size_t bytes) {
    // What listeners have yet to hear of cannot be dropped: when that alone leaves no room,
    // dropping what waits would not help.
    if (reporting_bytes_ + bytes > limits_.max_bytes) return false;
    std::uint64_t dropped = 0;
    while (!fits(bytes)) {
        Block* block = pending_.front();
        if (block == nullptr) {
            if (conflated_.empty()) break;
            kept_bytes_ -= conflated_.drop_front();
            --kept_messages_;
            ++dropped;
            continue;
        }
        // A message partly on the connection must be finished, or the stream breaks.
        if (block->written_prefix > 0) break;
        if (block->first == block->ends.size()) {
            release_block(pending_.pop_front());
            continue;
        }
        const std::size_t end = block->ends[block->first];
        kept_bytes_ -= end - block->begin;
        --kept_messages_;
        block->begin = end;
        ++block->first;
        ++dropped;
    }
    dropped_ += dropped;
    episode_dropped_ += dropped;
    settled_ += dropped;
    return fits(bytes);
}

std::size_t RelayOutbox::growth(std::string_view bytes, const MessageKey& key,
                                const ConflatedQueue::Place& place) const {
    if (!limits_.conflate) return bytes.size();
    const std::size_t old = conflated_.replaced_size(place, key);
    if (old == ConflatedQueue::kNone) return bytes.size();
    return bytes.size() > old ? bytes.size() - old : 0;
}

bool RelayOutbox::room_for(std::unique_lock<std::mutex>& lock, std::string_view bytes, const MessageKey& key,
                           ConflatedQueue::Place& place) {
    if (fits(growth(bytes, key, place))) return true;
    if (limits_.policy == PublicationConfig::FullBufferPolicy::drop_oldest) {
        bool room = make_room_by_dropping_oldest(growth(bytes, key, place));
        if (limits_.conflate) {
            // Dropping may take the message this one would have replaced: then it needs room whole.
            place = conflated_.find(key);
            room = make_room_by_dropping_oldest(growth(bytes, key, place));
        }
        return room;
    }
    if (limits_.block_for.count() == 0) return false;
    ++waiting_for_room_;
    const bool room = room_.wait_for(lock, limits_.block_for, [&] { return closed_ || fits(bytes.size()); });
    --waiting_for_room_;
    // The writer may have taken what `place` named meanwhile.
    if (limits_.conflate) place = conflated_.find(key);
    return room && !closed_;
}

bool RelayOutbox::append(std::string_view bytes, const MessageKey& key) {
    std::string log_text;
    bool kept = false;
    {
        std::unique_lock lock(mutex_);
        if (closed_) return false;
        const bool had_episode = in_episode_;
        const std::uint64_t dropped_before = dropped_;
        ConflatedQueue::Place place;
        if (limits_.conflate) place = conflated_.find(key);
        const bool room = room_for(lock, bytes, key, place);
        if (closed_) return false;
        std::size_t direct = 0;
        bool wake = true;
        if (room && direct_ != nullptr && pending_.empty() && conflated_.empty())
            direct = try_direct_write(bytes);
        if (room && limits_.conflate && direct == 0) {
            const std::size_t replaced = conflated_.put(place, bytes, key);
            ++accepted_;
            if (replaced == ConflatedQueue::kNone) {
                kept_bytes_ += bytes.size();
                ++kept_messages_;
            } else {
                kept_bytes_ = kept_bytes_ + bytes.size() - replaced;
                ++replaced_;
                ++settled_;  // the version it replaced
            }
            kept = true;
        } else if (room && direct == bytes.size() && record_direct(bytes, accepted_ + 1)) {
            // Wholly on the connection: kept until acknowledged, like what the writer writes.
            // The idle writer is not woken for it: it looks at the acknowledgements on its own
            // every so often (and at once for a flush).
            ++accepted_;
            kept_bytes_ += bytes.size();
            ++kept_messages_;
            kept = true;
            wake = false;
        } else if (room) {
            const std::uint64_t index = ++accepted_;
            Block* tail = pending_.back();
            if (tail == nullptr || tail->capacity - tail->size < bytes.size() || !tail->continues(index)) {
                tail = new_block(bytes.size());
                pending_.push_back(tail);
            }
            tail->put(bytes, index);
            if (direct > 0) {
                // The socket took it, or part of it: the writer sends the rest, if any, and
                // keeps it with what it writes until acknowledged. No other publisher may write
                // directly before that.
                tail->written_prefix = direct;
                direct_ = nullptr;
                stream_pos_ += direct;
            }
            kept_bytes_ += bytes.size();
            ++kept_messages_;
            kept = true;
        } else {
            ++dropped_;
            ++episode_dropped_;
        }
        // A message dropped by the policy was published too: it is counted among the dropped.
        ++published_messages_;
        published_bytes_ += bytes.size();
        const bool dropped_now = dropped_ != dropped_before;
        if (dropped_now && !had_episode) {
            in_episode_ = true;
            log_text = "Publication buffer full: " + description_ + " keeps at most " +
                       std::to_string(limits_.max_bytes) + " bytes; " + policy_text();
        } else if (!dropped_now && had_episode) {
            log_text = end_episode();  // a message fitted without dropping anything
        }
        if (kept && wake && wake_armed_ && writer_ != nullptr) {
            wake_armed_ = false;
            writer_->post_wake();
        }
    }
    if (!log_text.empty() && log_) log_(std::move(log_text));
    return kept;
}

std::size_t RelayOutbox::try_direct_write(std::string_view bytes) {
    if (sent_listener_count_ != nullptr && sent_listener_count_->load(std::memory_order_relaxed) > 0) return 0;
    const std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 std::chrono::steady_clock::now().time_since_epoch())
                                 .count();
    if (now - last_direct_ns_ < kDirectWriteSpacingNs) return 0;
    last_direct_ns_ = now;
    // The socket stays while the lock is held (the session disables direct writes, under it,
    // before replacing or destroying it); a close meanwhile is the socket's to make safe. A full
    // socket buffer or a broken connection writes nothing and leaves the message to the writer.
    return direct_->try_write_now(bytes);
}

void RelayOutbox::push_unacked(Block* block) {
    if (unacked_head_ == unacked_.size()) {
        unacked_.clear();
        unacked_head_ = 0;
    } else if (unacked_head_ >= 64 && unacked_head_ * 2 >= unacked_.size()) {
        unacked_.erase(unacked_.begin(), unacked_.begin() + static_cast<std::ptrdiff_t>(unacked_head_));
        unacked_head_ = 0;
    }
    if (unacked_head_ == unacked_.size()) {
        ack_index_ = block->first;
        ack_begin_ = block->begin;
    }
    unacked_.push_back(block);
}

void RelayOutbox::let_go(Block* block) {
    if (--block->holds <= 0) release_block(block);
}

void RelayOutbox::disable_direct() {
    std::lock_guard lock(mutex_);
    direct_ = nullptr;
}

void RelayOutbox::attach(Writer* writer) {
    std::lock_guard lock(mutex_);
    writer_ = writer;
    wake_armed_ = false;
}

void RelayOutbox::deliver_wake() {
    std::lock_guard lock(mutex_);
    if (writer_ != nullptr) writer_->wake_on_loop();
}

RelayOutbox::BlockList RelayOutbox::take(bool arm, DirectWriteTarget* direct) {
    return take_turn(arm, direct, false, std::nullopt).blocks;
}

RelayOutbox::Turn RelayOutbox::take_turn(bool arm, DirectWriteTarget* direct, bool acknowledging,
                                         std::optional<std::uint64_t> offset) {
    Turn turn;
    BlockList& taken = turn.blocks;
    BlockList spare;
    std::string log_text;
    {
        std::lock_guard lock(mutex_);
        if (acknowledging) turn.delivered = acknowledge_locked(offset, log_text);
        turn.unacknowledged = unacked_messages_;
        taken = std::move(pending_);
        // What the writer holds still counts for a flush until it is written or given back.
        taken_.clear();
        taken_head_ = 0;
        for (const Block* b = taken.front(); b != nullptr; b = b->next)
            taken_.push_back(
                {b->first_index == kUnknown ? kUnknown : b->first_index + b->first, b->kept_messages()});
        if (!conflated_.empty()) {
            taken_.push_back({kUnknown, conflated_.size()});
            conflated_.take(packing_);
            // Blocks for packing them, so that no publisher waits while they are copied.
            for (std::size_t n = packing_.bytes() / kBlockSize + 2; n > 0 && idle_count_ > 0; --n) {
                spare.push_back(idle_.pop_front());
                --idle_count_;
            }
        }
        wake_armed_ = taken.empty() && packing_.empty() && arm;
        direct_ = wake_armed_ && !closed_ ? direct : nullptr;
    }
    if (!log_text.empty() && log_) log_(std::move(log_text));
    if (!packing_.empty()) {
        pack(packing_, taken, spare);
        packing_.clear();
        if (!spare.empty()) recycle(std::move(spare));
    }
    return turn;
}

void RelayOutbox::pack(const ConflatedQueue::Batch& batch, BlockList& into, BlockList& spare) {
    Block* tail = nullptr;
    batch.for_each([&](std::string_view bytes) {
        if (tail == nullptr || tail->capacity - tail->size < bytes.size()) {
            tail =
                bytes.size() <= kBlockSize && !spare.empty() ? spare.pop_front() : make_block(bytes.size());
            into.push_back(tail);
        }
        tail->put(bytes);
    });
}

void RelayOutbox::give_back(BlockList blocks) {
    std::lock_guard lock(mutex_);
    taken_.clear();
    taken_head_ = 0;
    if (closed_) return;
    // They go out whole on the next connection.
    if (!blocks.empty()) blocks.front()->written_prefix = 0;
    for (const Block* b = blocks.front(); b != nullptr; b = b->next) resent_messages_ += b->kept_messages();
    pending_.prepend(std::move(blocks));
}

void RelayOutbox::begin_connection(std::uint64_t start) {
    std::lock_guard lock(mutex_);
    stream_pos_ = start;
    packed_tail_ = nullptr;
}

void RelayOutbox::written(BlockList& blocks, bool report) {
    std::lock_guard lock(mutex_);
    if (report)
        for (const Block* b = blocks.front(); b != nullptr; b = b->next) reporting_bytes_ += b->kept_bytes();
    if (closed_) {
        if (!report) blocks = BlockList();
        return;
    }
    BlockList copied;
    for (Block* b = blocks.front(); b != nullptr;) {
        Block* const next = b->next;
        const std::size_t from = b->begin + b->written_prefix;
        // Unsigned arithmetic: the base may wrap, the offsets it gives do not.
        const std::uint64_t base = stream_pos_ - from;
        stream_pos_ += b->size - from;
        unacked_messages_ += b->kept_messages();
        written_bytes_ += b->kept_bytes();
        written_messages_ += b->kept_messages();
        for (std::size_t n = b->kept_messages(); n > 0 && taken_head_ < taken_.size();) {
            TakenRange& range = taken_[taken_head_];
            const std::size_t k = std::min<std::size_t>(n, range.count);
            range.count -= k;
            if (range.first != kUnknown) range.first += k;
            n -= k;
            if (range.count == 0) ++taken_head_;
        }
        // A writer that keeps up takes blocks that are mostly empty: until their acknowledgement
        // their messages wait packed together, and the block goes back at once.
        if (b->kept_bytes() < kBlockSize / 2 && pack_unacked(*b, base)) {
            b->holds = report ? 1 : 0;
        } else {
            b->stream_base = base;
            b->holds = report ? 2 : 1;
            push_unacked(b);
            // Nothing can follow the packed block any more: acknowledgements may pass it.
            packed_tail_ = nullptr;
        }
        b = next;
    }
    if (report) return;
    while (Block* b = blocks.pop_front())
        if (b->holds == 0) release_block(b);
}

RelayOutbox::Block* RelayOutbox::unacked_tail_for(std::size_t bytes, std::uint64_t number, std::uint64_t offset) {
    Block* tail = packed_tail_;
    const bool fits = tail != nullptr && tail->capacity - tail->size >= bytes &&
                      tail->stream_base + tail->size == offset &&
                      (number == kUnknown ? tail->first_index == kUnknown : tail->continues(number));
    if (fits) return tail;
    if (bytes > kBlockSize) return nullptr;
    tail = new_block(kBlockSize);
    tail->stream_base = offset;
    tail->holds = 1;
    tail->first_index = number;
    push_unacked(tail);
    packed_tail_ = tail;
    return tail;
}

bool RelayOutbox::pack_unacked(const Block& block, std::uint64_t base) {
    const std::size_t bytes = block.kept_bytes();
    const std::uint64_t number = block.first_index == kUnknown ? kUnknown : block.first_index + block.first;
    Block* tail = unacked_tail_for(bytes, number, base + block.begin);
    if (tail == nullptr) return false;
    std::memcpy(tail->data.get() + tail->size, block.data.get() + block.begin, bytes);
    const std::size_t shift = tail->size;
    for (std::size_t i = block.first; i < block.ends.size(); ++i)
        tail->ends.push_back(static_cast<std::uint32_t>(block.ends[i] - block.begin + shift));
    tail->size += bytes;
    return true;
}

bool RelayOutbox::record_direct(std::string_view bytes, std::uint64_t number) {
    Block* tail = unacked_tail_for(bytes.size(), number, stream_pos_);
    if (tail == nullptr) return false;
    if (tail->ends.empty()) tail->first_index = number;
    tail->put(bytes, number);
    stream_pos_ += bytes.size();
    ++unacked_messages_;
    ++written_messages_;
    written_bytes_ += bytes.size();
    return true;
}

std::size_t RelayOutbox::acknowledge(std::optional<std::uint64_t> offset) {
    std::string log_text;
    std::size_t delivered = 0;
    {
        std::lock_guard lock(mutex_);
        delivered = acknowledge_locked(offset, log_text);
    }
    if (!log_text.empty() && log_) log_(std::move(log_text));
    return delivered;
}

std::size_t RelayOutbox::acknowledge_locked(std::optional<std::uint64_t> offset, std::string& log_text) {
    if (closed_) return 0;
    const std::uint64_t settled_before = settled_;
    while (unacked_head_ < unacked_.size()) {
        Block* b = unacked_[unacked_head_];
        // The block's messages from ack_index_ on that end within the offset, all at once.
        // (The base may have wrapped below zero: only the sums are stream offsets.)
        std::size_t upto = b->ends.size();
        if (offset) {
            const std::uint64_t base = b->stream_base;
            upto = static_cast<std::size_t>(
                std::upper_bound(b->ends.begin() + static_cast<std::ptrdiff_t>(ack_index_), b->ends.end(), *offset,
                                 [base](std::uint64_t acked, std::uint32_t end) { return acked < base + end; }) -
                b->ends.begin());
        }
        if (upto > ack_index_) {
            const std::size_t n = upto - ack_index_;
            const std::size_t end = b->ends[upto - 1];
            acked_messages_ += n;
            acked_bytes_ += end - ack_begin_;
            kept_messages_ -= n;
            kept_bytes_ -= end - ack_begin_;
            unacked_messages_ -= n;
            settled_ += n;
            ack_begin_ = end;
            ack_index_ = upto;
        }
        // The packed block still being added to stays, acknowledged so far, at the front.
        if (ack_index_ < b->ends.size() || b == packed_tail_) break;
        ++unacked_head_;
        let_go(b);
        if (unacked_head_ < unacked_.size()) {
            ack_index_ = unacked_[unacked_head_]->first;
            ack_begin_ = unacked_[unacked_head_]->begin;
        }
    }
    const std::size_t delivered = settled_ - settled_before;
    if (delivered > 0) {
        if (waiting_for_room_ > 0) room_.notify_all();
        if (settle_waiters_ > 0) settled_changed_.notify_all();
        // Everything kept has been delivered: an episode of drops that no later publication
        // ended is over too.
        if (in_episode_ && kept_messages_ == 0) log_text = end_episode();
    }
    return delivered;
}

std::size_t RelayOutbox::connection_lost() {
    std::lock_guard lock(mutex_);
    if (closed_) return 0;
    BlockList copies;
    Block* tail = nullptr;
    std::size_t count = 0;
    for (std::size_t i = unacked_head_; i < unacked_.size(); ++i) {
        Block* b = unacked_[i];
        std::size_t index = i == unacked_head_ ? ack_index_ : b->first;
        std::size_t start = i == unacked_head_ ? ack_begin_ : b->begin;
        for (; index < b->ends.size(); ++index) {
            const std::string_view text(b->data.get() + start, b->ends[index] - start);
            const std::uint64_t number = b->first_index == kUnknown ? kUnknown : b->first_index + index;
            if (tail == nullptr || tail->capacity - tail->size < text.size() ||
                (number != kUnknown && !tail->continues(number)) ||
                (number == kUnknown && !tail->ends.empty() && tail->first_index != kUnknown)) {
                tail = new_block(text.size());
                copies.push_back(tail);
            }
            tail->put(text, number);
            start = b->ends[index];
            ++count;
        }
        let_go(b);
    }
    unacked_.clear();
    unacked_head_ = ack_index_ = ack_begin_ = 0;
    unacked_messages_ = 0;
    packed_tail_ = nullptr;
    stream_pos_ = 0;
    resent_messages_ += count;
    // A message a publisher had begun to write straight to the lost connection goes out whole.
    if (!pending_.empty()) pending_.front()->written_prefix = 0;
    pending_.prepend(std::move(copies));
    return count;
}

std::size_t RelayOutbox::unacknowledged() const {
    std::lock_guard lock(mutex_);
    return unacked_messages_;
}

void RelayOutbox::recycle(BlockList blocks) {
    std::lock_guard lock(mutex_);
    const std::size_t before = reporting_bytes_;
    while (Block* block = blocks.pop_front()) {
        reporting_bytes_ -= std::min(reporting_bytes_, block->kept_bytes());
        let_go(block);
    }
    if (reporting_bytes_ != before && waiting_for_room_ > 0) room_.notify_all();
}

std::uint64_t RelayOutbox::close() {
    BlockList dropped;
    BlockList idle;
    std::uint64_t discarded = 0;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return 0;
        closed_ = true;
        writer_ = nullptr;
        direct_ = nullptr;
        wake_armed_ = false;
        dropped = std::move(pending_);
        conflated_.clear();
        for (std::size_t i = unacked_head_; i < unacked_.size(); ++i) let_go(unacked_[i]);
        unacked_.clear();
        unacked_head_ = 0;
        unacked_messages_ = 0;
        packed_tail_ = nullptr;
        idle = std::move(idle_);
        idle_count_ = 0;
        discarded = kept_messages_;
        discarded_ += discarded;
        settled_ += discarded;
        kept_bytes_ = 0;
        kept_messages_ = 0;
        room_.notify_all();
        settled_changed_.notify_all();
    }
    return discarded;
}

std::uint64_t RelayOutbox::accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::uint64_t RelayOutbox::outstanding(std::uint64_t mark) const {
    std::uint64_t count = 0;
    // Blocks hold their messages in the order they were kept, the unacknowledged ones before
    // those still pending: counting ends at the first message numbered after the mark.
    const auto count_block = [&](const Block* b, std::size_t from) {
        const std::size_t n = b->ends.size() - from;
        if (b->first_index == kUnknown) {
            count += n;
            return true;
        }
        const std::uint64_t first = b->first_index + from;
        if (first > mark) return false;
        count += std::min<std::uint64_t>(n, mark - first + 1);
        return first + n - 1 <= mark;
    };
    for (std::size_t i = unacked_head_; i < unacked_.size(); ++i)
        if (!count_block(unacked_[i], i == unacked_head_ ? ack_index_ : unacked_[i]->first)) return count;
    for (std::size_t i = taken_head_; i < taken_.size(); ++i) {
        const TakenRange& range = taken_[i];
        if (range.first == kUnknown) {
            count += range.count;
        } else {
            if (range.first > mark) return count;
            count += std::min<std::uint64_t>(range.count, mark - range.first + 1);
        }
    }
    for (const Block* b = pending_.front(); b != nullptr; b = b->next)
        if (!count_block(b, b->first)) return count;
    // Waiting conflated versions are not numbered: they all count.
    return count + conflated_.size();
}

std::uint64_t RelayOutbox::wait_settled(std::uint64_t mark, std::chrono::steady_clock::time_point deadline) {
    flush_waiters_.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock lock(mutex_);
    if (wake_armed_ && writer_ != nullptr) {
        wake_armed_ = false;
        writer_->post_wake();
    }
    ++settle_waiters_;
    settled_changed_.wait_until(lock, deadline, [&] { return closed_ || outstanding(mark) == 0; });
    --settle_waiters_;
    const std::uint64_t left = closed_ ? 0 : outstanding(mark);
    lock.unlock();
    flush_waiters_.fetch_sub(1, std::memory_order_relaxed);
    return left;
}

std::uint64_t RelayOutbox::outstanding_of(std::uint64_t mark) const {
    std::lock_guard lock(mutex_);
    return closed_ ? 0 : outstanding(mark);
}

void RelayOutbox::begin_settle_poll() {
    flush_waiters_.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    // An idle writer is woken, so that it starts looking at the acknowledgements at once.
    if (wake_armed_ && writer_ != nullptr) {
        wake_armed_ = false;
        writer_->post_wake();
    }
}

void RelayOutbox::count_refused() {
    std::lock_guard lock(mutex_);
    ++refused_;
}

std::size_t RelayOutbox::kept_bytes() const {
    std::lock_guard lock(mutex_);
    return kept_bytes_;
}

std::size_t RelayOutbox::kept_messages() const {
    std::lock_guard lock(mutex_);
    return kept_messages_;
}

std::uint64_t RelayOutbox::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

RelayCounters RelayOutbox::counters() const {
    std::lock_guard lock(mutex_);
    RelayCounters c;
    c.published_messages = published_messages_;
    c.published_bytes = published_bytes_;
    c.written_messages = written_messages_;
    c.written_bytes = written_bytes_;
    c.resent_messages = resent_messages_;
    c.acknowledged_messages = acked_messages_;
    c.acknowledged_bytes = acked_bytes_;
    c.discarded_messages = discarded_;
    c.refused_messages = refused_;
    c.kept_messages = kept_messages_;
    c.kept_bytes = kept_bytes_;
    c.dropped_messages = dropped_;
    c.replaced_versions = replaced_;
    c.waiting_objects = conflated_.objects();
    return c;
}

}  // namespace tyx::rt
