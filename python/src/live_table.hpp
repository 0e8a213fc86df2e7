// The rows of a LiveTable (TyxClient.live_table): one center table kept in C++ by object id,
// written by a listener on the notification thread without the GIL and read by Python threads
// as consistent snapshots.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <tyx/client.hpp>

#include "updates.hpp"

namespace tyx::python {

// The key of a row: its object id, or its numeric id in decimal when it carries no object id.
std::string row_key(const Update& update);

// Rows by key, one column per field name in first-seen order; std::monostate stands for a
// null value and for a field a row never carried. Not synchronised: its owner locks.
class RowSet {
public:
    // An added or updated row merges its fields into the row of its key (created when absent);
    // a removed row is dropped; any other action is ignored.
    void apply(const Update& update);
    void clear() { *this = RowSet(); }

    std::size_t size() const { return keys_.size(); }
    const std::vector<std::string>& keys() const { return keys_; }
    const std::vector<std::string>& names() const { return names_; }
    const std::vector<std::vector<FieldValue>>& cells() const { return cells_; }

private:
    void merge(const Update& update);
    void remove(const std::string& key);
    // The column of each of `names`, added when new; the last list is remembered, since a
    // stream of one table repeats it.
    const std::vector<std::size_t>& columns_of(const std::vector<std::string>& names);

    std::vector<std::string> keys_;                      // slot -> key
    std::unordered_map<std::string, std::size_t> slots_;  // key -> slot
    std::vector<std::string> names_;                     // column -> field name
    std::unordered_map<std::string, std::size_t> columns_;
    std::vector<std::vector<FieldValue>> cells_;  // column -> slot -> value
    std::vector<std::string> last_names_;
    std::vector<std::size_t> last_columns_;
};

// One live table's state. The notification thread feeds it the center's events; Python threads
// read it. Every member takes the mutex.
//
// Snapshots: until the table's snapshot answer arrives (at first, and again after every lost
// center connection) rows go to a separate set that replaces the visible rows when the answer
// comes, so rows removed while the connection was down disappear and readers never see a
// snapshot half-applied. Rows delivered in a batch that ends before the answer came belong to an
// earlier subscription of the table (the center holds a resubscribed table's changes back until
// its answer) and are dropped with that batch.
class LiveTableState {
public:
    using Clock = std::chrono::steady_clock;

    void on_update(const Update& update);
    void on_snapshot_answered();
    void on_batch_end();
    void on_disconnect();
    // A copy of `other` (for a second live table of a table already kept).
    void copy_from(LiveTableState& other);

    // What to_pandas needs, copied under the lock.
    struct Copy {
        std::vector<std::string> keys;
        std::vector<std::string> names;
        std::vector<std::vector<FieldValue>> cells;
    };
    Copy copy();
    std::size_t size();
    std::uint64_t version();
    std::uint64_t changes();
    // What a wait ended with: its event, the deadline, or a release (see release()).
    enum class Woken { event, deadline, released };
    // Waits for the first snapshot answer until `deadline` (which the answer wins over a release).
    Woken wait_answered(Clock::time_point deadline);
    // Waits until changes() differs from `seen`, until `deadline`.
    Woken wait_change(std::uint64_t seen, Clock::time_point deadline);
    // Ends every wait, now and later, as released, `owner` ("the LiveTable", "the TyxClient")
    // being what was closed; the first owner told is kept.
    void release(const std::string& owner);
    std::string released_by();

private:
    template <typename Pred>
    Woken wait_until(std::unique_lock<std::mutex>& lock, Clock::time_point deadline, Pred pred);

    std::mutex mutex_;
    std::condition_variable changed_;
    RowSet rows_;
    RowSet incoming_;
    bool pending_ = true;   // waiting for a snapshot answer; rows go to incoming_
    bool answered_ = false;  // a first snapshot answer arrived
    std::uint64_t version_ = 0;  // updates applied
    std::uint64_t changes_ = 0;  // batches and answers seen
    std::optional<std::string> released_;  // what was closed, once a close ended the waits
};

}  // namespace tyx::python
