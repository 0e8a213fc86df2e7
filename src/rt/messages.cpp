#include "rt/messages.hpp"

#include <algorithm>
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
        if (auto f = text_fault(field_names[i], false); f != TextFault::none)
            return refuse(MessageCheck::Part::field_name, f, i);
        const FieldValue& value = field_values[i];
        TextFault f = TextFault::none;
        switch (value.index()) {
            case 0:
                if (*std::get_if<0>(&value) == '\n') f = TextFault::line_feed;
                break;
            case 5:
                if (*std::get_if<5>(&value) > 0x7FFFFFFFu && check.wide_uint32 == MessageCheck::npos)
                    check.wide_uint32 = i;
                break;
            case 11:
                f = text_fault(*std::get_if<11>(&value), true);
                break;
            case 12: {
                const auto& bytes = *std::get_if<12>(&value);
                if (!bytes.empty() && std::memchr(bytes.data(), '\n', bytes.size()) != nullptr)
                    f = TextFault::line_feed;
                break;
            }
            default:
                break;
        }
        if (f != TextFault::none) return refuse(MessageCheck::Part::field_value, f, i);
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
    return part + (check.fault == TextFault::line_feed ? " holds a line feed" : " holds a double quote") +
           ", which the relay would not read back as written";
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
