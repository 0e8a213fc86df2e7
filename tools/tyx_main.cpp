// tyx: the library's command-line tool. Each subcommand is one file of this directory.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>

#include <CLI/CLI.hpp>

#include "commands.hpp"
#include "signals.hpp"
#include "tool_error.hpp"

namespace {

// A command that gave up on a deadline may leave the library's threads running (see
// Connection::abandon): the process ends without running static destructors under them.
[[noreturn]] void fail(const char* text, int exit_code) {
    std::cout.flush();
    std::fflush(stdout);
    std::fprintf(stderr, "tyx: %s\n", text);
    std::fflush(stderr);
    std::_Exit(exit_code);
}

}  // namespace

int main(int argc, char** argv) {
    // Before any thread exists, so that all of them inherit the blocked signals.
    tyx::tool::block_stop_signals();
    tyx::tool::watch_stop_signals();

    CLI::App app("tyx: publish, subscribe, query and upload to a cluster, or run a local sandbox", "tyx");
    app.require_subcommand(1);
    app.set_version_flag("--version", "tyx 0.1.0");
    int exit_code = 0;
    tyx::tool::add_sandbox_command(app, exit_code);
    tyx::tool::add_sql_command(app, exit_code);
    tyx::tool::add_publish_command(app, exit_code);
    tyx::tool::add_subscribe_command(app, exit_code);
    tyx::tool::add_upload_command(app, exit_code);
    tyx::tool::add_demo_command(app, exit_code);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    } catch (const tyx::tool::ToolError& e) {
        fail(e.what(), e.exit_code());
    } catch (const std::exception& e) {
        fail(e.what(), 1);
    }
    return exit_code;
}
