// The launcher as the "quorvel-client" service.
#pragma once

#include <cstdint>

namespace service {

// Runs the service dispatcher on the calling thread until the service has
// stopped. Returns 0, or the Windows error code when the dispatcher cannot
// connect to the service control manager (1063 when not started as a
// service).
uint32_t run_service_dispatcher();

// The service's main routine, on the dispatcher's service thread: starts the
// client, reports running, and waits for a stop request or the client's end.
// The start parameters are ignored.
void service_main(uint32_t argc, char** argv);

// Stop and shutdown: report stop-pending, end the client, wake service_main.
// Every other control is ignored without a report.
void service_control_handler(uint32_t control);

}  // namespace service
