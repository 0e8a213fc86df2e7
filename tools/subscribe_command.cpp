// tyx subscribe TABLE...: center updates as JSON lines until interrupted, --count or --timeout.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "commands.hpp"
#include "connection.hpp"
#include "field_values.hpp"
#include "signals.hpp"
#include "subscribe_output.hpp"
#include "table_output.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

struct SubscribeOptions {
    ConnectFlags connect;
    std::vector<std::string> tables;
    std::uint64_t count = 0;
    double timeout_s = 0;
};

// Whether whoever read standard output has gone (the end of a pipe closed, as `| head -1` does):
// seen without writing, so that a quiet table does not keep the command running for nothing.
bool output_closed() {
    pollfd p{STDOUT_FILENO, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLERR | POLLHUP)) != 0;
}

int run_subscribe(const SubscribeOptions& options) {
    // A write to a closed pipe then fails with EPIPE instead of ending the process by signal.
    std::signal(SIGPIPE, SIG_IGN);
    Connection connection(options.connect.settings(), {ServerKind::center}, options.connect.verbose(),
                          options.connect.stats());
    // --timeout bounds the whole command, so the wait for the servers too when it is shorter.
    auto connect_timeout = options.connect.connect_timeout();
    if (options.timeout_s > 0)
        connect_timeout = std::min(
            connect_timeout,
            std::chrono::milliseconds(static_cast<std::int64_t>(std::llround(options.timeout_s * 1000.0))));
    connection.wait_ready(connect_timeout);

    // Lines are written on the notification thread; the counter stops them at --count.
    struct Shared {
        std::mutex mutex;
        std::uint64_t printed = 0;
        bool closed = false;  // standard output is gone: the end, as when the count is reached
    };
    auto shared = std::make_shared<Shared>();
    const std::uint64_t limit = options.count;
    connection.set_update_handler(
        [shared, limit](const tyx::ClientListener::CenterIncrementalUpdate& update) {
            std::lock_guard lock(shared->mutex);
            if ((limit > 0 && shared->printed >= limit) || shared->closed) return;
            const std::string line = json_line(update_json(update)) + "\n";
            if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fflush(stdout) != 0) {
                shared->closed = true;
                return;
            }
            ++shared->printed;
        });
    connection.client().subscribe(connection.cluster(), options.tables, true);
    // From here on Ctrl-C is the normal end; before, it ends the command at once.
    handle_stop_signals_gracefully();

    const auto start = std::chrono::steady_clock::now();
    const auto timeout = std::chrono::milliseconds(static_cast<std::int64_t>(options.timeout_s * 1000.0));
    for (;;) {
        {
            std::lock_guard lock(shared->mutex);
            if ((limit > 0 && shared->printed >= limit) || shared->closed) return 0;
        }
        if (output_closed()) return 0;
        if (options.timeout_s > 0 && std::chrono::steady_clock::now() - start >= timeout) break;
        if (wait_for_stop(std::chrono::milliseconds(20))) return 0;
    }
    std::lock_guard lock(shared->mutex);
    if (limit > 0)
        throw ToolError("received " + std::to_string(shared->printed) + " of " + std::to_string(limit) +
                        " updates within " + seconds_text(timeout));
    return 0;
}

}  // namespace

void add_subscribe_command(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<SubscribeOptions>();
    auto* command = app.add_subcommand(
        "subscribe",
        "Print the updates of center tables as JSON lines (the snapshot first, then live changes); ends "
        "with status 0 on Ctrl-C, at --count, or when standard output is closed (as by | head)");
    command->add_option("tables", options->tables, "Tables to subscribe to")->required();
    command->add_option("-n,--count", options->count,
                        "Stop after this many updates (status 1 if the timeout comes first)");
    command->add_option("--timeout", options->timeout_s, "Stop after this many seconds")
        ->check(CLI::PositiveNumber);
    options->connect.add_to(*command);
    command->callback([options, &exit_code] { exit_code = run_subscribe(*options); });
}

}  // namespace tyx::tool
