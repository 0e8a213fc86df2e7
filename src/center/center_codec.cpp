#include "center/center_codec.hpp"

#include "core/type_codes.hpp"

namespace tyx {
namespace center {

void finish_frame(ByteVector& out) {
    const std::size_t payload = out.size() - kFrameHeaderSize;
    if (payload > UINT32_MAX) throw std::runtime_error("Frame payload too large: " + std::to_string(payload));
    const std::uint32_t words[2] = {0, static_cast<std::uint32_t>(payload)};
    for (int w = 0; w < 2; ++w)
        for (int b = 0; b < 4; ++b) out[w * 4 + b] = static_cast<std::uint8_t>(words[w] >> (24 - 8 * b));
}

void append_message_preamble(ByteVector& out, std::int64_t vid, std::uint8_t encoding) {
    append_u8(out, 0);
    append_u8(out, code_of(TypeCode::Message));
    append_vid(out, vid);
    append_u8(out, encoding);
}

OutBuffer& OutBuffer::write_java_utf(std::string_view text) {
    if (text.size() > 0xFFFF) throw std::runtime_error("String too long for Java writeUTF");
    append_be<std::uint16_t>(bytes_, static_cast<std::uint16_t>(text.size()));
    append_bytes(bytes_, text);
    return *this;
}

OutBuffer& OutBuffer::write_java_char(char c) {
    append_u8(bytes_, 0);
    append_u8(bytes_, static_cast<std::uint8_t>(c));
    return *this;
}

StringForm read_string_form(ByteView& view, std::string_view& text) {
    if (!view.has(3)) return StringForm::TooShort;
    const std::uint8_t* p = view.data;
    if (p[0] == 0x00 && p[1] == 0x01 && p[2] == 0xFF) {
        view.skip(3);
        text = {};
        return StringForm::Read;
    }
    std::size_t head = 2;
    std::size_t length = load_be<std::uint16_t>(p);
    if (p[0] == 0x00 && p[1] == 0x01 && p[2] == 0x80) {
        if (!view.has(7)) return StringForm::TooShort;
        head = 7;
        length = load_be<std::uint32_t>(p + 3);
    }
    if (view.size - head < length) return StringForm::Truncated;
    view.skip(head);
    text = view.take_text(length);
    return StringForm::Read;
}

}  // namespace center
}  // namespace tyx
