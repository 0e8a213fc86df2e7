// Queries and uploads of TyxClient: sql, sql_insert and sql_replace, in their blocking and
// *_async forms. Tables to upload are converted and copied with the GIL held before anything is
// sent.
#include "client_bindings.hpp"

#include "values.hpp"

namespace tyx::python {

namespace {

void check_table_name_use(py::handle table, py::handle table_name, const char* operation) {
    if (py::isinstance<Table>(table) && !table_name.is_none())
        throw py::type_error(std::string(operation) +
                             "(): table_name is taken from the Table; do not pass it");
}

void bind_sql(TyxClientClass& cls) {
    cls.def(
           "sql",
           [](PyTyxClient& c, const std::string& cluster_name, const std::string& query) {
               using Result = std::unique_ptr<TableAccessor>;
               return c.blocking<Result>(
                   "sql()", [&](Client& client) { return client.sql(cluster_name, query); },
                   [&](Client& client, const std::shared_ptr<Completion<Result>>& done) {
                       client.sql_async_owned(cluster_name, query, finisher(done));
                   });
           },
           py::arg("cluster_name"), py::arg("query"),
           R"doc(Runs the SQL text `query` on every database shard of the cluster and returns one
TableAccessor over all their results.

Blocks, with the GIL released, until every shard has answered or failed: at most
DatabaseConfig.query_timeout_ms plus one second from the call, whatever the connections are
doing (a failed attempt is retried once after reconnecting, within the same time); Ctrl-C
(KeyboardInterrupt) and close() (RuntimeError) end the wait, the query going on without a
reader. Nothing is raised for a failed query: error_message() says what failed, shard by shard ("[shard i]
text"), the database's own errors and the shards that timed out, lost their connection or could
not be reached; the rows of the shards that answered are still there, and a failed shard also
gives a level-3 on_log. A result with no rows and an empty error_message() is an empty result;
one with no rows and an error_message() is a failure. An unknown cluster gives a result over
zero rows whose error_message() says so.)doc")
        .def(
            "sql_async",
            [](py::object self, const std::string& cluster_name, const std::string& query,
               py::handle callback) {
                auto& c = self.cast<PyTyxClient&>();
                auto fn = callable_ref(callback, "the sql_async callback");
                c.client();
                c.bind_self(self);
                std::function<void(const TableAccessor&)> deliver = [core = c.core(), cluster_name,
                                                                     fn](const TableAccessor& result) {
                    if (interpreter_stopping()) return;
                    mark_library_thread();
                    try {
                        // The library's accessor lives for this call only: keep a copy (made
                        // without the GIL).
                        std::unique_ptr<TableAccessor> copy = result_snapshot(result);
                        py::gil_scoped_acquire gil;
                        try {
                            fn->get()(py::cast(std::move(copy)));
                        } catch (py::error_already_set& error) {
                            report_callback_error(*core, cluster_name, "sql_async callback", error);
                        }
                    } catch (const std::exception& error) {
                        report_cpp_error("sql_async callback", error);
                    }
                };
                c.call([&](Client& client) { client.sql_async(cluster_name, query, std::move(deliver)); });
            },
            py::arg("cluster_name"), py::arg("query"), py::arg("callback"),
            R"doc(As sql, without blocking: returns at once, and callback(result) runs later on the
notification thread, in order with the listener events, with the GIL held. `result` is a
TableAccessor that may be kept after the call. The callback runs exactly once, within the
deadline sql has: when the query fails (a timeout, a lost connection) or the client is closed
with the query in flight, `result` has no rows and error_message() says what failed, after a
level-3 on_log reporting it; an unknown cluster gives a result over zero rows, and a level-3
on_log. An exception raised by the callback is reported as Listener describes. Raises TypeError
when `callback` is not callable.)doc");
}

void bind_sql_insert(TyxClientClass& cls) {
    cls.def(
           "sql_insert",
           [](PyTyxClient& c, const std::string& cluster_name, py::handle table, py::handle table_name) {
               check_table_name_use(table, table_name, "sql_insert");
               Table t = to_table(table, table_name, "sql_insert");
               c.blocking<std::monostate>(
                   "sql_insert()", [&](Client& client) { client.sql_insert(cluster_name, std::move(t)); },
                   [&](Client& client, const Done& done) {
                       client.sql_insert_async(cluster_name, std::move(t), finisher(done));
                   });
           },
           py::arg("cluster_name"), py::arg("table"), py::arg("table_name") = py::none(),
           R"doc(Uploads `table` with one bulk insert per database shard of the cluster.

`table` is a Table (its own name is used; passing table_name raises TypeError), or a pandas
DataFrame or a dict of column names to arrays or sequences, with table_name=<str>. The columns
are converted and copied before anything is sent (the dtypes are in the module documentation;
TypeError for one that has no column type, OverflowError for a uint64 value above 2**63 - 1).
Missing values (pd.NA, None, NaN and pd.NaT in object columns, NaT, masked cells) are stored
as NULL; a NaN in a float column is stored as NaN. Blocks, with the GIL released, until every shard
has answered or failed (within the deadline sql has; Ctrl-C and close() end the wait, the upload
going on). Nothing is raised for a failed upload:
when any shard refuses it, times out or cannot be reached, one level-3 on_log says so ("Failed
to execute bulk insert: [shard i] reason (table name)").)doc")
        .def(
            "sql_insert_async",
            [](py::object self, const std::string& cluster_name, py::handle table, py::handle on_done,
               py::handle table_name) {
                auto& c = self.cast<PyTyxClient&>();
                check_table_name_use(table, table_name, "sql_insert_async");
                Table t = to_table(table, table_name, "sql_insert_async");
                if (on_done.is_none()) {
                    c.call([&](Client& client) { client.sql_insert_async(cluster_name, std::move(t)); });
                    return;
                }
                auto done = on_done_callback<>(self, cluster_name, on_done, "sql_insert_async on_done");
                c.call([&](Client& client) {
                    client.sql_insert_async(cluster_name, std::move(t), std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("on_done") = py::none(),
            py::arg("table_name") = py::none(),
            R"doc(As sql_insert, without blocking: the data is converted and copied, then the call
returns at once. on_done(), when given, runs later on the notification thread, in order with
the listener events, with the GIL held, exactly once, when every shard has answered or failed;
a failure is reported first by one level-3 on_log, as for sql_insert. Raises TypeError when
on_done is not callable.)doc");
}

void bind_sql_replace(TyxClientClass& cls) {
    cls.def(
           "sql_replace",
           [](PyTyxClient& c, const std::string& cluster_name, py::handle table, const std::string& suffix,
              py::handle table_name) {
               check_table_name_use(table, table_name, "sql_replace");
               Table t = to_table(table, table_name, "sql_replace");
               c.blocking<std::monostate>(
                   "sql_replace()",
                   [&](Client& client) { client.sql_replace(cluster_name, std::move(t), suffix); },
                   [&](Client& client, const Done& done) {
                       client.sql_replace_async(cluster_name, std::move(t), suffix, finisher(done));
                   });
           },
           py::arg("cluster_name"), py::arg("table"), py::arg("suffix") = "",
           py::arg("table_name") = py::none(),
           R"doc(Replaces the contents of a database table with `table` (given as for sql_insert).

Creates the table when no shard knows it (CREATE ... USE<suffix> InitialCapacity=n), else
empties it (DELETE), then inserts the rows. A suffix that is not empty brings its own leading
space. Blocks, with the GIL released, for all three steps, together within the deadline sql
has (Ctrl-C and close() end the wait, the steps going on). A failure of any step on any shard
gives one level-3 on_log, as for sql_insert.)doc")
        .def(
            "sql_replace_async",
            [](py::object self, const std::string& cluster_name, py::handle table, const std::string& suffix,
               py::handle table_name, py::handle on_done) {
                auto& c = self.cast<PyTyxClient&>();
                check_table_name_use(table, table_name, "sql_replace_async");
                Table t = to_table(table, table_name, "sql_replace_async");
                if (on_done.is_none()) {
                    c.call([&](Client& client) {
                        client.sql_replace_async(cluster_name, std::move(t), suffix);
                    });
                    return;
                }
                auto done = on_done_callback<>(self, cluster_name, on_done, "sql_replace_async on_done");
                c.call([&](Client& client) {
                    client.sql_replace_async(cluster_name, std::move(t), suffix, std::move(done));
                });
            },
            py::arg("cluster_name"), py::arg("table"), py::arg("suffix") = "",
            py::arg("table_name") = py::none(), py::kw_only(), py::arg("on_done") = py::none(),
            R"doc(As sql_replace without waiting for the insert.

Without on_done it blocks (with the GIL released) for the first step only, creating or emptying
the table, within the deadline sql has; the insert then goes on in the background, and a
failure of any step gives one level-3 on_log. With on_done (keyword only) it blocks for nothing:
the table is converted and copied, every step runs in the background, and on_done() runs once
all of them have finished or failed, after the failure's level-3 on_log; it runs as
add_cluster_async says. Raises TypeError when on_done is not callable.)doc");
}

}  // namespace

void bind_queries(TyxClientClass& cls) {
    bind_sql(cls);
    bind_sql_insert(cls);
    bind_sql_replace(cls);
}

}  // namespace tyx::python
