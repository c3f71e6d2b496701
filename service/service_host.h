// The launcher as the "quorvel-client" service.
#pragma once

#include <cstdint>

namespace service {

// How long a stop waits for the client's end once it has asked for it,
// before it reports stopped all the same. TerminateProcess only starts the
// end, which waits for the client's pending I/O; that takes milliseconds,
// unless a driver holds it. Well inside the 20 s that Windows gives the
// services at shutdown, and short enough not to hold a stop for long.
inline constexpr uint32_t kClientEndWaitMs = 3000;

// Runs the service dispatcher on the calling thread until the service has
// stopped. Returns 0, or the Windows error code when the dispatcher cannot
// connect to the service control manager (1063 when not started as a
// service).
uint32_t run_service_dispatcher();

// The service's main routine, on the dispatcher's service thread: starts the
// client, reports running, and waits for a stop request or the client's end.
// A client it ended, or the handler did, is waited for (kClientEndWaitMs at
// most) before the stopped report. The start parameters are ignored.
void service_main(uint32_t argc, char** argv);

// Stop and shutdown: report stop-pending, end the client, wake service_main.
// Every other control is ignored without a report.
void service_control_handler(uint32_t control);

}  // namespace service
