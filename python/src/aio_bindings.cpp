// The update source behind tyx_client.aio's update streams: a listener of one TyxClient that
// keeps, without the GIL, only the updates some stream wants (by center session and table), and
// hands each stream its share of every received frame, converted apart (GIL held), so that a
// stream's batch is what a listener of its tables alone would get. It runs on the library's
// notification thread. The library cannot remove a listener, so once no stream is left it stays
// registered and costs one look at an atomic flag per update.
#include <atomic>
#include <cstdint>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "bindings.hpp"
#include "py_support.hpp"
#include "updates.hpp"

namespace tyx::python {

namespace {

// What one stream wants: the tables of one center session ("<cluster>-center"), under the key
// its batches are delivered with.
struct Wanted {
    std::int64_t key = 0;
    std::string session;
    std::set<std::string, std::less<>> tables;
};

class AioUpdateSource final : public ClientListener {
public:
    AioUpdateSource(bool frames, std::shared_ptr<PyRef> deliver, std::shared_ptr<PyRef> update_class)
        : frames_(frames), deliver_(std::move(deliver)), update_class_(std::move(update_class)) {}

    // Any thread. Takes effect from the next received frame.
    void set_wanted(std::vector<Wanted> wanted) {
        auto next = std::make_shared<const std::vector<Wanted>>(std::move(wanted));
        std::lock_guard lock(mutex_);
        active_.store(!next->empty(), std::memory_order_relaxed);
        wanted_ = std::move(next);
    }

    void on_update(Client&, std::string_view name, const Update& u) override {
        if (!frame_wanted_) {
            if (!active_.load(std::memory_order_relaxed)) return;
            // One look at the streams per frame, so that each stream gets a frame whole or not at all.
            std::lock_guard lock(mutex_);
            frame_wanted_ = wanted_;
            picks_.resize(frame_wanted_->size());
        }
        bool kept = false;
        for (std::size_t s = 0; s < frame_wanted_->size(); ++s) {
            const Wanted& w = (*frame_wanted_)[s];
            if (w.session != name || w.tables.find(std::string_view(u.table_name)) == w.tables.end()) continue;
            if (!kept) {
                keep(records_, count_, u);
                kept = true;
            }
            picks_[s].push_back(count_);
        }
        count_ += kept ? 1 : 0;
    }

    void on_update_batch_end(Client&, std::string_view name) override {
        const std::shared_ptr<const std::vector<Wanted>> wanted = std::move(frame_wanted_);
        if (count_ > 0 && !interpreter_stopping()) deliver(*wanted, name);
        for (auto& p : picks_) p.clear();
        count_ = 0;
        // A snapshot's batch may be huge; its records are not kept for ever.
        if (records_.size() > kKeptRecords) records_.resize(kKeptRecords);
        if (scratch_.size() > kKeptRecords) scratch_.resize(kKeptRecords);
    }

private:
    // Records are assigned into, so that their strings and vectors keep their capacity.
    static void keep(std::vector<Update>& records, std::size_t at, const Update& u) {
        if (at < records.size())
            records[at] = u;
        else
            records.push_back(u);
    }

    void deliver(const std::vector<Wanted>& wanted, std::string_view name) {
        mark_library_thread();
        py::gil_scoped_acquire gil;
        for (std::size_t s = 0; s < wanted.size(); ++s) {
            const std::vector<std::size_t>& picked = picks_[s];
            if (picked.empty()) continue;
            // A stream that wants every kept record reads them in place; others get a copy of theirs.
            const std::vector<Update>* records = &records_;
            if (picked.size() != count_) {
                for (std::size_t i = 0; i < picked.size(); ++i) keep(scratch_, i, records_[picked[i]]);
                records = &scratch_;
            }
            try {
                py::object updates =
                    frames_ ? updates_to_pandas(*records, picked.size())
                            : update_list(update_class_->get(), *records, picked.size());
                deliver_->get()(wanted[s].key, updates);
            } catch (py::error_already_set& error) {
                print_callback_exception("exception in an update stream of '" + std::string(name) + "'", error);
            } catch (const std::exception& error) {
                std::cerr << "tyx_client: error in an update stream of '" << name << "': " << error.what() << '\n';
            }
        }
    }

    static constexpr std::size_t kKeptRecords = 4096;

    const bool frames_;
    const std::shared_ptr<PyRef> deliver_;
    const std::shared_ptr<PyRef> update_class_;
    std::mutex mutex_;
    std::atomic<bool> active_{false};
    std::shared_ptr<const std::vector<Wanted>> wanted_ = std::make_shared<const std::vector<Wanted>>();  // mutex_
    // Notification thread only: the streams of the frame being received, the frame's kept
    // updates (the first count_ records), and which of them each stream takes.
    std::shared_ptr<const std::vector<Wanted>> frame_wanted_;
    std::vector<Update> records_;
    std::size_t count_ = 0;
    std::vector<std::vector<std::size_t>> picks_;
    std::vector<Update> scratch_;
};

}  // namespace

void bind_aio(py::module_& m) {
    py::class_<AioUpdateSource, std::shared_ptr<AioUpdateSource>>(
        m, "_AioUpdateSource",
        "The listener behind tyx_client.aio's update streams (not for direct use): it keeps the updates\n"
        "each stream wants without the GIL and calls deliver(key, updates) for each stream that has\n"
        "some in a received frame, on the notification thread.")
        .def(py::init([](py::object client, bool frames, py::object deliver) {
                 if (!PyCallable_Check(deliver.ptr())) throw py::type_error("deliver must be callable");
                 py::object update_class = py::module_::import("tyx_client._native").attr("Update");
                 auto source = std::make_shared<AioUpdateSource>(frames, std::make_shared<PyRef>(deliver),
                                                                 std::make_shared<PyRef>(update_class));
                 std::shared_ptr<Client> c = client_of(client);
                 py::gil_scoped_release nogil;
                 c->listener_add(source);
                 return source;
             }),
             py::arg("client"), py::arg("frames"), py::arg("deliver"),
             "Registers a source on the TyxClient `client`; updates come as DataFrames when `frames`,\n"
             "else as lists of Update. Nothing is wanted at first.")
        .def(
            "set_wanted",
            [](AioUpdateSource& source,
               const std::vector<std::tuple<std::int64_t, std::string, std::vector<std::string>>>& streams) {
                std::vector<Wanted> wanted;
                for (const auto& [key, session, tables] : streams)
                    wanted.push_back(Wanted{key, session, {tables.begin(), tables.end()}});
                source.set_wanted(std::move(wanted));
            },
            py::arg("streams"),
            "From the next received frame on, keeps for each (key, session_name, tables) of `streams` the\n"
            "updates of those tables of that center session (\"<cluster>-center\"), delivered as\n"
            "deliver(key, updates); an empty list keeps none.");
}

}  // namespace tyx::python
