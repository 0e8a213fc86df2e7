#include "rt/messages.hpp"

#include <algorithm>

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

void write_object_message(Message& message, std::string_view object_type, std::string_view object_id,
                          const std::vector<std::string>& field_names, const std::vector<FieldValue>& field_values,
                          std::int64_t seqnum, std::int64_t expires_on_ms) {
    begin_message(message, 'O', seqnum, false);
    append_object_fields(message, object_type, object_id, field_names, field_values, expires_on_ms);
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
