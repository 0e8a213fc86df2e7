// One object (`O`) or removal (`D`) a relay client published: what the sandbox relay records and
// hands on, and what the store keeps as a row. A plain record over relay_text.hpp; no sockets.
#pragma once

#include "relay_text.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::sandbox {

// Only the line is kept; its value fields are read from it on demand, which keeps a long
// recording small.
struct RelayPublication {
    enum class Kind { Object, Removal };
    Kind kind = Kind::Object;
    std::uint64_t connection = 0;        // the relay's ConnectionId it arrived on
    std::string type;                    // the `T` field's text
    std::string id;                      // the `I` field's text (empty when absent)
    std::optional<std::int64_t> seqnum;  // the `#` marker
    std::optional<std::int64_t> expiry;  // the `E` field of an object
    std::string line;                    // the whole line without its line feed

    // The value fields in order: every field except the first `T`, the first `I` and, for an
    // object, the first `E` carrying an integer.
    std::vector<RelayField> fields() const;
    // The same into `out` (cleared first), reading the line with `scratch`: no allocation once
    // both have grown.
    void fields(RelayLine& scratch, std::vector<RelayField>& out) const;
    // The same as views of `line` (no value read), reading it with `scratch`.
    void field_views(RelayLineView& scratch, std::vector<RelayFieldView>& out) const;
    // The first value field named `key`.
    std::optional<RelayField> field(std::string_view key) const;
};

// What a batch of publications weighs in memory, about: the measure of the bounded hand-off
// from the relay to the store.
std::size_t feed_bytes(const std::vector<RelayPublication>& batch);

// Reads the frame fields of `parsed` (an object or removal line of `pub.kind`) into `pub`: its
// type, id and expiry. With `values`, the value fields are moved there. The frame fields come
// first in both kinds; a later field with the same key is a value.
void split_publication(RelayLine& parsed, RelayPublication& pub, std::vector<RelayField>* values);
// The same over the views of the line `pub.line` (or any line the values may point into).
void split_publication(RelayLineView& parsed, RelayPublication& pub, std::vector<RelayFieldView>* values);

}  // namespace tyx::sandbox
