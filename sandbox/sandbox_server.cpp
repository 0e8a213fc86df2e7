#include "sandbox_server.hpp"

#include "sandbox_listener.hpp"

namespace tyx::sandbox {

void SandboxSession::close() {
    std::error_code ignored;
    faults.end_hold();
    socket.shutdown(asio::socket_base::shutdown_both, ignored);
    socket.close(ignored);
}

SandboxServer::SandboxServer(SandboxLoop* shared)
    : own_loop_(shared != nullptr ? nullptr : std::make_unique<SandboxLoop>()),
      loop_(shared != nullptr ? shared : own_loop_.get()) {}

SandboxServer::~SandboxServer() = default;

void SandboxServer::start(const SandboxServerOptions& options, std::uint64_t fault_salt,
                          const std::function<void()>& prepare) {
    faults_ = std::make_unique<FaultInjector>(*loop_, options.faults, options.fault_seed, fault_salt);
    loop_->call([&] {
        if (prepare) prepare();
        listener_ = std::make_unique<SandboxListener>(
            *loop_, options.host, options.port, [this](SandboxStream s) { on_accept(std::move(s)); },
            options.tls);
        listener_->listen();
        faults_->attach(listener_.get(), [this](const std::function<void()>& closing) {
            for (auto& [id, session] : sessions_) {
                if (!session->is_open()) continue;
                closing();
                session->close();
            }
        });
    });
}

void SandboxServer::stop() {
    loop_->call([this] {
        faults_->detach();
        listener_.reset();
        for (auto& [id, session] : sessions_) session->close();
    });
    loop_->wait_until([this] { return idle(); }, std::chrono::seconds(30));
}

std::uint16_t SandboxServer::port() const {
    return listener_->port();
}

void SandboxServer::stop_listening() {
    loop_->call([this] { listener_->stop(); });
}

void SandboxServer::resume_listening() {
    loop_->call([this] { listener_->listen(); });
}

void SandboxServer::drop_all_connections() {
    loop_->call([this] {
        for (auto& [id, session] : sessions_) session->close();
    });
}

void SandboxServer::add_session(std::shared_ptr<SandboxSession> session) {
    const auto id = session->id;
    sessions_[id] = std::move(session);
    ++active_;
    loop_->notify_changed();
}

void SandboxServer::remove_session(ConnectionId id) {
    sessions_.erase(id);
    --active_;
    loop_->notify_changed();
}

}  // namespace tyx::sandbox
