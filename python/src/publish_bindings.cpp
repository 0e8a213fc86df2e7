// Publishing calls of TyxClient: objects, removals and raw texts, the relay's commands, and
// flush. They run on the calling thread with the GIL released (publish_frame and remove_frame,
// the column-wise forms, are in frame_publish.cpp).
#include "client_bindings.hpp"

#include <tyx/commands.hpp>

#include "values.hpp"

namespace tyx::python {

namespace {

void bind_object_calls(TyxClientClass& cls) {
    cls.def(
           "publish_object",
           [](PyTyxClient& c, const std::string& cluster_name, const std::string& object_type,
              const std::string& object_id, py::handle fields, py::handle values, std::int64_t seqnum,
              std::int64_t expires_on_ms) {
               std::vector<std::string> names;
               std::vector<FieldValue> field_values;
               to_fields(fields, values, names, field_values);
               // Raised here, as publish_frame raises, where the C++ call would only log.
               if (std::string refusal = Client::object_refusal(object_type, object_id, names, field_values);
                   !refusal.empty())
                   throw py::value_error("publish_object(): " + refusal);
               c.call([&](Client& client) {
                   client.publish_object(cluster_name, object_type, object_id, names, field_values, seqnum,
                                         expires_on_ms);
               });
           },
           py::arg("cluster_name"), py::arg("object_type"), py::arg("object_id"),
           py::arg("fields") = py::none(), py::arg("values") = py::none(), py::arg("seqnum") = 0,
           py::arg("expires_on_ms") = 0,
           R"doc(Publishes one object of type `object_type` and identifier `object_id` (none when empty)
to the relay shards of the cluster `cluster_name`.

`fields` is a dict of field names to values, or a list of names with `values` a list of the
same length (the value types are in the module documentation). `seqnum` is written when
positive, `expires_on_ms` when not 0. Raises TypeError, ValueError or OverflowError for fields
it cannot convert; an unknown cluster is ignored without a report.

The relay text has no escaping, so what the relay could not read back as written raises
ValueError naming the part at fault, and nothing is sent: a line feed or a double quote in the
type, the id or a str value; a field name that is empty, reserved (T, I, E, and id in any case)
or holds a line feed, |, = or a double quote; a char value with a line feed, | or a double
quote; a bytes value with a line feed or |, or beginning with a double quote; a float that is
NaN or infinite. For example: 'publish_object(): the value of field "text" holds a line feed,
which the relay would not read back as written (type "Note", id "n1")'.

Runs on the calling thread with the GIL released: the message goes into each chosen shard's
buffer (through the distribution function, when the cluster has one) and the call returns,
unless the buffer is full with the drop_newest policy, where it waits up to
PublicationConfig.full_buffer_block_ms. Messages published from one thread reach each shard in
call order.)doc")
        .def(
            "serialize_object",
            [](PyTyxClient& c, const std::string& object_type, const std::string& object_id,
               py::handle fields, py::handle values, std::int64_t seqnum, std::int64_t expires_on_ms) {
                std::vector<std::string> names;
                std::vector<FieldValue> field_values;
                to_fields(fields, values, names, field_values);
                std::string text = c.call([&](Client& client) {
                    return client.serialize_object(object_type, object_id, names, field_values, seqnum,
                                                   expires_on_ms);
                });
                return to_str(text);
            },
            py::arg("object_type"), py::arg("object_id"), py::arg("fields") = py::none(),
            py::arg("values") = py::none(), py::arg("seqnum") = 0, py::arg("expires_on_ms") = 0,
            R"doc(The exact text publish_object would send for these arguments, as a str (bytes that are not
UTF-8 as surrogate escapes); sends nothing and returns at once. Raises as publish_object does for
fields it cannot convert; for an object publish_object refuses with ValueError it returns ''.)doc")
        .def(
            "publish_raw",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& text) {
                c.call([&](Client& client) { client.publish_raw(cluster_name, text); });
            },
            py::arg("cluster_name"), py::arg("text"),
            R"doc(Sends `text` (a str, written as UTF-8, or bytes) unchanged to the relay shards of the
cluster; no line feed is added. Runs and returns as publish_object does.)doc")
        .def(
            "remove_object",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& object_id,
               const std::string& object_type, std::int64_t seqnum) {
                if (std::string refusal = Client::removal_refusal(object_id, object_type); !refusal.empty())
                    throw py::value_error("remove_object(): " + refusal);
                c.call([&](Client& client) {
                    client.remove_object(cluster_name, object_id, object_type, seqnum);
                });
            },
            py::arg("cluster_name"), py::arg("object_id"), py::arg("object_type"), py::arg("seqnum") = 0,
            R"doc(Publishes the removal of an object. Note the order: identifier, then type. `seqnum` is
written when positive. Runs and returns as publish_object does; an id or a type holding a line
feed or a double quote raises ValueError naming it, and nothing is sent.)doc");
}

void bind_command_calls(TyxClientClass& cls) {
    cls.def(
           "register_command",
           [](PyTyxClient& c, const std::string& cluster_name, const CommandDefinition& command) {
               CommandDefinition copy = command;
               c.call([&](Client& client) { client.register_command(cluster_name, copy); });
           },
           py::arg("cluster_name"), py::arg("command"),
           R"doc(Registers `command` (a CommandDefinition) with the cluster's relays. A user invoking it
arrives as Listener.on_command; answer with send_command_response. Runs and returns as
publish_object does.)doc")
        .def(
            "send_command_response",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& request_id,
               std::int32_t status, const std::string& message, const std::string& script) {
                c.call([&](Client& client) {
                    client.send_command_response(cluster_name, request_id, status, message, script);
                });
            },
            py::arg("cluster_name"), py::arg("request_id"), py::arg("status"), py::arg("message"),
            py::arg("script") = "",
            R"doc(Answers the command request `request_id` (from Listener.on_command) with an integer
status, a message and an optional script. Runs and returns as publish_object does.)doc")
        .def(
            "send_command_help",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& request_id,
               const std::string& help_text) {
                c.call(
                    [&](Client& client) { client.send_command_help(cluster_name, request_id, help_text); });
            },
            py::arg("cluster_name"), py::arg("request_id"), py::arg("help_text"),
            R"doc(Sends `help_text` as the answer to the command request `request_id`. Runs and returns as
publish_object does.)doc")
        .def(
            "pause_commands",
            [](PyTyxClient& c, const std::string& cluster_name, std::int32_t delay_ms) {
                c.call([&](Client& client) { client.pause_commands(cluster_name, delay_ms); });
            },
            py::arg("cluster_name"), py::arg("delay_ms"),
            R"doc(Writes the pause message for commands, with `delay_ms` in milliseconds. Runs and returns as
publish_object does.)doc");
}

void bind_flush(TyxClientClass& cls) {
    cls.def(
           "flush",
           [](PyTyxClient& c, double timeout, std::optional<std::string> cluster_name) {
               const auto ms = timeout_ms(timeout);
               return c.blocking<std::size_t>(
                   "flush()",
                   [&](Client& client) {
                       return cluster_name ? client.flush(*cluster_name, ms) : client.flush(ms);
                   },
                   [&](Client& client, const std::shared_ptr<Completion<std::size_t>>& done) {
                       if (cluster_name)
                           client.flush_async(*cluster_name, ms, finisher(done));
                       else
                           client.flush_async(ms, finisher(done));
                   });
           },
           py::arg("timeout") = 10.0, py::arg("cluster_name") = py::none(),
           R"doc(Waits until every message published before the call (to every relay shard, or to those of
`cluster_name`) has been received by its relay's host, which acknowledged it over TCP, or until
`timeout` seconds have passed. Returns how many of those messages are still not delivered:
0 when all are. The GIL is released while it waits; Ctrl-C (KeyboardInterrupt) and close()
(RuntimeError) end the wait. Raises ValueError for a negative timeout. A message the relay's host never acknowledged is written again after a
reconnection; one dropped by the full-buffer policy or replaced by conflation is not waited
for. Call it before relying on what was published, for instance before querying it.)doc")
        .def(
            "flush_async",
            [](py::object self, py::handle on_done, double timeout, std::optional<std::string> cluster_name) {
                const auto ms = timeout_ms(timeout);
                auto done = on_done_callback<std::size_t>(self, cluster_name.value_or(std::string()), on_done,
                                                          "flush_async on_done");
                self.cast<PyTyxClient&>().call([&](Client& client) {
                    if (cluster_name)
                        client.flush_async(*cluster_name, ms, std::move(done));
                    else
                        client.flush_async(ms, std::move(done));
                });
            },
            py::arg("on_done"), py::arg("timeout") = 10.0, py::arg("cluster_name") = py::none(),
            R"doc(As flush without blocking any thread: waits for the messages published before this call,
then on_done(left) runs with the number flush would have returned (0: all delivered). A client
closed meanwhile ends the wait at once with what is left then. Raises ValueError for a negative
timeout; runs its callback as add_cluster_async says.)doc");
}

}  // namespace

void bind_command_definition(py::module_& m) {
    py::class_<CommandDefinition>(
        m, "CommandDefinition",
        R"doc(A command the application offers to users, for TyxClient.register_command.

Each field is written under the letter its documentation names (strings other than command_id
and name only when not empty). Every constructor argument is optional and sets the field of the
same name.)doc")
        .def(py::init([](std::string command_id, std::string name, std::string where_clause, std::string help,
                         std::string arguments_json, std::string enabled_expression, std::string style,
                         std::string select_mode, std::string fields, std::string filter_clause,
                         std::string conditions, std::string script, std::int32_t permission_level,
                         std::int32_t priority) {
                 return CommandDefinition{
                     command_id,         name,   where_clause,     help,    arguments_json,
                     enabled_expression, style,  select_mode,      fields,  filter_clause,
                     conditions,         script, permission_level, priority};
             }),
             py::arg("command_id") = "", py::arg("name") = "", py::arg("where_clause") = "",
             py::arg("help") = "", py::arg("arguments_json") = "", py::arg("enabled_expression") = "",
             py::arg("style") = "", py::arg("select_mode") = "", py::arg("fields") = "",
             py::arg("filter_clause") = "", py::arg("conditions") = "", py::arg("script") = "",
             py::arg("permission_level") = 0, py::arg("priority") = 0,
             "Each argument sets the field of the same name.")
        .def_readwrite("command_id", &CommandDefinition::command_id,
                       "I: the application's own identifier of the command.")
        .def_readwrite("name", &CommandDefinition::name, "N: the name users see and invoke.")
        .def_readwrite("where_clause", &CommandDefinition::where_clause,
                       "W: which objects the command applies to.")
        .def_readwrite("help", &CommandDefinition::help, "H: one-line help shown to users.")
        .def_readwrite("arguments_json", &CommandDefinition::arguments_json,
                       "A: the arguments the command takes, as JSON.")
        .def_readwrite("enabled_expression", &CommandDefinition::enabled_expression,
                       "E: when the command is offered.")
        .def_readwrite("style", &CommandDefinition::style, "Y: presentation hint.")
        .def_readwrite("select_mode", &CommandDefinition::select_mode,
                       "S: how objects are selected (for example \"single\", \"multi\").")
        .def_readwrite("fields", &CommandDefinition::fields, "F: fields shown with the command.")
        .def_readwrite("filter_clause", &CommandDefinition::filter_clause,
                       "R: further filtering of the objects.")
        .def_readwrite("conditions", &CommandDefinition::conditions, "K: conditions checked before running.")
        .def_readwrite("script", &CommandDefinition::script, "X: script run by the platform.")
        .def_readwrite("permission_level", &CommandDefinition::permission_level,
                       "P: lowest permission level allowed to invoke it (int).")
        .def_readwrite("priority", &CommandDefinition::priority,
                       "O: ordering among the application's commands (int).");
}

void bind_publishing(TyxClientClass& cls) {
    bind_object_calls(cls);
    bind_command_calls(cls);
    bind_flush(cls);
}

}  // namespace tyx::python
