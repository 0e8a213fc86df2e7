// One decoded center row change, as handed to subscribed tables and listeners. Created once by
// the change decoder and shared read-only between the table buffers and every listener event.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tyx/client.hpp"

namespace tyx {

// The public record itself, so that listeners are handed the decoded row without a copy.
struct TyxCenterIncrementalUpdate : ClientListener::CenterIncrementalUpdate {};

using TyxCenterIncrementalUpdatePtr = std::shared_ptr<const TyxCenterIncrementalUpdate>;

}  // namespace tyx
