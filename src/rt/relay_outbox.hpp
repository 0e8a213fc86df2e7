// RelayOutbox: the bytes of one relay shard's publications until the relay's host has
// acknowledged them. Publishing threads append whole messages; the relay's loop takes
// everything pending for one coalesced write, keeps what it wrote until the connection's
// acknowledgements cover it, gives back what a lost connection did not confirm, and returns
// blocks for reuse (the notification loop too, after on_message_sent). Flushing threads wait
// here for the acknowledgements. Shared by those threads under one mutex.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rt/conflated_queue.hpp"
#include "transport/direct_write.hpp"
#include "tyx/config.hpp"
#include "tyx/health.hpp"

namespace tyx::rt {

class RelayOutbox {
public:
    static constexpr std::uint64_t kUnknown = ~std::uint64_t{0};

    // Messages back to back in one allocation, with the end offset of each. `first` and
    // `begin` skip the messages dropped from the front.
    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t size = 0;
        std::size_t begin = 0;
        std::vector<std::uint32_t> ends;
        std::size_t first = 0;
        // Bytes of the first kept message already on the connection (a publisher's direct write,
        // whole or in part): the writer's write starts after them.
        std::size_t written_prefix = 0;
        // Once written: the connection's stream offset of data[0], so that message i ends at
        // stream_base + ends[i].
        std::uint64_t stream_base = 0;
        // Written blocks are shared by the unacknowledged list and a report of on_message_sent;
        // the last of them to let go recycles the block. Under the outbox's mutex.
        int holds = 0;
        Block* next = nullptr;

        // The number of the message at ends[0] among the messages the outbox kept (its flush
        // mark); the block's messages are numbered on from it. kUnknown for packed conflated
        // messages, whose order is the conflated queue's.
        std::uint64_t first_index = kUnknown;

        std::size_t kept_bytes() const { return size - begin; }
        // Whether message `index` may follow this block's messages: their numbers run on.
        bool continues(std::uint64_t index) const {
            return ends.empty() || (first_index != kUnknown && first_index + ends.size() == index);
        }
        // Copies one whole message to the end; the block has room for it, and continues `index`.
        void put(std::string_view bytes, std::uint64_t index = kUnknown) {
            if (ends.empty()) first_index = index;
            std::memcpy(data.get() + size, bytes.data(), bytes.size());
            size += bytes.size();
            ends.push_back(static_cast<std::uint32_t>(size));
        }
        std::size_t kept_messages() const { return ends.size() - first; }
        // Calls f(text) for each kept message, the closing line feed included.
        template <typename F>
        void for_each_message(F&& f) const {
            std::size_t start = begin;
            for (std::size_t i = first; i < ends.size(); ++i) {
                f(std::string_view(data.get() + start, ends[i] - start));
                start = ends[i];
            }
        }
    };

    // A singly linked list of blocks, owned by whoever holds it; moving transfers them.
    class BlockList {
    public:
        BlockList() = default;
        BlockList(BlockList&& other) noexcept : head_(other.head_), tail_(other.tail_) {
            other.head_ = other.tail_ = nullptr;
        }
        BlockList& operator=(BlockList&& other) noexcept;
        BlockList(const BlockList&) = delete;
        BlockList& operator=(const BlockList&) = delete;
        ~BlockList();

        bool empty() const { return head_ == nullptr; }
        Block* front() const { return head_; }
        Block* back() const { return tail_; }
        void push_back(Block* block);
        Block* pop_front();
        // Moves every block of `other` in front of this list's blocks.
        void prepend(BlockList&& other);

    private:
        Block* head_ = nullptr;
        Block* tail_ = nullptr;
    };

    // The relay session that writes this outbox. Both operations run with the outbox locked.
    class Writer {
    public:
        // Any thread: have wake_on_loop run on the writer's loop soon; must not block.
        virtual void post_wake() = 0;
        // On the writer's loop: something was appended while the writer was idle.
        virtual void wake_on_loop() = 0;

    protected:
        ~Writer() = default;
    };

    struct Limits {
        std::size_t max_bytes = 0;  // 0: no limit
        PublicationConfig::FullBufferPolicy policy = PublicationConfig::FullBufferPolicy::drop_newest;
        std::chrono::milliseconds block_for{0};
        bool conflate = false;  // latest-value conflation of what waits (conflated_queue.hpp)
    };

    // New blocks hold this many bytes, or one message that is larger.
    static constexpr std::size_t kBlockSize = std::size_t{64} << 10;
    // Written blocks kept for reuse; the rest are freed.
    static constexpr std::size_t kMaxIdleBlocks = 64;

    // A publisher finding the writer idle writes its message straight to the connection,
    // at most once in this interval, so that a burst still goes out in large writes.
    static constexpr std::int64_t kDirectWriteSpacingNs = 50'000;

    // `log` raises a level-3 on_log for this relay; `description` names the relay in it.
    // While `sent_listener_count` (listeners of written messages) is above 0 nothing is written
    // directly: written messages are reported from the writer's loop.
    RelayOutbox(Limits limits, std::string description, std::function<void(std::string)> log,
                const std::atomic<std::int64_t>* sent_listener_count = nullptr);
    ~RelayOutbox();
    RelayOutbox(const RelayOutbox&) = delete;
    RelayOutbox& operator=(const RelayOutbox&) = delete;

    static Limits limits_of(const PublicationConfig& config);
    // Names the shard in logs ("soak-relay shard 0").
    const std::string& description() const { return description_; }

    // Any thread. Appends one message (its exact bytes) unless it is dropped by the full-buffer
    // policy or the outbox is closed; wakes an idle writer. True when it was kept. With
    // conflation on, `key` says what the message may replace.
    bool append(std::string_view bytes, const MessageKey& key = {});

    // --- The writer's loop.
    void attach(Writer* writer);
    // Run by the job that post_wake queued: tells the writer, if one is still attached.
    void deliver_wake();
    // Everything pending, oldest first (conflated messages are packed into blocks here, and are
    // never touched again). When nothing is pending and `arm` is set, the next
    // append wakes the writer; with `direct` too (not null), publishers may first write
    // straight to that connection until the next take or disable_direct.
    BlockList take(bool arm, DirectWriteTarget* direct = nullptr);
    // What the writer's turn found: what was pending, what the acknowledgement delivered and
    // how many written messages it leaves unacknowledged.
    struct Turn {
        BlockList blocks;
        std::size_t delivered = 0;
        std::size_t unacknowledged = 0;
    };
    // take, with acknowledge(offset) first when `acknowledging`: one turn under one lock.
    Turn take_turn(bool arm, DirectWriteTarget* direct, bool acknowledging,
                   std::optional<std::uint64_t> offset);
    // No publisher writes to the writer's connection any more: before its socket is replaced
    // or destroyed, and whenever the writer stops writing it.
    void disable_direct();
    // Blocks taken and not confirmed written go back in front of what is pending.
    void give_back(BlockList blocks);
    // A new connection carries messages from stream offset `start` on (after its login).
    void begin_connection(std::uint64_t start);
    // The messages of `blocks` were written, in order, after what the connection carried
    // before: they are kept until acknowledged. With `report` the caller keeps the list for
    // on_message_sent and recycles it afterwards; otherwise the list is left empty.
    void written(BlockList& blocks, bool report);
    // The peer has acknowledged the connection's stream up to `offset`: the messages it covers
    // are delivered. nullopt acknowledges everything written (no way to tell). Returns how
    // many messages that delivered.
    std::size_t acknowledge(std::optional<std::uint64_t> offset);
    // After the connection ended (and its writer gave back what it had not written): every
    // written message not acknowledged goes back to the front of what is pending, to be
    // written again on the next connection. Returns how many.
    std::size_t connection_lost();
    // Messages written and not yet acknowledged.
    std::size_t unacknowledged() const;
    // Any thread: blocks are done with, for reuse. Blocks a report of on_message_sent held
    // (written with `report`) come back here once the listeners have heard of them.
    void recycle(BlockList blocks);
    // Detaches the writer, discards everything kept (counted) and refuses later appends.
    // Returns how many messages were discarded.
    std::uint64_t close();

    // --- Any thread: waiting for acknowledgements.
    // How many messages have been kept so far: the mark a flush waits for.
    std::uint64_t accepted() const;
    // Waits until every message among the first `mark` kept has been acknowledged, dropped,
    // replaced or discarded, or until `deadline`; returns how many are still outstanding.
    // Wakes the writer so that it looks at the acknowledgements at once and often meanwhile.
    std::uint64_t wait_settled(std::uint64_t mark, std::chrono::steady_clock::time_point deadline);
    // The same without blocking, for a waiter that looks again now and then: how many among the
    // first `mark` kept are still outstanding (0 once closed). Between begin_settle_poll and
    // end_settle_poll the waiter counts as a flush waiting, as wait_settled's caller does.
    std::uint64_t outstanding_of(std::uint64_t mark) const;
    void begin_settle_poll();
    void end_settle_poll() { flush_waiters_.fetch_sub(1, std::memory_order_relaxed); }
    // Whether a flush is waiting: the writer then looks at acknowledgements often.
    bool flush_waiting() const { return flush_waiters_.load(std::memory_order_relaxed) > 0; }
    // A publication to this shard's cluster was refused before it was sent.
    void count_refused();

    // Counters; any thread.
    std::size_t kept_bytes() const;
    std::size_t kept_messages() const;
    std::uint64_t dropped() const;
    // All of them at one moment. A message a publisher wrote straight to the connection counts
    // as written once the writer has taken it in; one given back after a lost connection
    // counts as re-sent.
    RelayCounters counters() const;

private:
    Block* new_block(std::size_t at_least);
    void release_block(Block* block);
    // Writes `bytes` straight to the idle writer's connection when that is allowed; returns
    // how many bytes the connection took (0 when none, or not tried).
    std::size_t try_direct_write(std::string_view bytes);
    // Drops pending messages from the front until `bytes` more fit; false if they cannot.
    bool make_room_by_dropping_oldest(std::size_t bytes);
    // Whether `bytes` (replacing `place`'s message, when it names one) fit, after dropping or
    // waiting as the policy says. `lock` may be released while waiting, and `place` found again.
    bool room_for(std::unique_lock<std::mutex>& lock, std::string_view bytes, const MessageKey& key,
                  ConflatedQueue::Place& place);
    std::size_t growth(std::string_view bytes, const MessageKey& key,
                       const ConflatedQueue::Place& place) const;
    // Copies the batch's messages into blocks appended to `into`, from `spare` first.
    static void pack(const ConflatedQueue::Batch& batch, BlockList& into, BlockList& spare);
    static Block* make_block(std::size_t at_least);
    // How many kept messages are numbered `mark` or lower (packed conflated ones count).
    std::uint64_t outstanding(std::uint64_t mark) const;
    // acknowledge with the lock held; a log text for after the lock, if any.
    std::size_t acknowledge_locked(std::optional<std::uint64_t> offset, std::string& log_text);
    void push_unacked(Block* block);
    // Copies a written block's messages to the packed unacknowledged block, starting a new one
    // when they cannot follow it; false when they do not fit a block.
    bool pack_unacked(const Block& block, std::uint64_t base);
    // The packed unacknowledged block that `bytes` more, numbered from `number` and starting at
    // stream offset `offset`, may follow; a new one when they cannot follow the last; nullptr
    // when they are larger than a block.
    Block* unacked_tail_for(std::size_t bytes, std::uint64_t number, std::uint64_t offset);
    // Keeps a message a publisher wrote wholly to the connection as written; false when it is
    // too large to pack (then it waits with the pending ones, already written).
    bool record_direct(std::string_view bytes, std::uint64_t number);
    // Releases one hold on a written block; recycles it when none is left. Lock held.
    void let_go(Block* block);
    bool fits(std::size_t bytes) const {
        return limits_.max_bytes == 0 || kept_bytes_ + reporting_bytes_ + bytes <= limits_.max_bytes;
    }
    std::string policy_text() const;
    // Closes an episode of drops; returns the log text that reports it.
    std::string end_episode();

    const Limits limits_;
    const std::string description_;
    const std::function<void(std::string)> log_;

    mutable std::mutex mutex_;
    std::condition_variable room_;
    BlockList pending_;
    // With conflation on: what waits behind pending_ (which then holds only blocks given back
    // and a message a direct write left half written).
    ConflatedQueue conflated_;
    ConflatedQueue::Batch packing_;  // the writer's loop only, without the lock
    std::uint64_t replaced_ = 0;
    BlockList idle_;
    std::size_t idle_count_ = 0;
    std::size_t kept_bytes_ = 0;  // pending, taken and written, until acknowledged
    // Bytes of written messages whose on_message_sent is still to come: a slow listener holds
    // their blocks, so they count toward the limit too.
    std::size_t reporting_bytes_ = 0;
    std::size_t kept_messages_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t published_messages_ = 0;
    std::uint64_t published_bytes_ = 0;
    std::uint64_t written_messages_ = 0;
    std::uint64_t written_bytes_ = 0;
    std::uint64_t resent_messages_ = 0;
    std::uint64_t acked_messages_ = 0;
    std::uint64_t acked_bytes_ = 0;
    std::uint64_t discarded_ = 0;
    std::uint64_t refused_ = 0;
    // Messages ever kept, and those of them that left (acknowledged, dropped, replaced or
    // discarded): kept_messages_ is their difference.
    std::uint64_t accepted_ = 0;
    std::uint64_t settled_ = 0;
    // Written blocks not yet wholly acknowledged, oldest first, as a queue from unacked_head_;
    // ack_index_ and ack_begin_ are the first unacknowledged message of the front block.
    std::vector<Block*> unacked_;
    std::size_t unacked_head_ = 0;
    std::size_t ack_index_ = 0;
    std::size_t ack_begin_ = 0;
    std::size_t unacked_messages_ = 0;
    // The messages the writer has taken and not yet written or given back, as runs of
    // consecutive numbers in write order, from taken_head_ (kUnknown: packed conflated ones).
    struct TakenRange {
        std::uint64_t first = 0;
        std::uint64_t count = 0;
    };
    std::vector<TakenRange> taken_;
    std::size_t taken_head_ = 0;
    // The unacknowledged block that packs the messages of mostly empty written blocks.
    Block* packed_tail_ = nullptr;
    // The connection's stream offset after the last byte written to it.
    std::uint64_t stream_pos_ = 0;
    std::condition_variable settled_changed_;
    int settle_waiters_ = 0;
    std::atomic<int> flush_waiters_{0};
    std::uint64_t episode_dropped_ = 0;
    bool in_episode_ = false;
    int waiting_for_room_ = 0;
    Writer* writer_ = nullptr;
    bool wake_armed_ = false;
    bool closed_ = false;
    const std::atomic<std::int64_t>* sent_listener_count_;
    DirectWriteTarget* direct_ = nullptr;
    std::int64_t last_direct_ns_ = 0;
};

}  // namespace tyx::rt
