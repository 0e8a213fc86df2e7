// A blocking loopback TCP client for the sandbox tests, on plain POSIX sockets so that the
// sandbox servers are exercised without any of the library's own transport. Every read waits
// with a deadline. Owned and used by one test thread.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tyx::test {

class SandboxTestSocket {
public:
    // Non-zero buffer sizes are set before the connection is made (and end the kernel's own
    // sizing of that buffer).
    explicit SandboxTestSocket(std::uint16_t port, int receive_buffer = 0, int send_buffer = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd_ < 0) throw std::runtime_error("socket failed");
        if (receive_buffer > 0)
            ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        if (send_buffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            throw std::runtime_error("connect failed");
        }
        int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~SandboxTestSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    SandboxTestSocket(const SandboxTestSocket&) = delete;
    SandboxTestSocket& operator=(const SandboxTestSocket&) = delete;

    // False when a connection to `port` is refused.
    static bool can_connect(std::uint16_t port) {
        try {
            SandboxTestSocket s(port);
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
    void write(const std::vector<std::uint8_t>& bytes) { write(bytes.data(), bytes.size()); }
    void write(const void* data, std::size_t size) {
        const auto* p = static_cast<const char*>(data);
        while (size > 0) {
            auto n = ::send(fd_, p, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error("send failed");
            p += n;
            size -= static_cast<std::size_t>(n);
        }
    }

    // Reads exactly `n` bytes; nullopt when the peer closed or the deadline passed first.
    std::optional<std::vector<std::uint8_t>> read_exact(
        std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        while (buffer_.size() < n)
            if (!fill(timeout)) return std::nullopt;
        std::vector<std::uint8_t> out(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(n));
        return out;
    }

    // Reads one line including its line feed; nullopt on close or deadline.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        for (;;) {
            for (std::size_t i = 0; i < buffer_.size(); ++i) {
                if (buffer_[i] == '\n') {
                    std::string line(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(i + 1));
                    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(i + 1));
                    return line;
                }
            }
            if (!fill(timeout)) return std::nullopt;
        }
    }

    // True when the peer closes the connection before the deadline (buffered bytes are dropped).
    bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            char tmp[4096];
            auto n = ::recv(fd_, tmp, sizeof tmp, 0);
            if (n <= 0) return true;
        }
    }

    // True when nothing arrives within `window` (used only to check that no answer is sent).
    bool quiet_for(std::chrono::milliseconds window) {
        if (!buffer_.empty()) return false;
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(window.count())) == 0;
    }

private:
    bool fill(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
        char tmp[65536];
        auto n = ::recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return false;
        buffer_.insert(buffer_.end(), tmp, tmp + n);
        return true;
    }

    int fd_ = -1;
    std::vector<std::uint8_t> buffer_;
};

}  // namespace tyx::test
