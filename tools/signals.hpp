// Ctrl-C and SIGTERM for the whole tool. `block_stop_signals` runs first in main, before any
// thread starts, so that every thread inherits the blocked mask and only the watcher thread of
// `watch_stop_signals` takes the signals. A command that stops cleanly on a signal (the sandbox,
// subscribe) declares so and polls `stop_requested`; any other command is ended at once with
// status 130, as the shell's default would, and so is every command on a second signal.
#pragma once

#include <chrono>

namespace tyx::tool {

void block_stop_signals();
void watch_stop_signals();

// The running command handles the signals itself from now on.
void handle_stop_signals_gracefully();
bool stop_requested();
// Waits until a stop signal arrives or `timeout` passes; true for a signal.
bool wait_for_stop(std::chrono::milliseconds timeout);

}  // namespace tyx::tool
