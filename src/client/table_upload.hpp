// TableUpload: a Table's rows into the database table of the same name on every enabled shard
// of a cluster: sql_insert (a bulk insert) and sql_replace (a probe, then CREATE or DELETE, then
// the insert), blocking or in the background. Called on application threads; the background
// steps run on the multiplexer's control loop and report on its notification loop.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

#include "multiplex/tyx_client_multiplex.hpp"
#include "tyx/table.hpp"

namespace tyx {

class TableUpload {
public:
    explicit TableUpload(TyxClientMultiplex& multiplex) : multiplex_(multiplex) {}

    // `table` must be a Table; anything else is refused with a level-3 log.
    void sql_insert(std::string_view cluster_name, TableAccessor&& table);
    void sql_insert_async(std::string_view cluster_name, TableAccessor&& table,
                          std::function<void()> on_done);
    void sql_replace(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix);
    void sql_replace_async(std::string_view cluster_name, TableAccessor&& table, std::string_view suffix);
    // The three steps of sql_replace on the control loop, blocking nobody; `on_done` (may be
    // empty) runs once on the notification loop after the failures are logged.
    void sql_replace_in_background(std::string_view cluster_name, TableAccessor&& table,
                                   std::string_view suffix, std::function<void()> on_done);

private:
    // The Table behind `accessor`, or null (after a level-3 log naming `operation`).
    const Table* as_table(std::string_view cluster_name, const TableAccessor& accessor,
                          std::string_view operation);
    // What failed in one upload: the first failure of each shard, a request that threw or an
    // answer that carries the server's message.
    class UploadFailures {
    public:
        // `step` names a statement before the insert ("" for the insert itself).
        void add(const ShardAnswers& answers, std::string_view step = {});
        // One level-3 on_log naming the table and every failed shard's reason, if any failed.
        // `here`: delivered at once, on the notification loop (see log_here).
        void report(TyxClientMultiplex& multiplex, std::string_view cluster_name, std::string_view table,
                    bool here) const;

    private:
        std::map<std::size_t, std::string> by_shard_;
    };

    // Probe, then CREATE or DELETE; blocking, within the deadline counted from `started`.
    UploadFailures prepare_replace(std::string_view cluster_name, const Table& table, std::string_view suffix,
                                   SessionClock::time_point started);
    // Inserts in the background; `on_done` (may be empty) runs once on the notification loop,
    // after the failures of the preparation and the insert are logged.
    void insert_async(std::string_view cluster_name, const Table& table, UploadFailures failures,
                      std::function<void()> on_done);

    TyxClientMultiplex& multiplex_;
};

}  // namespace tyx
