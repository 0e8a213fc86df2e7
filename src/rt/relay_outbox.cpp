#include "rt/relay_outbox.hpp"

#include <sys/socket.h>

#include <cerrno>
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
                         const std::atomic<std::int64_t>* listener_count)
    : limits_(limits), description_(std::move(description)), log_(std::move(log)), listener_count_(listener_count) {}

RelayOutbox::~RelayOutbox() = default;

RelayOutbox::Limits RelayOutbox::limits_of(const PublicationConfig& config) {
    Limits limits;
    limits.max_bytes = config.max_buffered_bytes;
    limits.policy = config.full_buffer_policy;
    limits.block_for = std::chrono::milliseconds(config.full_buffer_block_ms > 0 ? config.full_buffer_block_ms : 0);
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
    block->ends.clear();
    idle_.push_back(block);
    ++idle_count_;
}

std::string RelayOutbox::policy_text() const {
    if (limits_.policy == PublicationConfig::FullBufferPolicy::drop_oldest) return "dropping the oldest messages";
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
        if (room && direct_fd_ >= 0 && pending_.empty() && conflated_.empty()) direct = try_direct_write(bytes);
        if (direct > 0 && direct == bytes.size()) {
            kept = true;
            ++written_messages_;
            written_bytes_ += bytes.size();
        } else if (room && limits_.conflate && direct == 0) {
            const std::size_t replaced = conflated_.put(place, bytes, key);
            if (replaced == ConflatedQueue::kNone) {
                kept_bytes_ += bytes.size();
                ++kept_messages_;
            } else {
                kept_bytes_ = kept_bytes_ + bytes.size() - replaced;
                ++replaced_;
            }
            kept = true;
        } else if (room) {
            Block* tail = pending_.back();
            if (tail == nullptr || tail->capacity - tail->size < bytes.size()) {
                tail = new_block(bytes.size());
                pending_.push_back(tail);
            }
            tail->put(bytes);
            if (direct > 0) {
                // The socket took only part of it: the writer sends the rest next, and no
                // other publisher may write directly before that.
                tail->written_prefix = direct;
                direct_fd_ = -1;
            }
            kept_bytes_ += bytes.size();
            ++kept_messages_;
            kept = true;
        } else {
            ++dropped_;
            ++episode_dropped_;
        }
        if (kept) {
            ++published_messages_;
            published_bytes_ += bytes.size();
        }
        const bool dropped_now = dropped_ != dropped_before;
        if (dropped_now && !had_episode) {
            in_episode_ = true;
            log_text = "Publication buffer full: " + description_ + " keeps at most " +
                       std::to_string(limits_.max_bytes) + " bytes; " + policy_text();
        } else if (!dropped_now && had_episode) {
            log_text = end_episode();  // a message fitted without dropping anything
        }
        if (kept && direct != bytes.size() && wake_armed_ && writer_ != nullptr) {
            wake_armed_ = false;
            writer_->post_wake();
        }
    }
    if (!log_text.empty() && log_) log_(std::move(log_text));
    return kept;
}

std::size_t RelayOutbox::try_direct_write(std::string_view bytes) {
    if (listener_count_ != nullptr && listener_count_->load(std::memory_order_relaxed) > 0) return 0;
    const std::int64_t now =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
    if (now - last_direct_ns_ < kDirectWriteSpacingNs) return 0;
    last_direct_ns_ = now;
    // Nobody closes the descriptor while we hold the lock: the session's socket disables direct
    // writes, under it, before every close. A full socket buffer or a broken connection just
    // leaves the message to the writer.
    const ssize_t n = ::send(direct_fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

void RelayOutbox::disable_direct() {
    std::lock_guard lock(mutex_);
    direct_fd_ = -1;
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

RelayOutbox::BlockList RelayOutbox::take(bool arm, int direct_fd) {
    BlockList taken;
    BlockList spare;
    {
        std::lock_guard lock(mutex_);
        taken = std::move(pending_);
        if (!conflated_.empty()) {
            conflated_.take(packing_);
            // Blocks for packing them, so that no publisher waits while they are copied.
            for (std::size_t n = packing_.bytes() / kBlockSize + 2; n > 0 && idle_count_ > 0; --n) {
                spare.push_back(idle_.pop_front());
                --idle_count_;
            }
        }
        wake_armed_ = taken.empty() && packing_.empty() && arm;
        direct_fd_ = wake_armed_ && !closed_ ? direct_fd : -1;
    }
    if (!packing_.empty()) {
        pack(packing_, taken, spare);
        packing_.clear();
        if (!spare.empty()) recycle(std::move(spare));
    }
    return taken;
}

void RelayOutbox::pack(const ConflatedQueue::Batch& batch, BlockList& into, BlockList& spare) {
    Block* tail = nullptr;
    batch.for_each([&](std::string_view bytes) {
        if (tail == nullptr || tail->capacity - tail->size < bytes.size()) {
            tail = bytes.size() <= kBlockSize && !spare.empty() ? spare.pop_front() : make_block(bytes.size());
            into.push_back(tail);
        }
        tail->put(bytes);
    });
}

void RelayOutbox::give_back(BlockList blocks) {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    // They go out whole on the next connection.
    if (!blocks.empty()) blocks.front()->written_prefix = 0;
    for (const Block* b = blocks.front(); b != nullptr; b = b->next) resent_messages_ += b->kept_messages();
    pending_.prepend(std::move(blocks));
}

void RelayOutbox::written(const BlockList& blocks) {
    std::string log_text;
    {
        std::lock_guard lock(mutex_);
        if (closed_) return;
        for (const Block* b = blocks.front(); b != nullptr; b = b->next) {
            kept_bytes_ -= b->kept_bytes();
            kept_messages_ -= b->kept_messages();
            written_bytes_ += b->kept_bytes();
            written_messages_ += b->kept_messages();
        }
        if (waiting_for_room_ > 0) room_.notify_all();
        // Everything kept has been written: an episode of drops that no later publication
        // ended is over too.
        if (in_episode_ && kept_messages_ == 0) log_text = end_episode();
    }
    if (!log_text.empty() && log_) log_(std::move(log_text));
}

void RelayOutbox::recycle(BlockList blocks) {
    std::lock_guard lock(mutex_);
    while (Block* block = blocks.pop_front()) release_block(block);
}

void RelayOutbox::close() {
    BlockList dropped;
    BlockList idle;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        writer_ = nullptr;
        direct_fd_ = -1;
        wake_armed_ = false;
        dropped = std::move(pending_);
        conflated_.clear();
        idle = std::move(idle_);
        idle_count_ = 0;
        kept_bytes_ = 0;
        kept_messages_ = 0;
        room_.notify_all();
    }
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
    c.kept_messages = kept_messages_;
    c.kept_bytes = kept_bytes_;
    c.dropped_messages = dropped_;
    c.replaced_versions = replaced_;
    c.waiting_objects = conflated_.objects();
    return c;
}

}  // namespace tyx::rt
