// The peer beside which publish_bench.cpp measures the library: the nats.c client publishing the
// worked object line, byte for byte, as the payload of messages on a subject nobody subscribes
// to, to a nats-server this benchmark starts on a free loopback port and stops at the end. The
// last iteration flushes (a round trip to the server), so the count is what the server took in.
#include <benchmark/benchmark.h>
#include <nats/nats.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "client/worked_object.hpp"

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kBatch = 1000;

std::optional<std::string> find_nats_server() {
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
std::uint16_t free_loopback_port() {
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

bool accepts(std::uint16_t port) {
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
    ~NatsServerProcess() { stop(); }

    // Starts the server and waits until it accepts connections; false when it never did.
    bool start(const std::string& binary) {
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

private:
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
};

void BM_PeerPublish(benchmark::State& state) {
    const auto binary = find_nats_server();
    if (!binary) {
        state.SkipWithError("nats-server not found (scripts/install-bench-deps installs it)");
        return;
    }
    NatsServerProcess server;
    if (!server.start(*binary)) {
        state.SkipWithError("nats-server did not start accepting on loopback within 5 s");
        return;
    }
    const std::string line = tyx::bench::worked_line();
    const std::string url = "nats://127.0.0.1:" + std::to_string(server.port());
    natsOptions* options = nullptr;
    natsConnection* connection = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK) s = natsOptions_SetURL(options, url.c_str());
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(options, false);
    if (s == NATS_OK) s = natsConnection_Connect(&connection, options);
    if (s != NATS_OK) {
        natsOptions_Destroy(options);
        state.SkipWithError(natsStatus_GetText(s));
        return;
    }
    std::uint64_t sent = 0;
    natsStatus failure = NATS_OK;
    auto left = state.max_iterations;
    for (auto _ : state) {
        for (std::int64_t i = 0; i < kBatch; ++i) {
            s = natsConnection_Publish(connection, "bench.order", line.data(), static_cast<int>(line.size()));
            if (s != NATS_OK) failure = s;
        }
        sent += kBatch;
        if (--left == 0) {
            s = natsConnection_FlushTimeout(connection, 60000);
            if (s != NATS_OK) failure = s;
        }
    }
    natsConnection_Destroy(connection);
    natsOptions_Destroy(options);
    if (failure != NATS_OK) {
        state.SkipWithError(natsStatus_GetText(failure));
        return;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}
BENCHMARK(BM_PeerPublish)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace
