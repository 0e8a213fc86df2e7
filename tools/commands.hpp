// The subcommands of `tyx`, each added to the application with its flags and its action. An
// action sets the exit status it ends with, or throws ToolError.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "clusters.hpp"

namespace tyx::tool {

// The flags that choose and reach a cluster, shared by every command that connects. A cluster
// named with --cluster comes from the clusters file (--clusters-file, else the file named by
// TYX_CLUSTERS); flags given explicitly override its settings.
class ConnectFlags {
public:
    void add_to(CLI::App& command);
    ClusterSettings settings() const;
    std::chrono::milliseconds connect_timeout() const;
    bool verbose() const { return verbose_; }
    bool stats() const { return stats_; }

private:
    ClusterSettings flags_;
    std::string cluster_;
    std::string clusters_file_;
    double connect_timeout_s_ = 10;
    bool verbose_ = false;
    bool stats_ = false;
    std::vector<std::pair<CLI::Option*, std::function<void(ClusterSettings&)>>> overrides_;
};

void add_sql_command(CLI::App& app, int& exit_code);
void add_publish_command(CLI::App& app, int& exit_code);
void add_subscribe_command(CLI::App& app, int& exit_code);
void add_upload_command(CLI::App& app, int& exit_code);
void add_sandbox_command(CLI::App& app, int& exit_code);
void add_demo_command(CLI::App& app, int& exit_code);

}  // namespace tyx::tool
