#include "service/service_host.h"

#include <mutex>

#include "launcher/child_process.h"
#include "launcher/client_launch.h"
#include "launcher/constants.h"
#include "platform/platform.h"
#include "service/stop_outcome.h"

namespace service {

namespace {

// Held by the control handler for the whole of its reaction to a stop, and by
// service_main while it starts the client and reports running, and again
// from the end of its wait through the stopped report and the closing of the
// client's handle. So the handler sees either no client, or a running client
// whose handle is open, or a stopped service with an empty slot; it never
// reports after the stopped report and never touches a closed handle.
std::mutex g_lock;

// The ServiceStatusRecord. Guarded by g_lock; written and reported by both
// threads; lives for the process.
platform::ServiceStatus g_service_status = {};

// The ServiceStatusHandle. Set by service_main under g_lock before any
// report; used for every report.
platform::StatusHandle g_service_status_handle = nullptr;

// The StopEvent. Created by service_main under g_lock, signalled by the
// handler; never reset or closed.
platform::Handle g_stop_event = nullptr;

// The stop request mark: the handler took a stop or shutdown request and
// ended the client. Guarded by g_lock; cleared when service_main starts.
bool g_stop_requested = false;

// Reports the stopped state. Caller holds g_lock.
void report_stopped(uint32_t exit_code, uint32_t specific_exit_code) {
  g_service_status.dwCurrentState = platform::kServiceStopped;
  g_service_status.dwWin32ExitCode = exit_code;
  g_service_status.dwServiceSpecificExitCode = specific_exit_code;
  platform::report_status(g_service_status_handle, g_service_status);
}

}  // namespace

uint32_t run_service_dispatcher() {
  return platform::run_dispatcher(launcher::kServiceName, service_main);
}

void service_main(uint32_t /*argc*/, char** /*argv*/) {
  // Taken before the handler is registered, so that a control that arrived
  // at once would wait for the status handle and the record to be set.
  std::unique_lock<std::mutex> lock(g_lock);
  g_service_status_handle = platform::register_control_handler(
      launcher::kServiceName, service_control_handler);
  // The service manager holds the service in start-pending until the first
  // report; this state is never reported.
  g_service_status = {};
  g_service_status.dwServiceType = platform::kServiceWin32OwnProcess;
  g_service_status.dwCurrentState = platform::kServiceStartPending;
  g_service_status.dwControlsAccepted =
      platform::kServiceAcceptStop | platform::kServiceAcceptShutdown;
  g_stop_requested = false;

  uint32_t event_error = 0;
  g_stop_event = platform::create_stop_event(&event_error);
  if (!g_stop_event) {
    // Without the event a stop request could not be told from a failed
    // wait: do not start a client that could not be watched properly.
    report_stopped(event_error != 0 ? event_error : platform::kErrorGenFailure,
                   0);
    return;
  }

  const uint32_t launched = launcher::launch_client();
  if (launched != 0) {
    report_stopped(platform::kErrorServiceSpecificError, launched);
    return;
  }
  g_service_status.dwCurrentState = platform::kServiceRunning;
  platform::report_status(g_service_status_handle, g_service_status);
  const platform::Handle client = launcher::g_child_process;
  lock.unlock();

  uint32_t wait_error = 0;
  const uint32_t woken =
      platform::wait_for_either(g_stop_event, client, &wait_error);

  lock.lock();
  const StopOutcome outcome = decide_stop(g_stop_requested, woken, wait_error);
  if (outcome.end_client) platform::terminate_process(client, 0);
  report_stopped(outcome.exit_code, 0);
  platform::close_handle(client);
  launcher::g_child_process = nullptr;
}

void service_control_handler(uint32_t control) {
  if (control != platform::kServiceControlStop &&
      control != platform::kServiceControlShutdown) {
    return;
  }
  std::lock_guard<std::mutex> guard(g_lock);
  // After the stopped report the run is over: nothing more may be reported,
  // and the client's handle is already closed.
  if (g_service_status.dwCurrentState == platform::kServiceStopped) return;
  g_service_status.dwCurrentState = platform::kServiceStopPending;
  platform::report_status(g_service_status_handle, g_service_status);
  // The mark is set before the client is ended, so that service_main takes
  // the stop path whichever of the two wakes it first.
  if (launcher::g_child_process && !g_stop_requested) {
    g_stop_requested = true;
    platform::terminate_process(launcher::g_child_process, 0);
  }
  if (g_stop_event) platform::signal_event(g_stop_event);
}

}  // namespace service
