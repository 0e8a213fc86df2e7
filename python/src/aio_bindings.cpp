// The update source behind tyx_client.aio's update streams: a listener of one TyxClient that
// keeps, without the GIL, only the updates of the center sessions and tables some stream wants,
// and hands each received frame's kept updates to a Python callable (GIL held). It runs on the
// library's notification thread. The library cannot remove a listener, so once no stream is
// left it stays registered and costs one look at an atomic flag per update.
#include <atomic>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "bindings.hpp"
#include "live_table.hpp"
#include "py_support.hpp"
#include "values.hpp"

namespace tyx::python {

namespace {

// Table names by center session name ("<cluster>-center"); lookups take string views.
using Wanted = std::map<std::string, std::set<std::string, std::less<>>, std::less<>>;

class AioUpdateSource final : public ClientListener {
public:
    AioUpdateSource(bool frames, std::shared_ptr<PyRef> deliver, std::shared_ptr<PyRef> update_class)
        : frames_(frames), deliver_(std::move(deliver)), update_class_(std::move(update_class)) {}

    // Any thread. Takes effect from the next received frame.
    void set_wanted(Wanted wanted) {
        auto next = std::make_shared<const Wanted>(std::move(wanted));
        std::lock_guard lock(mutex_);
        active_.store(!next->empty(), std::memory_order_relaxed);
        wanted_ = std::move(next);
    }

    void on_update(Client&, std::string_view name, const Update& u) override {
        if (!batch_wanted_) {
            if (!active_.load(std::memory_order_relaxed)) return;
            // One look at the wanted tables per frame, so that a frame is kept whole or not at all.
            std::lock_guard lock(mutex_);
            batch_wanted_ = wanted_;
        }
        const auto session = batch_wanted_->find(name);
        if (session == batch_wanted_->end() || session->second.find(std::string_view(u.table_name)) ==
                                                   session->second.end())
            return;
        // Records are assigned into, so that their strings and vectors keep their capacity.
        if (count_ < batch_.size())
            batch_[count_] = u;
        else
            batch_.push_back(u);
        ++count_;
    }

    void on_update_batch_end(Client&, std::string_view name) override {
        batch_wanted_.reset();
        if (count_ == 0) return;
        deliver(name);
        count_ = 0;
        // A snapshot's batch may be huge; its records are not kept for ever.
        if (batch_.size() > kKeptRecords) batch_.resize(kKeptRecords);
    }

private:
    void deliver(std::string_view name) {
        if (interpreter_stopping()) return;
        mark_library_thread();
        py::gil_scoped_acquire gil;
        try {
            py::object updates = frames_ ? updates_to_pandas(batch_, count_) : update_list();
            deliver_->get()(to_str(name), updates);
        } catch (py::error_already_set& error) {
            print_callback_exception("exception in an update stream of '" + std::string(name) + "'", error);
        } catch (const std::exception& error) {
            std::cerr << "tyx_client: error in an update stream of '" << name << "': " << error.what() << '\n';
        }
    }

    // The batch as a list of Update, built as Listener.on_updates receives it.
    py::list update_list() {
        // The Update objects form no cycle: the cyclic collector waits until the list is built.
        const bool collecting = PyGC_Disable() != 0;
        struct Restore {
            bool collecting;
            ~Restore() {
                if (collecting) PyGC_Enable();
            }
        } restore{collecting};
        py::list list(count_);
        const py::handle update_class = update_class_->get();
        for (std::size_t i = 0; i < count_; ++i) {
            const Update& u = batch_[i];
            py::list names(u.field_names.size());
            for (std::size_t f = 0; f < u.field_names.size(); ++f)
                PyList_SET_ITEM(names.ptr(), static_cast<py::ssize_t>(f), to_str(u.field_names[f]).release().ptr());
            py::list values(u.row_data.size());
            for (std::size_t f = 0; f < u.row_data.size(); ++f)
                PyList_SET_ITEM(values.ptr(), static_cast<py::ssize_t>(f), from_field_value(u.row_data[f]).release().ptr());
            py::object update =
                update_class(u.seqnum, u.action, u.id, to_str(u.table_name), to_str(u.object_id), names, values);
            PyList_SET_ITEM(list.ptr(), static_cast<py::ssize_t>(i), update.release().ptr());
        }
        return list;
    }

    static constexpr std::size_t kKeptRecords = 4096;

    const bool frames_;
    const std::shared_ptr<PyRef> deliver_;
    const std::shared_ptr<PyRef> update_class_;
    std::mutex mutex_;
    std::atomic<bool> active_{false};
    std::shared_ptr<const Wanted> wanted_ = std::make_shared<const Wanted>();  // mutex_
    // Notification thread only: the wanted tables of the frame being received, and its kept
    // updates (the first count_ records).
    std::shared_ptr<const Wanted> batch_wanted_;
    std::vector<Update> batch_;
    std::size_t count_ = 0;
};

}  // namespace

void bind_aio(py::module_& m) {
    py::class_<AioUpdateSource, std::shared_ptr<AioUpdateSource>>(
        m, "_AioUpdateSource",
        "The listener behind tyx_client.aio's update streams (not for direct use): it keeps the updates\n"
        "of the wanted tables without the GIL and calls deliver(session_name, updates) once per\n"
        "received frame that has any, on the notification thread.")
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
            [](AioUpdateSource& source, const std::map<std::string, std::vector<std::string>>& wanted) {
                Wanted tables;
                for (const auto& [session, names] : wanted)
                    if (!names.empty()) tables[session].insert(names.begin(), names.end());
                source.set_wanted(std::move(tables));
            },
            py::arg("wanted"),
            "Keeps, from the next received frame on, the updates of the tables `wanted` names by center\n"
            "session name ({\"<cluster>-center\": [table, ...]}); an empty dict keeps none.");
}

}  // namespace tyx::python
