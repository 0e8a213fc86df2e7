// tyx sandbox: the sandbox's relay, center and database servers in the foreground until Ctrl-C
// or SIGTERM. The first lines printed say where each server listens, one per server:
//   relay 127.0.0.1:7001
//   center 127.0.0.1:7002
//   database 127.0.0.1:7003
// so that scripts can start it on port 0 and read the ports chosen. With --faults the servers
// inject seeded random faults (drops, stalls, held or corrupted answers, refusals), and what
// they injected is printed when the sandbox stops. SIGUSR1 prints what each server has seen
// so far (connections, logins, lines, requests), and the faults injected.
#include <cstdio>
#include <memory>

#include "commands.hpp"
#include "sandbox.hpp"
#include "signals.hpp"
#include "tool_error.hpp"

namespace tyx::tool {

namespace {

struct SandboxCommandOptions {
    std::string host = "127.0.0.1";
    std::uint16_t relay_port = 7001;
    std::uint16_t center_port = 7002;
    std::uint16_t db_port = 7003;
    std::string sqlite = ":memory:";
    std::string tls_cert;
    std::string tls_key;
    std::string tls_key_password;
    std::string tls_client_ca;
    std::string db_user;
    std::string db_password;
    std::string faults;
};

int run_sandbox(const SandboxCommandOptions& options, const CLI::App& command) {
    handle_stop_signals_gracefully();
    tyx::sandbox::SandboxOptions sandbox_options;
    sandbox_options.host = options.host;
    sandbox_options.relay_port = options.relay_port;
    sandbox_options.center_port = options.center_port;
    sandbox_options.database_port = options.db_port;
    sandbox_options.sqlite_path = options.sqlite;
    if (command.count("--db-user") > 0) sandbox_options.database_user = options.db_user;
    if (command.count("--db-password") > 0) sandbox_options.database_password = options.db_password;
    try {
        sandbox_options.faults = tyx::sandbox::parse_fault_plan(options.faults);
    } catch (const std::invalid_argument& e) {
        throw ToolError(std::string("--faults: ") + e.what());
    }
    if (!options.tls_cert.empty())
        sandbox_options.tls = tyx::sandbox::SandboxTls{options.tls_cert, options.tls_key,
                                                       options.tls_key_password, options.tls_client_ca};
    std::unique_ptr<tyx::sandbox::Sandbox> sandbox;
    try {
        sandbox = std::make_unique<tyx::sandbox::Sandbox>(sandbox_options);
    } catch (const std::exception& e) {
        throw ToolError(std::string("cannot start the sandbox: ") + e.what());
    }
    // Set before the ports are printed, so that whoever read them may signal at once.
    on_report_signal([&sandbox, &sandbox_options] {
        std::printf("%s\n", sandbox->describe_counters().c_str());
        if (sandbox_options.faults.any())
            std::printf("faults injected: %s\n", sandbox->describe_fault_counts().c_str());
        std::fflush(stdout);
    });
    const char* tls = sandbox_options.tls ? " tls" : "";
    std::printf("relay %s:%u%s\n", options.host.c_str(), sandbox->relay_port(), tls);
    std::printf("center %s:%u%s\n", options.host.c_str(), sandbox->center_port(), tls);
    std::printf("database %s:%u%s\n", options.host.c_str(), sandbox->database_port(), tls);
    std::printf("sandbox ready, SQLite %s; Ctrl-C or SIGTERM stops it\n",
                options.sqlite == ":memory:" ? "in memory" : options.sqlite.c_str());
    if (sandbox_options.faults.any())
        std::printf("faults %s\n", tyx::sandbox::describe_faults(sandbox_options.faults).c_str());
    std::fflush(stdout);
    while (!wait_for_stop(std::chrono::hours(1))) {
    }
    on_report_signal(nullptr);
    const std::string injected = sandbox_options.faults.any() ? sandbox->describe_fault_counts() : "";
    sandbox.reset();
    if (!injected.empty()) std::printf("faults injected: %s\n", injected.c_str());
    std::printf("sandbox stopped\n");
    std::fflush(stdout);
    return 0;
}

}  // namespace

void add_sandbox_command(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<SandboxCommandOptions>();
    auto* command = app.add_subcommand(
        "sandbox", "Run a local relay, center and database (SQLite) on loopback until Ctrl-C or SIGTERM");
    command->add_option("--host", options->host, "Address to listen on")->capture_default_str();
    command->add_option("--relay-port", options->relay_port, "Relay port (0: any free port)")
        ->capture_default_str();
    command->add_option("--center-port", options->center_port, "Center port (0: any free port)")
        ->capture_default_str();
    command->add_option("--db-port", options->db_port, "Database port (0: any free port)")
        ->capture_default_str();
    command->add_option("--sqlite", options->sqlite, "SQLite database file (default: in memory)");
    auto* cert = command->add_option("--tls-cert", options->tls_cert, "PEM certificate chain: serve TLS only")
                     ->check(CLI::ExistingFile)
                     ->group("TLS");
    auto* key = command->add_option("--tls-key", options->tls_key, "PEM private key of the certificate")
                    ->check(CLI::ExistingFile)
                    ->group("TLS");
    cert->needs(key);
    key->needs(cert);
    command->add_option("--tls-key-password", options->tls_key_password, "Pass phrase of the key")
        ->needs(key)
        ->group("TLS");
    command
        ->add_option("--tls-client-ca", options->tls_client_ca,
                     "PEM certificates of the CAs whose client certificates are required")
        ->check(CLI::ExistingFile)
        ->needs(cert)
        ->group("TLS");
    command->add_option("--db-user", options->db_user, "Database user the logins must give");
    command->add_option("--db-password", options->db_password, "Database password the logins must give");
    command->add_option(
        "--faults", options->faults,
        "Seeded random faults the servers inject: parts separated by ';', each seed=N or "
        "KIND:SETTING,... with KIND relay, center, database or all and SETTING one of: "
        "drop=RATE (close a connection after reading a message), drop-every=DURATION (close every "
        "connection at random gaps of that mean), drop-after-bytes=N, drop-after-messages=N, "
        "stall=EVERY/LENGTH (stop reading), delay=RATE/DURATION (hold an answer), "
        "withhold=RATE (never answer), refuse=EVERY/LENGTH (refuse connections), "
        "truncate=RATE, garbage=RATE, cut=RATE (send part of an answer, then close). "
        "A RATE is a chance from 0 to 1; a DURATION a whole number with ms (the default), "
        "s, m or h (e.g. \"seed=7;relay:drop=0.001,stall=3s/200ms;database:stall=1h/1ms\")");
    command->callback([options, command, &exit_code] { exit_code = run_sandbox(*options, *command); });
}

}  // namespace tyx::tool
