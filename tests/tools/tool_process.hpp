// Runs the built `tyx` binary from tests: one command to completion with its output captured,
// or a long-running one (the sandbox, a subscriber) read line by line. Every wait has a deadline;
// a process still running when its handle goes away is killed.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace tyx::tool::test {

struct RunResult {
    int exit_code = -1;  // -1 when killed at the deadline or by a signal
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

class ToolProcess {
public:
    // Starts `binary` with `args`; `env` entries ("NAME=value") are added to the environment.
    ToolProcess(const std::string& binary, const std::vector<std::string>& args,
                const std::vector<std::string>& env = {});
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Writes to the process's standard input, then closes it.
    void write_stdin_and_close(const std::string& text);
    // The next line of standard output, without its line feed; nothing at end of output or at
    // the deadline.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout);
    void send_signal(int signal);
    // Closes the reading end of its standard output, as a reader that has seen enough does.
    void close_stdout();
    // Reads both outputs to their end and waits for the exit; kills the process at the deadline.
    RunResult finish(std::chrono::milliseconds timeout);

private:
    void pump(std::chrono::steady_clock::time_point deadline, bool until_line);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    int err_ = -1;
    std::string out_buffer_;
    std::string err_buffer_;
    std::chrono::steady_clock::time_point start_;
};

RunResult run_tool(const std::string& binary, const std::vector<std::string>& args,
                   const std::string& input = "",
                   std::chrono::milliseconds timeout = std::chrono::seconds(20),
                   const std::vector<std::string>& env = {});

}  // namespace tyx::tool::test
