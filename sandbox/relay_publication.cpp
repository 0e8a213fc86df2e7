#include "relay_publication.hpp"

namespace tyx::sandbox {

namespace {

// The integer value of a field, when it carries one (an Integer or a Long in the signed range).
std::optional<std::int64_t> integer_of(const RelayField& f) {
    if (f.value.kind == RelayValue::Kind::Long || f.value.kind == RelayValue::Kind::Integer)
        return f.value.integer;
    return std::nullopt;
}

std::optional<std::int64_t> integer_of(const RelayFieldView& f) {
    if (f.key != "E") return std::nullopt;  // only the expiry field's value is read
    const auto v = read_relay_value(f);
    if (v.kind == RelayValue::Kind::Long || v.kind == RelayValue::Kind::Integer) return v.integer;
    return std::nullopt;
}

// Hands each field of a `kind` publication to `frame(letter, field, expiry)` (its type, id or
// expiry) or to `value(field)`, in order.
template <typename Field, typename OnFrame, typename OnValue>
void split_fields(std::vector<Field>& fields, RelayPublication::Kind kind, OnFrame frame, OnValue value) {
    bool have_type = false, have_id = false, have_expiry = false;
    for (auto& f : fields) {
        if (f.key == "T" && !have_type) {
            have_type = true;
            frame('T', f, std::int64_t{0});
        } else if (f.key == "I" && !have_id) {
            have_id = true;
            frame('I', f, std::int64_t{0});
        } else if (f.key == "E" && !have_expiry && kind == RelayPublication::Kind::Object) {
            if (const auto expiry = integer_of(f)) {
                have_expiry = true;
                frame('E', f, *expiry);
            } else {
                value(f);
            }
        } else {
            value(f);
        }
    }
}

template <typename Field>
void set_frame(RelayPublication& pub, char letter, const Field& f, std::int64_t expiry) {
    if (letter == 'T')
        pub.type = unquote(f.raw);
    else if (letter == 'I')
        pub.id = unquote(f.raw);
    else
        pub.expiry = expiry;
}

}  // namespace

void split_publication(RelayLine& parsed, RelayPublication& pub, std::vector<RelayField>* values) {
    if (values != nullptr) values->reserve(values->size() + parsed.fields.size());
    split_fields(
        parsed.fields, pub.kind,
        [&](char letter, RelayField& f, std::int64_t e) { set_frame(pub, letter, f, e); },
        [&](RelayField& f) {
            if (values != nullptr) values->push_back(std::move(f));
        });
}

void split_publication(RelayLineView& parsed, RelayPublication& pub, std::vector<RelayFieldView>* values) {
    split_fields(
        parsed.fields, pub.kind,
        [&](char letter, RelayFieldView& f, std::int64_t e) { set_frame(pub, letter, f, e); },
        [&](RelayFieldView& f) {
            if (values != nullptr) values->push_back(f);
        });
}

std::size_t feed_bytes(const std::vector<RelayPublication>& batch) {
    std::size_t n = 0;
    for (const auto& p : batch) n += sizeof(RelayPublication) + p.line.size();
    return n;
}

std::vector<RelayField> RelayPublication::fields() const {
    auto parsed = parse_relay_line(line);
    RelayPublication scratch;
    scratch.kind = kind;
    std::vector<RelayField> values;
    split_publication(parsed, scratch, &values);
    return values;
}

void RelayPublication::fields(RelayLine& scratch, std::vector<RelayField>& out) const {
    parse_relay_line(line, scratch);
    RelayPublication frame;
    frame.kind = kind;
    out.clear();
    split_publication(scratch, frame, &out);
}

void RelayPublication::field_views(RelayLineView& scratch, std::vector<RelayFieldView>& out) const {
    split_relay_line(line, scratch);
    out.clear();
    split_fields(
        scratch.fields, kind, [](char, const RelayFieldView&, std::int64_t) {},
        [&](const RelayFieldView& f) { out.push_back(f); });
}

std::optional<RelayField> RelayPublication::field(std::string_view key) const {
    for (auto& f : fields())
        if (f.key == key) return std::move(f);
    return std::nullopt;
}

}  // namespace tyx::sandbox
