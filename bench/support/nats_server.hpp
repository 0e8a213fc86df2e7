// A nats-server child process on a free loopback port, for the peer benchmarks that measure the
// nats.c client beside the library. Started and stopped by the benchmark's thread; the helpers
// below are plain functions usable from any thread.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

namespace tyx::bench {

inline std::optional<std::string> find_nats_server() {
    // The Debian package installs it in /usr/sbin, which is not on every user's PATH.
    std::string dirs = std::getenv("PATH") ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/usr/local/sbin:/usr/local/bin:/usr/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const auto end = std::min(dirs.find(':', start), dirs.size());
        const std::string candidate = dirs.substr(start, end - start) + "/nats-server";
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return std::nullopt;
}

// A loopback port nobody listens on right now. Another process may take it before the server
// binds it; start() then fails and tries again with a new one.
inline std::uint16_t free_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    std::uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

inline bool accepts(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// One nats-server child process on 127.0.0.1, stopped (and reaped) by the destructor. Lives on
// the benchmark's thread.
class NatsServerProcess {
public:
    NatsServerProcess() = default;
    ~NatsServerProcess() { stop(); }
    NatsServerProcess(const NatsServerProcess&) = delete;
    NatsServerProcess& operator=(const NatsServerProcess&) = delete;

    // Starts the server and waits until it accepts connections; false when it never did.
    bool start(const std::string& binary) {
        using namespace std::chrono_literals;
        for (int attempt = 0; attempt < 3; ++attempt) {
            port_ = free_loopback_port();
            if (port_ == 0) continue;
            const std::string port_text = std::to_string(port_);
            pid_ = fork();
            if (pid_ < 0) return false;
            if (pid_ == 0) {
                // Only async-signal-safe calls until exec: the parent has threads.
                prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a benchmark that crashed
                const int null = open("/dev/null", O_RDWR);
                dup2(null, STDIN_FILENO);
                dup2(null, STDOUT_FILENO);
                dup2(null, STDERR_FILENO);
                execl(binary.c_str(), binary.c_str(), "-a", "127.0.0.1", "-p", port_text.c_str(),
                      static_cast<char*>(nullptr));
                _exit(127);
            }
            const auto deadline = std::chrono::steady_clock::now() + 5s;
            while (std::chrono::steady_clock::now() < deadline) {
                if (accepts(port_)) return true;
                int status = 0;
                if (waitpid(pid_, &status, WNOHANG) == pid_) {
                    pid_ = -1;  // exited, most likely because the port was taken meanwhile
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            stop();
        }
        return false;
    }

    void stop() {
        using namespace std::chrono_literals;
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(10ms);
        }
        pid_ = -1;
    }

    std::uint16_t port() const { return port_; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

}  // namespace tyx::bench
