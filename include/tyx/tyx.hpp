/// \file
/// Umbrella header: everything an application needs from the tyx client library.
#pragma once

#include "tyx/client.hpp"
#include "tyx/commands.hpp"
#include "tyx/config.hpp"
#include "tyx/health.hpp"
#include "tyx/schema.hpp"
#include "tyx/table.hpp"
#include "tyx/type_codes.hpp"
#include "tyx/values.hpp"
