#include "relay_text.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tyx::sandbox {

namespace {

bool parse_integer(std::string_view text, std::int64_t& out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool all_decimal(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

bool parse_real(std::string_view text, double& out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

// Reads an optional `#n` / `@n` marker at the front of `rest`.
void take_marker(std::string_view& rest, char marker, std::optional<std::int64_t>& out) {
    if (rest.empty() || rest.front() != marker) return;
    std::size_t end = 1;
    if (end < rest.size() && rest[end] == '-') ++end;
    while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
    std::int64_t value = 0;
    if (!parse_integer(rest.substr(1, end - 1), value)) return;
    out = value;
    rest.remove_prefix(end);
}

// Returns the end of the piece that starts at `begin` (the index of its closing `|` or the size).
std::size_t piece_end(std::string_view text, std::size_t begin) {
    std::size_t eq = begin;
    while (eq < text.size() && text[eq] != '|' && text[eq] != '=') ++eq;
    if (eq < text.size() && text[eq] == '=' && eq + 1 < text.size() && text[eq + 1] == '"') {
        for (std::size_t i = eq + 2; i < text.size(); ++i)
            if (text[i] == '"' && (i + 1 == text.size() || text[i + 1] == '|')) return i + 1;
        // An unterminated quote: the value runs to the end of the line.
        return text.size();
    }
    auto bar = text.find('|', begin);
    return bar == std::string_view::npos ? text.size() : bar;
}

// Reads the type letter and markers of `line` into `out` and hands each `|`-separated piece to
// `piece(key, raw, has_equals)`: a piece without `=` has an empty key and the piece as raw text.
template <typename Line, typename OnPiece>
void split_frame(std::string_view line, Line& out, OnPiece piece_found) {
    out.type = 0;
    out.seqnum.reset();
    out.timestamp.reset();
    if (line.empty()) return;
    out.type = line.front();
    auto rest = line.substr(1);
    take_marker(rest, '#', out.seqnum);
    take_marker(rest, '@', out.timestamp);
    std::size_t pos = 0;
    while (pos < rest.size()) {
        if (rest[pos] == '|') {
            ++pos;
            continue;
        }
        const auto end = piece_end(rest, pos);
        const auto piece = rest.substr(pos, end - pos);
        const auto eq = piece.find('=');
        if (eq == std::string_view::npos)
            piece_found(std::string_view(), piece, false);
        else
            piece_found(piece.substr(0, eq), piece.substr(eq + 1), true);
        pos = end;
    }
}

void append_quoted_field(std::string& out, char key, std::string_view value) {
    out += '|';
    out += key;
    out += "=\"";
    out += value;
    out += '"';
}

}  // namespace

std::string unquote(std::string_view raw) {
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') raw = raw.substr(1, raw.size() - 2);
    return std::string(raw);
}

std::size_t count_line_feeds(const char* data, std::size_t size) {
    std::size_t n = 0, i = 0;
#if defined(__SSE2__)
    // Each match subtracts 1 (0xFF) from a byte lane; the lanes are summed before they can wrap.
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i zero = _mm_setzero_si128();
    while (i + 16 <= size) {
        __m128i lanes = zero;
        const std::size_t blocks = std::min<std::size_t>((size - i) / 16, 255);
        for (std::size_t b = 0; b < blocks; ++b, i += 16) {
            __m128i chunk;
            std::memcpy(&chunk, data + i, 16);
            lanes = _mm_sub_epi8(lanes, _mm_cmpeq_epi8(chunk, lf));
        }
        const __m128i sums = _mm_sad_epu8(lanes, zero);
        n += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
#endif
    for (; i < size; ++i) n += data[i] == '\n' ? 1 : 0;
    return n;
}

const RelayField* RelayLine::field(std::string_view key) const {
    for (const auto& f : fields)
        if (f.key == key) return &f;
    return nullptr;
}

const RelayFieldView* RelayLineView::field(std::string_view key) const {
    for (const auto& f : fields)
        if (f.key == key) return &f;
    return nullptr;
}

RelayValueView read_relay_value(std::string_view raw) {
    RelayValueView v;
    if (raw.empty()) return v;
    if (raw.size() >= 2 && raw.front() == '"' && raw.back() == '"') {
        v.kind = RelayValue::Kind::String;
        v.text = raw.substr(1, raw.size() - 2);
        return v;
    }
    const char last = raw.back();
    const auto body = raw.substr(0, raw.size() - 1);
    if (last == 'L' && all_decimal(body)) {
        v.kind = RelayValue::Kind::Long;
        if (parse_integer(body, v.integer)) return v;
        auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), v.unsigned_integer);
        if (ec == std::errc() && end == body.data() + body.size()) {
            v.is_unsigned = true;
            return v;
        }
        v = RelayValueView{};
    } else if ((last == 'F' || last == 'D') && parse_real(body, v.real)) {
        v.kind = last == 'F' ? RelayValue::Kind::Float : RelayValue::Kind::Double;
        return v;
    } else if (all_decimal(raw) && parse_integer(raw, v.integer)) {
        v.kind = RelayValue::Kind::Integer;
        return v;
    }
    v.real = 0.0;
    v.kind = RelayValue::Kind::Bare;
    v.text = raw;
    return v;
}

RelayValueView read_relay_value(const RelayFieldView& field) {
    if (field.has_equals) return read_relay_value(field.raw);
    RelayValueView v;
    v.kind = RelayValue::Kind::Bare;
    v.text = field.raw;
    return v;
}

RelayValue parse_relay_value(std::string_view raw) {
    const auto view = read_relay_value(raw);
    RelayValue v;
    v.kind = view.kind;
    v.text = std::string(view.text);
    v.integer = view.integer;
    v.unsigned_integer = view.unsigned_integer;
    v.is_unsigned = view.is_unsigned;
    v.real = view.real;
    return v;
}

RelayLine parse_relay_line(std::string_view line) {
    RelayLine out;
    parse_relay_line(line, out);
    return out;
}

void parse_relay_line(std::string_view line, RelayLine& out) {
    out.fields.clear();
    split_frame(line, out, [&](std::string_view key, std::string_view raw, bool has_equals) {
        RelayField& field = out.fields.emplace_back();
        field.key = std::string(key);
        field.raw = std::string(raw);
        if (has_equals) {
            field.value = parse_relay_value(field.raw);
        } else {
            field.value.kind = RelayValue::Kind::Bare;
            field.value.text = field.raw;
        }
    });
}

void split_relay_line(std::string_view line, RelayLineView& out) {
    out.fields.clear();
    split_frame(line, out, [&](std::string_view key, std::string_view raw, bool has_equals) {
        out.fields.push_back({key, raw, has_equals});
    });
}

std::string make_status_line(const RelayStatus& status) {
    std::string out = "M";
    if (status.hash) out += '#' + std::to_string(*status.hash);
    out += '@' + std::to_string(status.now);
    out += "|S=" + std::to_string(status.status);
    out += "|Q=" + std::to_string(status.seqnum);
    append_quoted_field(out, 'M', status.message);
    out += '\n';
    return out;
}

std::string make_execute_command_line(const RelayCommand& command) {
    std::string out = "E";
    append_quoted_field(out, 'I', command.request_id);
    append_quoted_field(out, 'C', command.cmd);
    append_quoted_field(out, 'U', command.user_name);
    append_quoted_field(out, 'T', command.object_type);
    append_quoted_field(out, 'O', command.object_id);
    for (const auto& [key, value] : command.params) {
        out += '|';
        out += key;
        out += "=\"";
        out += value;
        out += '"';
    }
    out += '\n';
    return out;
}

}  // namespace tyx::sandbox
