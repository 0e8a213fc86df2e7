// CenterEvents: the events a center session raises beyond every session's (see SessionEvents):
// its subscriptions, the rows it decoded, and the flow control between its reading and the
// listeners' pace. Center sessions run on the control loop; so do these calls.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "center/incremental_update.hpp"
#include "center/update_batch.hpp"
#include "core/session_events.hpp"
#include "core/session_monitor.hpp"

namespace tyx::center {

// A batch on its way to the listeners; it goes back to its pool when the event is destroyed,
// whether it was delivered or dropped. Counted as delivered once, before the first listener
// hears it: one that looks at health() after an update finds it counted.
struct DeliveredBatch {
    std::shared_ptr<UpdateBatchPool> pool;
    std::unique_ptr<UpdateBatch> batch;
    std::shared_ptr<SessionMonitor> monitor;
    bool counted = false;

    DeliveredBatch(std::shared_ptr<UpdateBatchPool> p, std::unique_ptr<UpdateBatch> b,
                   std::shared_ptr<SessionMonitor> m)
        : pool(std::move(p)), batch(std::move(b)), monitor(std::move(m)) {}
    DeliveredBatch(DeliveredBatch&&) noexcept = default;
    DeliveredBatch& operator=(DeliveredBatch&&) = delete;
    ~DeliveredBatch() {
        if (pool) pool->give_back(std::move(batch));
    }
    void count_once() {
        if (counted) return;
        counted = true;
        monitor->updates_delivered.fetch_add(batch->size(), std::memory_order_relaxed);
    }
};

// Rows a snapshot answer (or a table's first answer) released, with the tables it answered.
struct ReleasedUpdates {
    std::shared_ptr<SessionMonitor> monitor;
    std::vector<TyxCenterIncrementalUpdatePtr> updates;
    std::vector<std::string> answered;  // tables now live, for on_snapshot_answered
    bool counted = false;

    void count_once() {
        if (counted) return;
        counted = true;
        monitor->updates_delivered.fetch_add(updates.size(), std::memory_order_relaxed);
    }
};

class CenterEvents : public virtual SessionEvents {
public:
    // A snapshot request for `tables` was written (on_subscribe).
    virtual void subscribed(std::string_view client, std::vector<std::string> tables) = 0;
    // on_update for each row, on_snapshot_answered when tables were answered, then
    // on_update_batch_end when there were rows.
    virtual void updates_released(std::string_view client, ReleasedUpdates released) = 0;
    // on_update for each row of the batch, then on_update_batch_end. `payload_bytes`: the wire
    // bytes the rows came from, counted toward the listeners' queue until delivered.
    virtual void update_batch(DeliveredBatch delivered, std::size_t payload_bytes) = 0;

    // True while the rows waiting for the listeners reach the queue's limit: the session then
    // stops reading until it has drained to half.
    virtual bool updates_held_back() = 0;
    // The session started or ended holding back its reading.
    virtual void hold_reading(bool holding) = 0;
};

}  // namespace tyx::center
