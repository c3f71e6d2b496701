#include "service/service_host.h"

#include <mutex>
#include <new>

#include "launcher/child_process.h"
#include "launcher/client_launch.h"
#include "launcher/constants.h"
#include "platform/platform.h"
#include "service/event_log.h"
#include "service/stop_outcome.h"

namespace service {

namespace {

// Guards the process-wide state below. Why this cannot deadlock: the
// dispatcher holds a lock of its own while it runs service_control_handler,
// and SetServiceStatus may take that lock (Wine's does for a stopped
// report). So the handler, called inside the dispatcher's lock, may take
// g_lock and report under it; service_main never calls the service manager
// (registration or report) while it holds g_lock. The two locks are then
// only ever held together in one order, the dispatcher's first, and no
// cycle can form. Under g_lock nothing waits: fields are set, and the client
// is ended (TerminateProcess), its handle closed and the event set, none of
// which waits on another thread.
//
// Constructed once, in storage of its own, and never destroyed: the
// dispatcher returns on the main thread as soon as the stopped report is
// made, and the exit-time destructors may then run while the service thread
// is still on its way out of that report.
alignas(std::mutex) unsigned char g_lock_storage[sizeof(std::mutex)];
std::mutex& g_lock = *::new (static_cast<void*>(g_lock_storage)) std::mutex;

// The ServiceStatusRecord. Guarded by g_lock; written by both threads, each
// of which reports a copy taken under the lock; lives for the process.
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

// Sets the stopped state and returns the record to report. Caller holds
// g_lock. From here on the handler finds the run over.
platform::ServiceStatus stopped(uint32_t exit_code, uint32_t specific_exit_code) {
  g_service_status.dwCurrentState = platform::kServiceStopped;
  g_service_status.dwWin32ExitCode = exit_code;
  g_service_status.dwServiceSpecificExitCode = specific_exit_code;
  return g_service_status;
}

// Sets up the run and starts the client, filling `launch` when it was tried;
// returns the first report: running, or stopped when there is no client to
// watch. Caller holds g_lock.
platform::ServiceStatus begin_run(launcher::LaunchDetails* launch) {
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
    return stopped(event_error != 0 ? event_error : platform::kErrorGenFailure,
                   0);
  }
  // Without a job the client is started and watched all the same; it just
  // would not end with a launcher that is killed.
  launcher::g_client_job = platform::create_client_job();
  const uint32_t launched = launcher::launch_client(launch);
  if (launched != 0) {
    return stopped(platform::kErrorServiceSpecificError, launched);
  }
  g_service_status.dwCurrentState = platform::kServiceRunning;
  return g_service_status;
}

}  // namespace

uint32_t run_service_dispatcher() {
  return platform::run_dispatcher(launcher::kServiceName, service_main);
}

void service_main(uint32_t /*argc*/, char** /*argv*/) {
  // Registered before g_lock is taken, like every call to the service
  // manager. The handler cannot run before the first report: the service
  // manager passes on no control to a service that is start-pending and
  // accepts none.
  const platform::StatusHandle status_handle =
      platform::register_control_handler(launcher::kServiceName,
                                         service_control_handler);
  std::unique_lock<std::mutex> lock(g_lock);
  g_service_status_handle = status_handle;
  launcher::LaunchDetails launch;
  const platform::ServiceStatus first = begin_run(&launch);
  const platform::Handle client = launcher::g_child_process;
  lock.unlock();
  // Events are written here, on the service thread with g_lock released,
  // so that neither a report nor the handler ever waits for one; a stop's
  // just before its stopped report, after which nothing may run.
  if (first.dwWin32ExitCode == platform::kErrorServiceSpecificError) {
    write_client_not_started(launch, first.dwServiceSpecificExitCode);
  }
  // The service manager holds the service in start-pending until this
  // report; that state is never reported.
  platform::report_status(status_handle, first);
  if (first.dwCurrentState == platform::kServiceStopped) return;
  // Only this thread closes the client's handle, so it is still open here.
  const uint32_t pid = platform::process_id(client);
  write_client_started(launch, pid);

  uint32_t wait_error = 0;
  const uint32_t woken =
      platform::wait_for_either(g_stop_event, client, &wait_error);
  const uint32_t client_exit = platform::exit_code(client);

  lock.lock();
  const StopOutcome outcome = decide_stop(g_stop_requested, woken, wait_error);
  if (outcome.end_client) platform::terminate_process(client, 0);
  // Decided without a stop request (the client ended by itself, or the wait
  // failed): from here on the handler finds the run over, so that a request
  // arriving while the lock is released below neither reports stop-pending
  // ahead of a stopped report that is not a stop's nor ends the client once
  // more. On the stop path the state stays stop-pending, and a further
  // request is answered with it.
  if (!g_stop_requested) stopped(outcome.exit_code, 0);
  lock.unlock();
  // Stopped means the client has gone: TerminateProcess, the handler's or
  // the one above, only asks for its end. Waited for with g_lock released,
  // so that a late control never waits for it; the handle stays open
  // until the wait is over, as only this thread closes it. A client that
  // ended by itself has gone, and the wait returns at once.
  const bool by_itself = !outcome.end_client &&
                         outcome.exit_code == platform::kErrorProcessAborted;
  const bool client_ended = platform::wait_for_end(client, kClientEndWaitMs);

  lock.lock();
  platform::close_handle(client);
  launcher::g_child_process = nullptr;
  const platform::ServiceStatus last = stopped(outcome.exit_code, 0);
  lock.unlock();
  // A client that has ended ended by itself (1067) or at a stop request;
  // one the service thread must end itself has no entry of its own.
  if (by_itself) {
    write_client_ended(pid, client_exit);
  } else if (!outcome.end_client) {
    if (client_ended) {
      write_stop_requested(pid);
    } else {
      write_stop_client_not_ended(pid, kClientEndWaitMs);
    }
  }
  // The very last action: once it is made the dispatcher returns on the
  // main thread and the process may end at any moment.
  platform::report_status(status_handle, last);
}

void service_control_handler(uint32_t control) {
  if (control != platform::kServiceControlStop &&
      control != platform::kServiceControlShutdown) {
    return;
  }
  std::lock_guard<std::mutex> guard(g_lock);
  // Once the stopped state is set the run is over: nothing more may be
  // reported, and the client's handle is closed or about to be.
  if (g_service_status.dwCurrentState == platform::kServiceStopped) return;
  g_service_status.dwCurrentState = platform::kServiceStopPending;
  // Under the lock, so that it is made before the stopped report, never
  // after it.
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
