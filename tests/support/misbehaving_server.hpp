// Small servers that misbehave the way real networks and servers do, each on an ephemeral
// 127.0.0.1 port with its own thread: one that accepts and says nothing (to plain and TLS clients
// alike: a TLS client waits for a server hello that never comes), one that sends a line that never
// ends, one that sends a given line over and over, and a port whose accept queue is full, where a
// connection attempt neither succeeds nor fails. Each reads and drops what clients write.
#pragma once

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tyx::test {

class MisbehavingServer {
public:
    enum class Mode {
        silent,        // accepts, reads, never writes
        endless_line,  // writes bytes without a line feed for as long as the client reads
        repeat_line,   // writes `line` `repeat` times, then stays silent
    };

    explicit MisbehavingServer(Mode mode, std::string line = {}, std::size_t repeat = 0)
        : mode_(mode),
          line_(std::move(line)),
          repeat_(repeat),
          acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}) {
        asio::co_spawn(io_, accept_loop(), asio::detached);
        thread_ = std::thread([this] { io_.run(); });
    }
    ~MisbehavingServer() {
        io_.stop();
        thread_.join();
        std::error_code ignored;
        acceptor_.close(ignored);
        for (auto& p : peers_) p->close(ignored);
    }
    MisbehavingServer(const MisbehavingServer&) = delete;
    MisbehavingServer& operator=(const MisbehavingServer&) = delete;

    std::string port() const { return std::to_string(port_); }
    std::size_t accepted() const { return accepted_.load(); }

private:
    asio::awaitable<void> accept_loop() {
        for (;;) {
            auto peer = std::make_shared<asio::ip::tcp::socket>(io_);
            std::error_code ec;
            co_await acceptor_.async_accept(*peer, asio::redirect_error(asio::use_awaitable, ec));
            if (ec) co_return;
            peers_.push_back(peer);
            ++accepted_;
            asio::co_spawn(io_, drain(peer), asio::detached);
            if (mode_ != Mode::silent) asio::co_spawn(io_, talk(peer), asio::detached);
        }
    }
    static asio::awaitable<void> drain(std::shared_ptr<asio::ip::tcp::socket> peer) {
        std::vector<char> bytes(64 * 1024);
        std::error_code ec;
        while (!ec)
            co_await peer->async_read_some(asio::buffer(bytes),
                                           asio::redirect_error(asio::use_awaitable, ec));
    }
    asio::awaitable<void> talk(std::shared_ptr<asio::ip::tcp::socket> peer) {
        std::error_code ec;
        if (mode_ == Mode::endless_line) {
            const std::string piece(64 * 1024, 'x');
            while (!ec)
                co_await asio::async_write(*peer, asio::buffer(piece),
                                           asio::redirect_error(asio::use_awaitable, ec));
            co_return;
        }
        // Many copies per write, so that a flood is quick to send.
        std::string batch;
        for (int i = 0; i < 256; ++i) batch += line_;
        for (std::size_t sent = 0; sent < repeat_ && !ec; sent += 256)
            co_await asio::async_write(*peer, asio::buffer(batch),
                                       asio::redirect_error(asio::use_awaitable, ec));
    }

    const Mode mode_;
    const std::string line_;
    const std::size_t repeat_;
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_{io_.get_executor()};
    asio::ip::tcp::acceptor acceptor_;
    const unsigned short port_ = acceptor_.local_endpoint().port();
    std::vector<std::shared_ptr<asio::ip::tcp::socket>> peers_;  // the server's thread only
    std::atomic<std::size_t> accepted_{0};
    std::thread thread_;
};

// A 127.0.0.1 port whose listener never accepts and whose accept queue is full: the kernel
// drops further connection requests, so a client's connect waits (as for a black-holed host).
class FullBacklog {
public:
    FullBacklog() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 0);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        // Fill the queue: connect until one attempt stays pending.
        for (int i = 0; i < 16; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
            fillers_.push_back(fd);
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            pollfd p{fd, POLLOUT, 0};
            if (::poll(&p, 1, 200) == 0) break;
        }
    }
    ~FullBacklog() {
        for (int fd : fillers_) ::close(fd);
        ::close(listener_);
    }
    FullBacklog(const FullBacklog&) = delete;
    FullBacklog& operator=(const FullBacklog&) = delete;

    std::string port() const { return std::to_string(port_); }

private:
    int listener_ = -1;
    unsigned short port_ = 0;
    std::vector<int> fillers_;
};

// A 127.0.0.1 port nothing listens on: connections are refused.
inline std::string refused_port() {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    return std::to_string(acceptor.local_endpoint().port());
}

}  // namespace tyx::test
