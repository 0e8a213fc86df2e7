// The JSON form of one center update, as the subscribe command prints it:
//   {"action":"added","table":"Orders","id":3,"object_id":"o-1","seqnum":0,"fields":{"qty":10}}
// The action is "added", "updated" or "removed" (another code is given as its number).
#pragma once

#include <nlohmann/json.hpp>
#include <tyx/client.hpp>

namespace tyx::tool {

nlohmann::ordered_json update_json(const tyx::ClientListener::CenterIncrementalUpdate& update);

}  // namespace tyx::tool
