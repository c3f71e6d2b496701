// The launcher's entry and its choice of mode.
#pragma once

namespace launcher {

// True when any of argv[1..argc-1] equals "-action=service" exactly.
bool service_mode_requested(int argc, const char* const* argv);

// Service mode: runs the service dispatcher and returns its result (0, or the
// Windows error code when it cannot connect). Direct mode: starts the client
// once, does not wait for it, and returns 0 whether or not it started.
int run_entry(int argc, char** argv);

}  // namespace launcher
