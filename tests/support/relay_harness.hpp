// One relay session on the test's loop for the relay session tests: over the scripted network,
// or in real time over real sockets to a sandbox relay, with what it wrote read back as lines.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "relay_server.hpp"
#include "rt/tyx_client_relay.hpp"
#include "support/scripted_socket.hpp"

namespace tyx::test {

// One relay session of cluster "alpha" on the test's loop, over the scripted network or, given
// `endpoints`, in real time over real sockets.
struct RelayScript : ScriptedSession<TyxClientRelay> {
    explicit RelayScript(PublicationConfig config = {"0", false, "feedA",
                                                     PublicationConfig::ENABLE_SEND_SEQNUM},
                         std::vector<Endpoint> endpoints = {}, bool listening = true)
        : ScriptedSession(listening) {
        real_time = !endpoints.empty();
        if (!real_time) endpoints = {{"relay", "7200"}};
        client = std::make_unique<TyxClientRelay>(
            recorder, "alpha", std::move(endpoints), std::move(config), io,
            real_time ? make_socket_factory(io, false, SslOptions{}) : network.factory());
    }
    // Everything published so far has been written.
    bool all_written() {
        return run([&] { return client->logged_in() && client->kept_messages() == 0; });
    }

    // The lines written on connection `i`, without their line feeds.
    std::vector<std::string> lines(std::size_t i) const {
        std::vector<std::string> out;
        std::string current;
        for (const std::uint8_t c : network.written(i)) {
            if (c != '\n') {
                current += static_cast<char>(c);
                continue;
            }
            out.push_back(std::move(current));
            current.clear();
        }
        return out;
    }
    // The ids of the object messages written on connection `i`, in order.
    std::vector<std::string> ids(std::size_t i) const {
        std::vector<std::string> out;
        for (const auto& l : lines(i)) {
            const auto at = l.find("I=\"o-");
            if (l.rfind("O", 0) == 0 && at != std::string::npos)
                out.push_back(l.substr(at + 3, l.find('"', at + 3) - at - 3));
        }
        return out;
    }
    std::vector<std::string> events(std::string_view prefix = {}) { return heard().with_prefix(prefix); }
};

inline std::vector<Endpoint> sandbox_endpoint(const sandbox::RelayServer& server) {
    return {Endpoint{"127.0.0.1", std::to_string(server.port())}};
}

}  // namespace tyx::test
