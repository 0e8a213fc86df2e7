#include "tool_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tyx::tool::test {

namespace {

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

ToolProcess::ToolProcess(const std::string& binary, const std::vector<std::string>& args,
                         const std::vector<std::string>& env)
    : start_(std::chrono::steady_clock::now()) {
    // A child that exits before reading its input must not end the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    // The child starts with no signal blocked, whatever the test runner's threads did.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);

    std::vector<std::string> arguments{binary};
    arguments.insert(arguments.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    environment.insert(environment.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);

    const int failed = posix_spawn(&pid_, binary.c_str(), &actions, &attributes, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (failed != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + binary);
    }
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
}

void ToolProcess::write_stdin_and_close(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const auto n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    close_fd(in_);
}

void ToolProcess::pump(std::chrono::steady_clock::time_point deadline, bool until_line) {
    while (out_ >= 0 || err_ >= 0) {
        if (until_line && out_buffer_.find('\n') != std::string::npos) return;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return;
        pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
        const int n = poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        int* fd_of[2] = {&out_, &err_};
        std::string* buffer_of[2] = {&out_buffer_, &err_buffer_};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char chunk[4096];
            const auto got = read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0)
                buffer_of[i]->append(chunk, static_cast<std::size_t>(got));
            else if (got == 0 || errno != EINTR)
                close_fd(*fd_of[i]);
        }
    }
}

std::optional<std::string> ToolProcess::read_line(std::chrono::milliseconds timeout) {
    pump(std::chrono::steady_clock::now() + timeout, true);
    const auto end = out_buffer_.find('\n');
    if (end == std::string::npos) return std::nullopt;
    std::string line = out_buffer_.substr(0, end);
    out_buffer_.erase(0, end + 1);
    return line;
}

void ToolProcess::close_stdout() {
    close_fd(out_);
}

void ToolProcess::send_signal(int signal) {
    if (pid_ > 0) kill(pid_, signal);
}

RunResult ToolProcess::finish(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    close_fd(in_);
    pump(deadline, false);
    RunResult result;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            status = -1;
            break;
        }
        // The outputs are closed, so the exit is a moment away; poll it briefly.
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    result.exit_code = status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = std::move(out_buffer_);
    result.err = std::move(err_buffer_);
    result.elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
    return result;
}

RunResult run_tool(const std::string& binary, const std::vector<std::string>& args, const std::string& input,
                   std::chrono::milliseconds timeout, const std::vector<std::string>& env) {
    ToolProcess process(binary, args, env);
    process.write_stdin_and_close(input);
    return process.finish(timeout);
}

}  // namespace tyx::tool::test
