// Subscriptions of TyxClient: the records they take and return, and subscribe, unsubscribe and
// get_table_schema in their blocking and *_async forms (TyxClient.live_table is in live_table.cpp).
#include "client_bindings.hpp"

namespace tyx::python {

namespace {

// The table names (or subscription records) of subscribe and unsubscribe.
struct TableList {
    std::vector<std::string> names;
    std::vector<CenterSubscription> subscriptions;
};

TableList table_list(py::handle tables, const char* operation, bool records_allowed) {
    TableList out;
    if (PyUnicode_Check(tables.ptr())) {
        out.names.push_back(from_str(tables));
        return out;
    }
    const std::string expected =
        records_allowed ? "a str, a list of str or a list of CenterSubscription" : "a str or a list of str";
    if (!py::isinstance<py::iterable>(tables))
        throw py::type_error(std::string(operation) + "() expects " + expected + ", not '" +
                             type_name(tables) + "'");
    for (py::handle t : tables) {
        if (PyUnicode_Check(t.ptr()) && out.subscriptions.empty()) {
            out.names.push_back(from_str(t));
        } else if (records_allowed && py::isinstance<CenterSubscription>(t) && out.names.empty()) {
            out.subscriptions.push_back(t.cast<CenterSubscription>());
        } else {
            throw py::type_error(std::string(operation) + "() expects " + expected +
                                 "; found an item of type '" + type_name(t) + "'");
        }
    }
    return out;
}

void bind_subscription_calls(TyxClientClass& cls) {
    cls.def(
           "subscribe",
           [](PyTyxClient& c, const std::string& cluster_name, py::handle tables, bool wait) {
               TableList list = table_list(tables, "subscribe", true);
               auto direct = [&](bool waiting) {
                   return [&, waiting](Client& client) {
                       if (!list.subscriptions.empty())
                           client.subscribe(cluster_name, std::move(list.subscriptions), waiting);
                       else
                           client.subscribe(cluster_name, std::move(list.names), waiting);
                   };
               };
               if (!wait) return c.call(direct(false));
               c.blocking<std::monostate>("subscribe()", direct(true), [&](Client& client, const Done& done) {
                   if (!list.subscriptions.empty())
                       client.subscribe_async(cluster_name, std::move(list.subscriptions), finisher(done));
                   else
                       client.subscribe_async(cluster_name, std::move(list.names), finisher(done));
               });
           },
           py::arg("cluster_name"), py::arg("tables"), py::arg("wait") = true,
           R"doc(Subscribes to center tables on every center shard of the cluster.

`tables` is a table name, a list of names or a list of CenterSubscription records (not a mix).
Each table's snapshot arrives as Listener.on_update events, then every later change; a center
session announces each request it writes with on_subscribe, and requests every subscribed
table again after a reconnection. wait=True blocks, with the GIL released, until every center
shard has answered for the tables (a table subscribed before and not yet answered included), or
until the cluster's SubscriptionConfig.snapshot_timeout_ms has passed, with a level-3 on_log
naming the shards that did not answer (the subscription stays); removing the cluster ends the
wait too, and Ctrl-C and close() end it as the class documentation says. wait=False returns at
once.
Raises TypeError for other kinds of `tables`; an unknown cluster gives a level-3 on_log.)doc")
        .def(
            "unsubscribe",
            [](PyTyxClient& c, const std::string& cluster_name, py::handle tables, bool wait) {
                TableList list = table_list(tables, "unsubscribe", false);
                if (!wait)
                    return c.call([&](Client& client) {
                        client.unsubscribe(cluster_name, std::move(list.names), false);
                    });
                c.blocking<std::monostate>(
                    "unsubscribe()",
                    [&](Client& client) { client.unsubscribe(cluster_name, std::move(list.names), true); },
                    [&](Client& client, const Done& done) {
                        client.unsubscribe_async(cluster_name, std::move(list.names), finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("wait") = true,
            R"doc(Ends the subscriptions to `tables` (a table name or a list of names) on every center shard.

wait=True blocks, with the GIL released, until every center session has taken the request (it
does not wait for the network; Ctrl-C and close() end the wait); wait=False returns at once. Raises TypeError for other kinds of
`tables`.)doc")
        .def(
            "get_table_schema",
            [](PyTyxClient& c, const std::string& cluster_name, const std::string& table_name) {
                using Schema = std::optional<CenterTableSchema>;
                return c.blocking<Schema>(
                    "get_table_schema()",
                    [&](Client& client) { return client.get_table_schema(cluster_name, table_name); },
                    [&](Client& client, const std::shared_ptr<Completion<Schema>>& done) {
                        client.get_table_schema_async(cluster_name, table_name, finisher(done));
                    });
            },
            py::arg("cluster_name"), py::arg("table_name"),
            R"doc(The CenterTableSchema of the subscribed table `table_name`, as the lowest-numbered center
shard that has it announced it; None when no shard has one (the table is not subscribed, its
snapshot has not arrived yet, or the cluster is unknown). Blocks, with the GIL released, only
until the control thread has looked it up: it never waits for the network (Ctrl-C and close()
end the wait).)doc");
}

void bind_subscription_async_calls(TyxClientClass& cls) {
    cls.def(
           "subscribe_async",
           [](py::object self, const std::string& cluster_name, py::handle tables, py::handle on_done) {
               TableList list = table_list(tables, "subscribe_async", true);
               auto done = on_done_callback<>(self, cluster_name, on_done, "subscribe_async on_done");
               self.cast<PyTyxClient&>().call([&](Client& client) {
                   if (!list.subscriptions.empty())
                       client.subscribe_async(cluster_name, std::move(list.subscriptions), std::move(done));
                   else
                       client.subscribe_async(cluster_name, std::move(list.names), std::move(done));
               });
           },
           py::arg("cluster_name"), py::arg("tables"), py::arg("on_done"),
           R"doc(As subscribe(cluster_name, tables, wait=True) without blocking; `tables` as subscribe takes
them. on_done() runs once every center shard has answered for the tables, or after the cluster's
SubscriptionConfig.snapshot_timeout_ms, after the level-3 on_log naming the shards that did not
answer (the subscription stays). Runs its callback as add_cluster_async says.)doc")
        .def(
            "unsubscribe_async",
            [](py::object self, const std::string& cluster_name, py::handle tables, py::handle on_done) {
                TableList list = table_list(tables, "unsubscribe_async", false);
                auto done = on_done_callback<>(self, cluster_name, on_done, "unsubscribe_async on_done");
                self.cast<PyTyxClient&>().call([&](Client& client) {
                    client.unsubscribe_async(cluster_name, std::move(list.names), std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("tables"), py::arg("on_done"),
            R"doc(As unsubscribe(cluster_name, tables, wait=True) without blocking: on_done() runs once every
center session has taken the request. Runs its callback as add_cluster_async says.)doc")
        .def(
            "get_table_schema_async",
            [](py::object self, const std::string& cluster_name, const std::string& table_name,
               py::handle on_done) {
                auto done = on_done_callback<std::optional<CenterTableSchema>>(
                    self, cluster_name, on_done, "get_table_schema_async on_done");
                self.cast<PyTyxClient&>().call([&](Client& client) {
                    client.get_table_schema_async(cluster_name, table_name, std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table_name"), py::arg("on_done"),
            R"doc(As get_table_schema without blocking: on_done(schema) runs with the CenterTableSchema, or
None where get_table_schema gives None. Runs its callback as add_cluster_async says.)doc");
}

}  // namespace

void bind_subscription_records(py::module_& m) {
    py::class_<CenterSubscription>(
        m, "CenterSubscription",
        "One table to subscribe to (TyxClient.subscribe), with two lists of str and a flag\n"
        "carried to the center unchanged.")
        .def(py::init([](std::string table_name, std::vector<std::string> first_list,
                         std::vector<std::string> second_list, bool flag) {
                 return CenterSubscription{std::move(table_name), std::move(first_list),
                                           std::move(second_list), flag};
             }),
             py::arg("table_name"), py::arg("first_list") = std::vector<std::string>{},
             py::arg("second_list") = std::vector<std::string>{}, py::arg("flag") = false,
             "Each argument sets the field of the same name; the lists are lists of str.")
        .def_readwrite("table_name", &CenterSubscription::table_name, "The table to subscribe to.")
        .def_readwrite("first_list", &CenterSubscription::first_list,
                       "A list of str, sent as position 2 (reading gives a copy: assign a new list).")
        .def_readwrite("second_list", &CenterSubscription::second_list,
                       "A list of str, sent as position 4 (reading gives a copy: assign a new list).")
        .def_readwrite("flag", &CenterSubscription::flag, "Sent as position 3.");

    py::class_<CenterColumnSchema>(m, "CenterColumnSchema",
                                   "One column of a center table, as the center announced it.")
        .def_property_readonly(
            "name", [](const CenterColumnSchema& c) { return to_str(c.name); }, "The column's name.")
        .def_readonly("type", &CenterColumnSchema::type, "The column's type code, as received (int).")
        .def_readonly("flags", &CenterColumnSchema::flags, "The column's flags, as received (int).")
        .def("__repr__", [](const CenterColumnSchema& c) {
            return "CenterColumnSchema(" + py::repr(to_str(c.name)).cast<std::string>() +
                   ", type=" + std::to_string(c.type) + ", flags=" + std::to_string(c.flags) + ")";
        });
    py::class_<CenterTableSchema>(m, "CenterTableSchema",
                                  "One center table's schema, as TyxClient.get_table_schema returns it.")
        .def_readonly("kind", &CenterTableSchema::kind, "The table's kind, as received (int).")
        .def_readonly("columns", &CenterTableSchema::columns,
                      "A list of CenterColumnSchema, in the order announced.");
}

void bind_subscriptions(TyxClientClass& cls) {
    bind_subscription_calls(cls);
    bind_subscription_async_calls(cls);
}

}  // namespace tyx::python
