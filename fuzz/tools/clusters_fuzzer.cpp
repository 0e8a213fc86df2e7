// libFuzzer target for the clusters file. Every cluster read has the settings the flags would
// accept, and makes a tyx::Cluster with one shard of each kind.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "clusters.hpp"
#include "tool_error.hpp"

using namespace tyx::tool;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        for (const auto& [name, settings] : parse_clusters_file(text)) {
            if (settings.name != name) __builtin_trap();
            if (settings.query_timeout_s < 1 || settings.query_timeout_s > 86400) __builtin_trap();
            for (const auto kind : {ServerKind::relay, ServerKind::center, ServerKind::database})
                if (settings.port(kind).empty()) __builtin_trap();
            const tyx::Cluster cluster =
                make_cluster(settings, {ServerKind::relay, ServerKind::center, ServerKind::database});
            if (cluster.database_config.shards.size() != 1) __builtin_trap();
        }
    } catch (const ToolError&) {
    }
    return 0;
}
