#include "service/stop_outcome.h"

#include "platform/platform.h"

namespace service {

StopOutcome decide_stop(bool stop_requested, uint32_t wait_result,
                        uint32_t wait_error) {
  if (stop_requested) return {false, 0};
  if (wait_result == platform::kWaitObject0 + 1) {
    return {false, platform::kErrorProcessAborted};
  }
  if (wait_result == platform::kWaitObject0) return {true, 0};
  // The service can no longer watch its client; it stops, and says why
  // instead of claiming a clean stop.
  return {true, wait_error != 0 ? wait_error : platform::kErrorGenFailure};
}

}  // namespace service
