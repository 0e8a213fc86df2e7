#include "rt/messages.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "core/log_text.hpp"

namespace tyx::rt {
namespace {

MessagePtr make_session_message(char type, const PublicationConfig& config, std::int64_t seqnum) {
    const bool with_seqnum = (config.options & PublicationConfig::ENABLE_SEND_SEQNUM) != 0;
    const bool with_time = (config.options & PublicationConfig::ENABLE_SEND_TIMESTAMPS) != 0;
    return make_message(type, with_seqnum ? seqnum : 0, with_time);
}

void append_option_words(Message& m, std::int32_t options) {
    struct Word {
        std::int32_t bit;
        std::string_view text;
    };
    static constexpr Word kWords[] = {
        {PublicationConfig::ENABLE_QUIET, "QUIET"},   {PublicationConfig::LOG_MESSAGES, "LOG"},
        {PublicationConfig::UNIX_MODE, "UNIX"},       {PublicationConfig::WINDOWS_MODE, "WINDOWS"},
        {PublicationConfig::TTY, "TTY"},
    };
    bool any = false;
    for (const auto& w : kWords) {
        if ((options & w.bit) == 0) continue;
        m.append_raw(any ? "," : "|O=\"");
        m.append_raw(w.text);
        any = true;
    }
    if (any) m.append_char('"');
}

}  // namespace

TextFault text_fault(std::string_view text, bool quoted) {
    if (text.empty()) return TextFault::none;
    const void* line_feed = std::memchr(text.data(), '\n', text.size());
    const void* quote = quoted ? std::memchr(text.data(), '"', text.size()) : nullptr;
    if (line_feed == nullptr && quote == nullptr) return TextFault::none;
    if (quote == nullptr || (line_feed != nullptr && line_feed < quote)) return TextFault::line_feed;
    return TextFault::double_quote;
}

namespace {
// The first of the bytes `set` in `text`, by kind.
TextFault first_fault(std::string_view text, std::string_view set) {
    const auto at = text.find_first_of(set);
    if (at == std::string_view::npos) return TextFault::none;
    switch (text[at]) {
        case '\n':
            return TextFault::line_feed;
        case '"':
            return TextFault::double_quote;
        case '|':
            return TextFault::bar;
        default:
            return TextFault::equals_sign;
    }
}
}  // namespace

TextFault field_name_fault(std::string_view name) {
    if (name.empty()) return TextFault::empty_name;
    if (reserved_field_name(name)) return TextFault::reserved_name;
    return first_fault(name, "\n|=\"");
}

TextFault field_value_fault(const FieldValue& value) {
    switch (value.index()) {
        case 0:
            return first_fault(std::string_view(std::get_if<0>(&value), 1), "\n|\"");
        case 9:
            return std::isfinite(*std::get_if<9>(&value)) ? TextFault::none : TextFault::not_finite;
        case 10:
            return std::isfinite(*std::get_if<10>(&value)) ? TextFault::none : TextFault::not_finite;
        case 11:
            return text_fault(*std::get_if<11>(&value), true);
        case 12: {
            const auto& bytes = *std::get_if<12>(&value);
            const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            if (const auto f = first_fault(text, "\n|"); f != TextFault::none) return f;
            return !text.empty() && text.front() == '"' ? TextFault::leading_quote : TextFault::none;
        }
        default:
            return TextFault::none;
    }
}

MessageCheck check_object_message(std::string_view object_type, std::string_view object_id,
                                  const std::vector<std::string>& field_names,
                                  const std::vector<FieldValue>& field_values) {
    MessageCheck check;
    auto refuse = [&check](MessageCheck::Part part, TextFault fault, std::size_t field = 0) {
        check.part = part;
        check.fault = fault;
        check.field = field;
        return check;
    };
    if (auto f = text_fault(object_type, true); f != TextFault::none)
        return refuse(MessageCheck::Part::object_type, f);
    if (auto f = text_fault(object_id, true); f != TextFault::none)
        return refuse(MessageCheck::Part::object_id, f);
    const std::size_t n = std::min(field_names.size(), field_values.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (auto f = field_name_fault(field_names[i]); f != TextFault::none)
            return refuse(MessageCheck::Part::field_name, f, i);
        const FieldValue& value = field_values[i];
        if (const auto* wide = std::get_if<std::uint32_t>(&value);
            wide != nullptr && *wide > 0x7FFFFFFFu && check.wide_uint32 == MessageCheck::npos)
            check.wide_uint32 = i;
        if (auto f = field_value_fault(value); f != TextFault::none)
            return refuse(MessageCheck::Part::field_value, f, i);
    }
    return check;
}

MessageCheck check_remove_message(std::string_view object_id, std::string_view object_type) {
    MessageCheck check;
    if (auto f = text_fault(object_id, true); f != TextFault::none) {
        check.part = MessageCheck::Part::object_id;
        check.fault = f;
    } else if (auto g = text_fault(object_type, true); g != TextFault::none) {
        check.part = MessageCheck::Part::object_type;
        check.fault = g;
    }
    return check;
}

std::string describe_object(std::string_view object_type, std::string_view object_id) {
    return "type " + log_quoted(object_type) + ", id " + log_quoted(object_id);
}

std::string describe_refusal(const MessageCheck& check, const std::vector<std::string>& field_names) {
    std::string part;
    switch (check.part) {
        case MessageCheck::Part::none:
            return {};
        case MessageCheck::Part::object_type:
            part = "the object type";
            break;
        case MessageCheck::Part::object_id:
            part = "the object id";
            break;
        case MessageCheck::Part::field_name:
            part = "the name of field " + log_quoted(field_names.at(check.field));
            break;
        case MessageCheck::Part::field_value:
            part = "the value of field " + log_quoted(field_names.at(check.field));
            break;
    }
    std::string what;
    switch (check.fault) {
        case TextFault::none:
        case TextFault::line_feed:
            what = " holds a line feed";
            break;
        case TextFault::double_quote:
            what = " holds a double quote";
            break;
        case TextFault::bar:
            what = " holds a |";
            break;
        case TextFault::equals_sign:
            what = " holds an =";
            break;
        case TextFault::leading_quote:
            what = " begins with a double quote";
            break;
        case TextFault::empty_name:
            return "the name of the field at index " + std::to_string(check.field) +
                   " is empty, which the relay would not read back as written";
        case TextFault::reserved_name:
            what =
                " is reserved (T, I and E are the type, the id and the expiry; id in any case is the id "
                "column)";
            break;
        case TextFault::not_finite:
            what = " is not a finite number";
            break;
    }
    return part + what + ", which the relay would not read back as written";
}

std::string describe_wide_uint32(const MessageCheck& check, const std::vector<std::string>& field_names,
                                 const std::vector<FieldValue>& field_values) {
    std::string names;
    std::size_t wide = 0;
    const std::size_t n = std::min(field_names.size(), field_values.size());
    for (std::size_t i = check.wide_uint32; i < n; ++i) {
        const auto* v = std::get_if<std::uint32_t>(&field_values[i]);
        if (v == nullptr || *v <= 0x7FFFFFFFu) continue;
        names += (wide++ == 0 ? "" : ", ") + log_quoted(field_names[i]);
    }
    const bool one = wide == 1;
    return std::string(one ? "Field " : "Fields ") + names +
           (one ? " holds an unsigned 32-bit value" : " hold unsigned 32-bit values") +
           " above 2147483647, which the relay reads as a negative 32-bit Integer; publish " +
           (one ? "it as a 64-bit integer" : "them as 64-bit integers");
}

MessagePtr make_login_message(const PublicationConfig& config, std::int64_t seqnum) {
    MessagePtr m = make_session_message('L', config, seqnum);
    m->append_field("I", std::string_view(config.login_id));
    append_option_words(*m, config.options);
    m->finish_line();
    return m;
}

MessagePtr make_logout_message(const PublicationConfig& config, std::int64_t seqnum) {
    MessagePtr m = make_session_message('X', config, seqnum);
    m->finish_line();
    return m;
}

MessagePtr make_object_message(std::string_view object_type, std::string_view object_id,
                               const std::vector<std::string>& field_names,
                               const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                               std::int64_t expires_on_ms) {
    MessagePtr m = MessagePool::instance().acquire('\0');
    write_object_message(*m, object_type, object_id, field_names, field_values, seqnum, expires_on_ms);
    return m;
}

ObjectNotes write_object_message(Message& message, std::string_view object_type, std::string_view object_id,
                                 const std::vector<std::string>& field_names,
                                 const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                                 std::int64_t expires_on_ms) {
    begin_message(message, 'O', seqnum, false);
    return append_object_fields(message, object_type, object_id, field_names, field_values, expires_on_ms);
}

std::string serialize_object(std::string_view object_type, std::string_view object_id,
                             const std::vector<std::string>& field_names,
                             const std::vector<FieldValue>& field_values, std::int64_t seqnum,
                             std::int64_t expires_on_ms) {
    return make_object_message(object_type, object_id, field_names, field_values, seqnum, expires_on_ms)->text();
}

MessagePtr make_remove_message(std::string_view object_id, std::string_view object_type, std::int64_t seqnum) {
    MessagePtr m = MessagePool::instance().acquire('\0');
    write_remove_message(*m, object_id, object_type, seqnum);
    return m;
}

void write_remove_message(Message& message, std::string_view object_id, std::string_view object_type,
                          std::int64_t seqnum) {
    begin_message(message, 'D', seqnum, false);
    message.append_field("I", object_id);
    message.append_field("T", object_type);
    message.finish_line();
}

MessagePtr make_raw_message(std::string_view text) {
    MessagePtr m = MessagePool::instance().acquire('\0');
    m->append_raw(text);
    return m;
}

}  // namespace tyx::rt
