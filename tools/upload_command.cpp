// tyx upload FILE.csv --table NAME [--replace]: a CSV file into a database table, in batches. A
// failure the library reports ends the upload; the table's row count is then checked as well.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>

#include "commands.hpp"
#include "connection.hpp"
#include "csv.hpp"
#include "progress.hpp"
#include "table_output.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

struct UploadOptions {
    ConnectFlags connect;
    std::string file;
    std::string table;
    std::string suffix;
    bool replace = false;
    std::size_t batch_rows = 50000;
};

// The table's row count summed over the database shards; throws with the server's message when
// the count cannot be had (for example because the table does not exist).
std::int64_t count_rows(Connection& connection, const std::string& table) {
    std::int64_t total = 0;
    std::string error;
    connection.query("SELECT COUNT(*) FROM `" + table + "`", [&](const tyx::TableAccessor& result) {
        error = result.error_message();
        if (!error.empty() || result.columns().empty()) return;
        const auto rows = static_cast<std::size_t>(std::max<std::int64_t>(result.row_count(), 0));
        for (std::size_t r = 0; r < rows; ++r) {
            std::int64_t n = 0;
            const std::string text = cell_text(result.columns().front(), r);
            if (!text.empty()) n = std::stoll(text);
            total += n;
        }
    });
    if (!error.empty()) throw ToolError(error);
    return total;
}

int run_upload(const UploadOptions& options) {
    if (options.table.empty() || options.table.find('`') != std::string::npos)
        throw ToolError("the table name must not be empty nor hold a backquote");
    std::ifstream in(options.file, std::ios::binary);
    if (!in) throw ToolError("cannot read " + options.file);
    std::error_code no_size;
    const auto file_bytes = std::filesystem::file_size(options.file, no_size);
    Progress reading;
    const CsvData data = read_csv(in, [&](std::size_t records) {
        reading.update([&] {
            std::string text = "reading " + options.file + ": " + std::to_string(records) + " rows";
            const auto at = in.tellg();
            if (!no_size && file_bytes > 0 && at >= 0)
                text += " (" + std::to_string(static_cast<std::uintmax_t>(at) * 100 / file_bytes) + " %)";
            return text;
        });
    });
    reading.clear();
    const std::size_t rows = data.row_count();
    std::string columns;
    for (std::size_t c = 0; c < data.names.size(); ++c)
        columns += (c ? ", " : "") + data.names[c] + " " + column_type_name(data.types[c]);
    std::printf("read %zu rows from %s: %s\n", rows, options.file.c_str(), columns.c_str());
    std::fflush(stdout);

    // What the library would refuse is said first, before a count of a table that cannot exist.
    if (const std::string refusal =
            data.to_table(options.table, 0, std::min<std::size_t>(rows, 1)).upload_refusal();
        !refusal.empty())
        throw ToolError(refusal);

    Connection connection(options.connect.settings(), {ServerKind::database}, options.connect.verbose(),
                          options.connect.stats());
    connection.wait_ready(options.connect.connect_timeout());
    auto& client = connection.client();

    std::int64_t before = 0;
    if (!options.replace) {
        try {
            before = count_rows(connection, options.table);
        } catch (const ToolError& e) {
            throw ToolError(std::string(e.what()) +
                            " (an insert needs an existing table; --replace creates one)");
        }
    }
    const auto start = std::chrono::steady_clock::now();
    Progress progress;
    std::size_t done = 0;
    // A replace with no rows still empties (or creates) the table: one batch goes even then.
    for (bool first = true; done < rows || (first && options.replace); first = false) {
        const std::size_t n = std::min(options.batch_rows, rows - done);
        tyx::Table batch = data.to_table(options.table, done, n);
        if (options.replace && first)
            client.sql_replace(connection.cluster(), std::move(batch), options.suffix);
        else
            client.sql_insert(connection.cluster(), std::move(batch));
        if (std::string failure = connection.take_upload_failure(); !failure.empty())
            throw ToolError(failure + " (" + std::to_string(done) + " of " + std::to_string(rows) +
                            " rows were sent before)");
        done += n;
        progress.update([&] {
            return "uploaded " + std::to_string(done) + " of " + std::to_string(rows) + " rows (" +
                   rate_text(done, std::chrono::steady_clock::now() - start) + ")";
        });
    }
    progress.clear();

    // The count's answer is delivered after any failure reported for the last batch.
    std::int64_t after = 0;
    try {
        after = count_rows(connection, options.table);
    } catch (const ToolError&) {
        if (std::string failure = connection.take_upload_failure(); !failure.empty()) throw ToolError(failure);
        throw;
    }
    if (std::string failure = connection.take_upload_failure(); !failure.empty()) throw ToolError(failure);
    const auto expected = before + static_cast<std::int64_t>(rows);
    if (after != expected)
        throw ToolError("the table " + options.table + " has " + std::to_string(after) +
                        " rows after the upload, not " + std::to_string(expected) +
                        ": the database refused some of them");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string what = options.replace
                                 ? "replaced the rows of " + options.table + " with " + std::to_string(rows)
                                 : "inserted " + std::to_string(rows) + " rows into " + options.table;
    std::printf("%s in %.3f s (%s); the table has %lld rows\n", what.c_str(),
                std::chrono::duration<double>(elapsed).count(), rate_text(rows, elapsed).c_str(),
                static_cast<long long>(after));
    return 0;
}

}  // namespace

void add_upload_command(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<UploadOptions>();
    auto* command = app.add_subcommand(
        "upload", "Upload a CSV file (with a header) to a database table; column types are inferred");
    command->add_option("file", options->file, "The CSV file")->required();
    command->add_option("-t,--table", options->table, "The table to upload to")->required();
    command->add_flag("--replace", options->replace, "Create the table, or empty it, before inserting");
    command->add_option("--suffix", options->suffix,
                        "Text placed after USE in the CREATE statement of --replace");
    command->add_option("--batch-rows", options->batch_rows, "Rows per bulk insert")
        ->check(CLI::Range(std::size_t{1}, std::size_t{10000000}))
        ->capture_default_str();
    options->connect.add_to(*command);
    command->callback([options, &exit_code] { exit_code = run_upload(*options); });
}

}  // namespace tyx::tool
