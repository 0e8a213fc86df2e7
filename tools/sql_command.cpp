// tyx sql QUERY: one query, its result printed; a server error goes to stderr with status 1.
#include <iostream>
#include <memory>

#include "commands.hpp"
#include "connection.hpp"
#include "table_output.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

struct SqlOptions {
    ConnectFlags connect;
    std::string query;
    std::string format = "table";
};

int run_sql(const SqlOptions& options) {
    const auto format = table_format_named(options.format);
    Connection connection(options.connect.settings(), {ServerKind::database}, options.connect.verbose(),
                          options.connect.stats());
    connection.wait_ready(options.connect.connect_timeout());
    std::string error;
    connection.query(options.query, [&](const tyx::TableAccessor& result) {
        error = result.error_message();
        if (!error.empty()) return;
        write_table(result, *format, std::cout);
        if (*format != TableFormat::table && !result.has_result_set())
            std::cerr << "affected rows: " << result.affected_rows() << "\n";
    });
    std::cout.flush();
    if (!error.empty()) throw ToolError(error);
    return 0;
}

}  // namespace

void add_sql_command(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<SqlOptions>();
    auto* command = app.add_subcommand("sql", "Run an SQL query and print its result");
    command->add_option("query", options->query, "The SQL text")->required();
    command
        ->add_option("-f,--format", options->format,
                     "table (the default: aligned text), csv (a header, then one record per row) or jsonl "
                     "(also json: one JSON object per row)")
        ->check(CLI::IsMember({"table", "csv", "jsonl", "json"}))
        ->capture_default_str();
    options->connect.add_to(*command);
    command->callback([options, &exit_code] { exit_code = run_sql(*options); });
}

}  // namespace tyx::tool
