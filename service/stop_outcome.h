// How a service run ends, decided from what woke the service thread.
#pragma once

#include <cstdint>

namespace service {

struct StopOutcome {
  bool end_client;     // the client still runs and must be ended with 0
  uint32_t exit_code;  // dwWin32ExitCode of the stopped report
};

// `stop_requested`: the control handler took a stop or shutdown request and
// ended the client itself. `wait_result`/`wait_error`: what the wait on the
// stop event (index 0) and the client (index 1) returned.
//  - a stop request wins, whatever the wait returned: 0, client already ended;
//  - the client ended by itself: 1067, whatever its own exit code;
//  - the stop event without a request: end the client, 0;
//  - a failed wait: end the client and report the wait's error, never 0.
StopOutcome decide_stop(bool stop_requested, uint32_t wait_result,
                        uint32_t wait_error);

}  // namespace service
