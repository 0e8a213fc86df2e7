#include "relay_publication.hpp"

namespace tyx::sandbox {

void split_publication(RelayLine& parsed, RelayPublication& pub, std::vector<RelayField>* values) {
    bool have_type = false, have_id = false, have_expiry = false;
    if (values != nullptr) values->reserve(values->size() + parsed.fields.size());
    for (auto& f : parsed.fields) {
        if (f.key == "T" && !have_type) {
            have_type = true;
            pub.type = unquote(f.raw);
        } else if (f.key == "I" && !have_id) {
            have_id = true;
            pub.id = unquote(f.raw);
        } else if (f.key == "E" && !have_expiry && pub.kind == RelayPublication::Kind::Object &&
                   (f.value.kind == RelayValue::Kind::Long || f.value.kind == RelayValue::Kind::Integer)) {
            have_expiry = true;
            pub.expiry = f.value.integer;
        } else if (values != nullptr) {
            values->push_back(std::move(f));
        }
    }
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

std::optional<RelayField> RelayPublication::field(std::string_view key) const {
    for (auto& f : fields())
        if (f.key == key) return std::move(f);
    return std::nullopt;
}

}  // namespace tyx::sandbox
