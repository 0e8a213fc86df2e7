// Ctrl-C, SIGTERM and SIGUSR1 for the whole tool. `block_stop_signals` runs first in main, before any
// thread starts, so that every thread inherits the blocked mask and only the watcher thread of
// `watch_stop_signals` takes the signals. A command that stops cleanly on a signal (the sandbox,
// subscribe) declares so and polls `stop_requested`; any other command is ended at once with
// status 130, as the shell's default would, and so is every command on a second signal.
// SIGUSR1 runs the command's report handler, if it set one, and is ignored otherwise.
#pragma once

#include <chrono>
#include <functional>

namespace tyx::tool {

void block_stop_signals();
void watch_stop_signals();

// The running command handles the signals itself from now on.
void handle_stop_signals_gracefully();
bool stop_requested();
// Runs `handler` on the watcher thread at each SIGUSR1 (an empty one clears it).
void on_report_signal(std::function<void()> handler);
// Waits until a stop signal arrives or `timeout` passes; true for a signal.
bool wait_for_stop(std::chrono::milliseconds timeout);

}  // namespace tyx::tool
