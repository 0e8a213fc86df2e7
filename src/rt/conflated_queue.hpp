// ConflatedQueue: the messages of one relay outbox that wait for a write while latest-value
// conflation is on. A new version of an object (type and id) that is still waiting replaces
// the waiting one in its place; a removal replaces the object's waiting version; a version
// after a waiting removal is queued behind it. Barriers (raw, command and id-less messages)
// are never replaced, and nothing is conflated across one: each starts a new segment whose
// index of keys is empty. Not thread-safe: the outbox's mutex guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::rt {

// What a published message is to conflation.
struct MessageKey {
    enum class Kind : std::uint8_t { barrier, version, removal };
    Kind kind = Kind::barrier;
    std::string_view type;
    std::string_view id;

    static MessageKey version(std::string_view type, std::string_view id) {
        return {id.empty() ? Kind::barrier : Kind::version, type, id};
    }
    static MessageKey removal(std::string_view type, std::string_view id) {
        return {id.empty() ? Kind::barrier : Kind::removal, type, id};
    }
};

class ConflatedQueue {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    // Where a message would go: the waiting message of its key that it would replace (kNone:
    // it would be queued at the end). Valid until the next put, drain or clear; drop_front may
    // drop the message it names, which put then notices.
    struct Place {
        std::uint64_t hash = 0;
        std::size_t slot = kNone;
        std::size_t entry = kNone;
    };

    class Batch;

    ConflatedQueue();

    bool empty() const { return begin_ == end_; }
    std::size_t size() const { return end_ - begin_; }
    // Objects (versions and removals) waiting.
    std::size_t objects() const { return objects_; }

    Place find(const MessageKey& key) const;
    // The size of the message `place` names, or kNone when the message would be queued.
    std::size_t replaced_size(const Place& place, const MessageKey& key) const;
    // Puts the message where find placed it; returns the size of the message it replaced, or
    // kNone when it was queued at the end.
    std::size_t put(const Place& place, std::string_view bytes, const MessageKey& key);

    // The size of the oldest message, which is dropped.
    std::size_t drop_front();

    // Moves every waiting message into `batch` at once, in exchange for the storage the batch
    // held, and empties the queue; the batch is then read without the queue's lock.
    void take(Batch& batch);
    void clear();
    // Bytes of the waiting messages.
    std::size_t bytes() const { return bytes_; }

private:
    // One waiting message and its key in one buffer, reused by later messages.
    struct Entry {
        std::unique_ptr<char[]> data;  // the key (the type, then the id), then the message
        std::uint32_t capacity = 0;
        std::uint32_t key_size = 0;
        std::uint32_t type_size = 0;
        std::uint32_t size = 0;  // of the message
        std::uint64_t hash = 0;
        MessageKey::Kind kind = MessageKey::Kind::barrier;

        std::string_view message() const { return {data.get() + key_size, size}; }
        std::string_view key() const { return {data.get(), key_size}; }
        void store(std::string_view type, std::string_view id, std::string_view bytes);
        void replace(std::string_view bytes);  // keeps the key
    };

    // Entries with their buffers, kept for reuse. What a steady flow uses stays; what only a
    // burst needed is given back once a whole round of uses has not needed it.
    struct Storage {
        std::vector<Entry> entries;
        std::size_t peak = 0;  // the most used in this round
        unsigned uses = 0;
        void done(std::size_t used);
    };

public:
    class Batch {
    public:
        bool empty() const { return begin_ == end_; }
        std::size_t bytes() const { return bytes_; }
        // Calls f(bytes) for every message, oldest first.
        template <typename F>
        void for_each(F&& f) const {
            for (std::size_t i = begin_; i < end_; ++i) f(storage_.entries[i].message());
        }
        // Done with the messages: the storage stays for reuse, within bounds.
        void clear();

    private:
        friend class ConflatedQueue;
        Storage storage_;
        std::size_t begin_ = 0;
        std::size_t end_ = 0;
        std::size_t bytes_ = 0;
    };

private:
    // A bucket of the open-addressing index: in use when its generation is the current one.
    struct Slot {
        std::uint32_t generation = 0;
        std::uint32_t entry = 0;
    };

    static std::uint64_t hash_of(const MessageKey& key);
    static bool same_key(const Entry& e, const MessageKey& key);
    bool live(std::size_t entry) const { return entry != kNone && entry >= begin_ && entry < end_; }
    Entry& append(std::string_view bytes, const MessageKey& key, std::uint64_t hash);
    void index(std::size_t slot, std::size_t entry);
    void forget_keys();
    void grow_index();
    // Empties the queue; its storage is kept for reuse, within bounds.
    void reset();

    Storage storage_;  // entries [begin_, end_) wait; those after keep their buffers
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::size_t segment_begin_ = 0;  // the first entry after the last barrier
    std::size_t objects_ = 0;
    std::size_t bytes_ = 0;
    std::vector<Slot> slots_;
    std::uint32_t generation_ = 1;
    std::size_t indexed_ = 0;  // slots in use
};

}  // namespace tyx::rt
