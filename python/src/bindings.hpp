// The module's binding units. The shard and endpoint lists are bound as list-like objects that
// share the record's storage, so `cluster.database_config.shards[0].host = "h"` changes the
// record itself; every unit that includes pybind11's container conversions must see these
// declarations first.
#pragma once

#include <memory>

#include <pybind11/pybind11.h>
#include <pybind11/stl_bind.h>

#include <tyx/client.hpp>
#include <tyx/config.hpp>

PYBIND11_MAKE_OPAQUE(std::vector<tyx::Endpoint>)
PYBIND11_MAKE_OPAQUE(std::vector<tyx::PublicationConfig::Shard>)
PYBIND11_MAKE_OPAQUE(std::vector<tyx::SubscriptionConfig::Shard>)
PYBIND11_MAKE_OPAQUE(std::vector<tyx::DatabaseConfig::Shard>)

#include <pybind11/stl.h>

namespace tyx::python {

namespace py = pybind11;

void bind_config(py::module_& m);
void bind_client(py::module_& m);
void bind_sandbox(py::module_& m);
void bind_live_table(py::module_& m);     // after bind_client: it adds TyxClient.live_table
void bind_frame_publish(py::module_& m);  // after bind_client: it adds publish_frame and remove_frame

// Closes every TyxClient and stops every Sandbox still open; run before the interpreter stops.
void close_all_clients();
void stop_all_sandboxes();
// The Client of a TyxClient object; TypeError for another object, RuntimeError once closed.
std::shared_ptr<Client> client_of(py::handle tyx_client);
class WaitBoard;
// The board whose waits the TyxClient's close() releases; TypeError for another object.
std::shared_ptr<WaitBoard> wait_board_of(py::handle tyx_client);

}  // namespace tyx::python
