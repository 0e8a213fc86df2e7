#include "rt/conflated_queue.hpp"

#include <algorithm>
#include <cstring>

namespace tyx::rt {
namespace {

// What an emptied queue keeps for reuse; a larger burst's storage is given back.
constexpr std::size_t kKeptEntries = 4096;
constexpr std::size_t kKeptSlots = 8192;
constexpr std::size_t kFirstSlots = 64;
constexpr unsigned kUsesPerRound = 64;

}  // namespace

ConflatedQueue::ConflatedQueue() : slots_(kFirstSlots) {}

namespace {

// A quick mix of short texts, eight bytes at a time: ids and type names are mostly short.
std::uint64_t mix(std::uint64_t h, std::string_view text) {
    constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ull;
    const char* p = text.data();
    std::size_t n = text.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * kMul;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ tail ^ (static_cast<std::uint64_t>(text.size()) << 56)) * kMul;
    return h ^ (h >> 32);
}

}  // namespace

std::uint64_t ConflatedQueue::hash_of(const MessageKey& key) {
    return mix(mix(0x243F6A8885A308D3ull, key.type), key.id);
}

void ConflatedQueue::Entry::store(std::string_view type, std::string_view id, std::string_view bytes) {
    const std::size_t need = type.size() + id.size() + bytes.size();
    if (capacity < need) {
        capacity = static_cast<std::uint32_t>(std::max<std::size_t>(need, 128));
        data.reset(new char[capacity]);
    }
    char* p = data.get();
    for (const std::string_view part : {type, id, bytes}) {
        if (!part.empty()) std::memcpy(p, part.data(), part.size());
        p += part.size();
    }
    type_size = static_cast<std::uint32_t>(type.size());
    key_size = static_cast<std::uint32_t>(type.size() + id.size());
    size = static_cast<std::uint32_t>(bytes.size());
}

void ConflatedQueue::Entry::replace(std::string_view bytes) {
    const std::size_t need = key_size + bytes.size();
    if (capacity < need) {
        auto grown = std::make_unique<char[]>(need);
        std::memcpy(grown.get(), data.get(), key_size);
        data = std::move(grown);
        capacity = static_cast<std::uint32_t>(need);
    }
    if (!bytes.empty()) std::memcpy(data.get() + key_size, bytes.data(), bytes.size());
    size = static_cast<std::uint32_t>(bytes.size());
}

bool ConflatedQueue::same_key(const Entry& e, const MessageKey& key) {
    return e.kind != MessageKey::Kind::barrier && e.type_size == key.type.size() &&
           e.key_size == key.type.size() + key.id.size() &&
           std::memcmp(e.data.get(), key.type.data(), key.type.size()) == 0 &&
           std::memcmp(e.data.get() + key.type.size(), key.id.data(), key.id.size()) == 0;
}

ConflatedQueue::Place ConflatedQueue::find(const MessageKey& key) const {
    if (key.kind == MessageKey::Kind::barrier) return {};
    Place place;
    place.hash = hash_of(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = place.hash & mask;; i = (i + 1) & mask) {
        const Slot& slot = slots_[i];
        if (slot.generation != generation_) {
            place.slot = i;
            return place;
        }
        const Entry& e = storage_.entries[slot.entry];
        if (e.hash == place.hash && same_key(e, key)) {
            place.slot = i;
            place.entry = slot.entry;
            return place;
        }
    }
}

std::size_t ConflatedQueue::replaced_size(const Place& place, const MessageKey& key) const {
    if (key.kind == MessageKey::Kind::barrier || !live(place.entry)) return kNone;
    const Entry& e = storage_.entries[place.entry];
    // A version after a waiting removal goes behind it: the relay must see the removal.
    if (key.kind == MessageKey::Kind::version && e.kind == MessageKey::Kind::removal) return kNone;
    return e.size;
}

std::size_t ConflatedQueue::put(const Place& place, std::string_view bytes, const MessageKey& key) {
    if (key.kind == MessageKey::Kind::barrier) {
        append(bytes, key, 0);
        forget_keys();
        segment_begin_ = end_;
        return kNone;
    }
    if (replaced_size(place, key) != kNone) {
        Entry& e = storage_.entries[place.entry];
        const std::size_t old = e.size;
        bytes_ = bytes_ - old + bytes.size();
        e.replace(bytes);
        e.kind = key.kind;
        return old;
    }
    append(bytes, key, place.hash);
    std::size_t slot = place.slot;
    if (slots_[slot].generation != generation_) {
        if ((indexed_ + 1) * 2 > slots_.size()) {
            grow_index();  // indexes the new entry too
            return kNone;
        }
        ++indexed_;
    }
    slots_[slot] = Slot{generation_, static_cast<std::uint32_t>(end_ - 1)};
    return kNone;
}

ConflatedQueue::Entry& ConflatedQueue::append(std::string_view bytes, const MessageKey& key, std::uint64_t hash) {
    if (end_ == storage_.entries.size()) storage_.entries.emplace_back();
    Entry& e = storage_.entries[end_++];
    bytes_ += bytes.size();
    e.kind = key.kind;
    e.hash = hash;
    if (key.kind == MessageKey::Kind::barrier) {
        e.store({}, {}, bytes);
    } else {
        e.store(key.type, key.id, bytes);
        ++objects_;
    }
    return e;
}

std::size_t ConflatedQueue::drop_front() {
    const Entry& e = storage_.entries[begin_++];
    const std::size_t size = e.size;
    bytes_ -= size;
    if (e.kind != MessageKey::Kind::barrier) --objects_;
    if (begin_ == end_) reset();
    return size;
}

void ConflatedQueue::reset() {
    begin_ = end_ = segment_begin_ = 0;
    objects_ = 0;
    bytes_ = 0;
    forget_keys();
    if (slots_.size() > kKeptSlots) {
        slots_.assign(kKeptSlots, Slot{});
        slots_.shrink_to_fit();
        generation_ = 1;
    }
}

void ConflatedQueue::Storage::done(std::size_t used) {
    peak = std::max(peak, used);
    if (++uses < kUsesPerRound) return;
    if (entries.size() > kKeptEntries && entries.size() > 2 * peak) {
        entries.resize(std::max(kKeptEntries, peak));
        entries.shrink_to_fit();
    }
    peak = 0;
    uses = 0;
}

void ConflatedQueue::clear() {
    const std::size_t used = end_;
    reset();
    storage_.done(used);
}

void ConflatedQueue::take(Batch& batch) {
    std::swap(storage_, batch.storage_);
    batch.begin_ = begin_;
    batch.end_ = end_;
    batch.bytes_ = bytes_;
    reset();
}

void ConflatedQueue::Batch::clear() {
    storage_.done(end_);
    begin_ = end_ = bytes_ = 0;
}

void ConflatedQueue::forget_keys() {
    indexed_ = 0;
    if (++generation_ == 0) {
        for (Slot& slot : slots_) slot.generation = 0;
        generation_ = 1;
    }
}

void ConflatedQueue::grow_index() {
    slots_.assign(slots_.size() * 2, Slot{});
    generation_ = 1;
    indexed_ = 0;
    const std::size_t mask = slots_.size() - 1;
    // Later entries of a key overwrite earlier ones: the index names the newest.
    for (std::size_t n = std::max(segment_begin_, begin_); n < end_; ++n) {
        const Entry& e = storage_.entries[n];
        if (e.kind == MessageKey::Kind::barrier) continue;
        for (std::size_t i = e.hash & mask;; i = (i + 1) & mask) {
            Slot& slot = slots_[i];
            if (slot.generation != generation_) {
                slot = Slot{generation_, static_cast<std::uint32_t>(n)};
                ++indexed_;
                break;
            }
            const Entry& other = storage_.entries[slot.entry];
            if (other.hash == e.hash && other.type_size == e.type_size && other.key() == e.key()) {
                slot.entry = static_cast<std::uint32_t>(n);
                break;
            }
        }
    }
}

}  // namespace tyx::rt
