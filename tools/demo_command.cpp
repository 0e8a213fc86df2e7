// tyx demo: a sandbox in this process on ephemeral ports and a short tour of what a Client does
// with it: publish, subscribe (snapshot, then live updates), query, upload.
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>

#include "commands.hpp"
#include "connection.hpp"
#include "field_values.hpp"
#include "sandbox.hpp"
#include "table_output.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

constexpr auto kWait = std::chrono::seconds(10);

// The updates the demo's subscriber has received, printed as they come.
class Updates {
public:
    void add(const tyx::ClientListener::CenterIncrementalUpdate& update) {
        static constexpr const char* kActions[] = {"?", "added", "updated", "removed"};
        std::string line = "     ";
        line += update.action <= 3 ? kActions[update.action] : "?";
        line.resize(14, ' ');
        line += update.table_name + " " + update.object_id + ":";
        for (std::size_t i = 0; i < update.field_names.size() && i < update.row_data.size(); ++i)
            line += " " + update.field_names[i] + "=" + json_line(field_value_to_json(update.row_data[i]));
        std::lock_guard lock(mutex_);
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        ++count_;
        changed_.notify_all();
    }
    void wait_for(std::size_t n) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, kWait, [&] { return count_ >= n; }))
            throw ToolError("the subscriber received " + std::to_string(count_) + " of " + std::to_string(n) +
                            " updates within " + seconds_text(kWait));
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t count_ = 0;
};

void print_query(Connection& connection, const std::string& sql) {
    std::string error;
    connection.query(sql, [&](const tyx::TableAccessor& result) {
        error = result.error_message();
        if (error.empty()) write_table(result, TableFormat::table, std::cout);
    });
    std::cout.flush();
    if (!error.empty()) throw ToolError(error);
}

void publish_order(Connection& connection, const std::string& id, std::int32_t qty, double px,
                   const char* side) {
    connection.client().publish_object(connection.cluster(), "Orders", id, {"qty", "px", "side"},
                                       {qty, px, std::string(side)});
}

int run_demo() {
    std::printf("tyx demo: a relay, a center and a database on loopback, and a Client using them.\n\n");
    tyx::sandbox::Sandbox sandbox;  // ephemeral ports, SQLite in memory
    ClusterSettings settings;
    settings.name = "demo";
    settings.relay_port = std::to_string(sandbox.relay_port());
    settings.center_port = std::to_string(sandbox.center_port());
    settings.db_port = std::to_string(sandbox.database_port());
    std::printf("1. Started a sandbox: relay on %s, center on %s, database on %s.\n",
                settings.endpoint(ServerKind::relay).c_str(), settings.endpoint(ServerKind::center).c_str(),
                settings.endpoint(ServerKind::database).c_str());

    Connection connection(settings, {ServerKind::relay, ServerKind::center, ServerKind::database}, false);
    connection.wait_ready(kWait);
    std::printf(
        "2. Connected a Client to the cluster \"demo\": its relay, center and database sessions are up.\n");

    publish_order(connection, "o-1", 10, 100.25, "B");
    publish_order(connection, "o-2", 20, 100.5, "S");
    publish_order(connection, "o-3", 30, 99.75, "B");
    if (!connection.wait_for_sent(3, kWait) || !sandbox.wait_until_stored(kWait))
        throw ToolError("the sandbox did not store the published orders");
    std::printf("3. Published three orders (type Orders, ids o-1 to o-3) with publish_object.\n");

    auto updates = std::make_shared<Updates>();
    connection.set_update_handler([updates](const auto& update) { updates->add(update); });
    std::printf("4. Subscribed to Orders: the current rows arrive first, as the table's snapshot:\n");
    std::fflush(stdout);
    connection.client().subscribe(connection.cluster(), std::vector<std::string>{"Orders"}, true);
    updates->wait_for(3);

    std::printf("5. Published a change to o-2 and a new order o-4: the subscriber gets them live:\n");
    std::fflush(stdout);
    publish_order(connection, "o-2", 25, 100.5, "S");
    publish_order(connection, "o-4", 40, 101.0, "S");
    updates->wait_for(5);

    const std::string orders = "SELECT id, qty, px, side FROM Orders ORDER BY id";
    std::printf("6. Queried the same rows with SQL (%s):\n", orders.c_str());
    std::fflush(stdout);
    print_query(connection, orders);

    tyx::Table prices("prices");
    prices.add_column("sym", std::vector<std::string>{"AAA", "BBB", "CCC"})
        .add_column("px", std::vector<double>{10.5, 20.25, 30.125})
        .add_column("lots", std::vector<std::int64_t>{1, 2, 3});
    connection.client().sql_replace(connection.cluster(), std::move(prices), "");
    std::printf("7. Uploaded a table \"prices\" built column by column (sql_replace), and read it back:\n");
    std::fflush(stdout);
    print_query(connection, "SELECT sym, px, lots FROM prices ORDER BY sym");

    std::printf(
        "\nDone. Next: run `tyx sandbox` in one terminal and try `tyx publish`, `tyx subscribe`, `tyx sql` "
        "and\n"
        "`tyx upload` in another (`tyx --help`); examples/ shows the same steps in C++.\n");
    return 0;
}

}  // namespace

void add_demo_command(CLI::App& app, int& exit_code) {
    auto* command = app.add_subcommand(
        "demo", "A short tour: publish, subscribe, query and upload on a built-in sandbox");
    command->callback([&exit_code] { exit_code = run_demo(); });
}

}  // namespace tyx::tool
