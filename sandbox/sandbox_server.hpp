// What every sandbox server shares: its loop (its own or a shared one), its fault injector, its
// listener, the registry of its connections and the way it goes down. A server derives from
// SandboxServer and keeps only its protocol. State lives on the loop; the public members may be
// called from any thread and wait for the loop (on the loop itself they run inline).
#pragma once

#include "sandbox_faults.hpp"
#include "sandbox_loop.hpp"
#include "sandbox_stream.hpp"
#include "sandbox_tls.hpp"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace tyx::sandbox {

class SandboxListener;

using ConnectionId = std::uint64_t;  // 1, 2, ... in accept order; 0 is never a connection

// The settings every server takes; each server's options add its own.
struct SandboxServerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;                        // 0: an ephemeral port, see SandboxServer::port
    std::optional<SandboxTls> tls = std::nullopt;  // TLS only, with this material, when set
    // Seeded random faults (sandbox_faults.hpp); none by default.
    FaultPlan faults = {};
    std::uint64_t fault_seed = 1;
};

// One accepted connection; each server's session adds what its protocol keeps.
struct SandboxSession {
    explicit SandboxSession(SandboxStream s) : socket(std::move(s)) {}
    virtual ~SandboxSession() = default;
    SandboxSession(const SandboxSession&) = delete;
    SandboxSession& operator=(const SandboxSession&) = delete;

    bool is_open() const { return socket.is_open(); }
    // Ends the connection both ways at once; an answer held by a fault is let go.
    virtual void close();

    ConnectionId id = 0;
    SandboxStream socket;
    FaultInjector::Connection faults;
};

class SandboxServer {
public:
    SandboxServer(const SandboxServer&) = delete;
    SandboxServer& operator=(const SandboxServer&) = delete;

    std::uint16_t port() const;
    SandboxLoop& loop() { return *loop_; }
    // The server's fault injector: its plan, triggers and counts.
    FaultInjector& faults() { return *faults_; }

    void stop_listening();
    void resume_listening();  // on the same port
    void drop_all_connections();

protected:
    // On a loop of its own when `shared` is null, else on `shared` (which must outlive it).
    explicit SandboxServer(SandboxLoop* shared);
    ~SandboxServer();

    // The end of each server's constructor, once everything on_accept uses exists: runs
    // `prepare` on the loop, then listens and attaches the fault injector. `fault_salt` tells
    // the servers' fault generators apart.
    void start(const SandboxServerOptions& options, std::uint64_t fault_salt,
               const std::function<void()>& prepare = {});
    // The start of each server's destructor, while the members its handlers use still exist:
    // stops listening, closes every connection and waits until `idle`.
    void stop();

    // A connection the listener handed over (on the loop).
    virtual void on_accept(SandboxStream socket) = 0;
    // True when no handler of the server is left to run.
    virtual bool idle() const { return active_ == 0; }

    // Registers an accepted session and counts it as active until `remove_session`.
    void add_session(std::shared_ptr<SandboxSession> session);
    void remove_session(ConnectionId id);

    std::unique_ptr<SandboxLoop> own_loop_;
    SandboxLoop* loop_;
    std::unique_ptr<FaultInjector> faults_;
    std::unique_ptr<SandboxListener> listener_;
    std::map<ConnectionId, std::shared_ptr<SandboxSession>> sessions_;
    std::size_t active_ = 0;  // sessions and other handlers of the server still to end
};

}  // namespace tyx::sandbox
