// A scripted stand-in for platform/platform_win.cpp, linked into the native
// unit tests instead of it. Tests script the command line, the registry,
// process creation and the service manager, then read back what the launcher
// did. It behaves like Windows where the launcher relies on it: a query into
// a too-small buffer fails with ERROR_MORE_DATA and leaves junk behind; the
// wait blocks until a handle is signalled; ending a process only asks for
// its end, which follows later on a thread of its own (or, held, when the
// test says); ending an ended process changes nothing; time passes for a
// wait with a bound only when the test moves the clock, and a wait sees an
// end only if it came, on that clock, within its bound; an entry longer
// than ReportEvent takes, with the source's and a computer's name, is
// dropped. Its dispatcher behaves like the real
// ones where the service host could deadlock against them: it runs the
// control handler with a lock of its own held, a stopped report takes that
// lock after it is recorded, it returns at the stopped report rather than
// when service_main returns, and it passes on no control before a report
// that accepts one or after the stopped report. Misuse (a closed or unknown
// handle used, a report after the stopped report, a stopped report while a
// client asked to end still runs and no bounded wait for it has passed, an
// entry dropped) is recorded as a violation. A process has the id 4001.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace fake {

void reset();

void set_command_line(std::string line);

// The settings key: 0 opens it; any other value is the open's error.
void set_key_open_result(uint32_t result);
// Stores `bytes` exactly as given (no terminator is added).
void set_value(const std::string& name, uint32_t type, std::string bytes);
// Makes the query of `name` fail with `error`, writing junk into the buffer.
void set_query_error(const std::string& name, uint32_t error);
int keys_open();  // opened and not yet closed

struct StartCall {
  std::string command;
  std::string working_directory;
  bool in_job;  // started in a job made by create_client_job
};
std::vector<StartCall> starts();
void fail_start(uint32_t error);
void fail_job_creation();

struct ProcessState {
  bool ended;
  uint32_t exit_code;
  int terminate_calls;
  bool closed;
  // dwCurrentState of the last report when it was first ended from
  // outside (0: never ended so, or ended before any report).
  uint32_t state_when_terminated;
};
platform::Handle last_process();
ProcessState process_state(platform::Handle process);
// The client ends by itself, or, asked to end and held, ends now.
void end_client(platform::Handle process, uint32_t exit_code);
// From now on a client asked to end goes on running until end_client, as a
// client whose pending I/O a driver holds does.
void hold_terminated_clients();
// Moves the clock that bounded waits (wait_for_end) measure by.
void advance_clock(std::chrono::milliseconds by);

void fail_event_creation(uint32_t error);
void fail_wait(uint32_t error);
// What the last wait returned, or -1 when no wait has returned.
int64_t last_wait_result();
// Waits, up to `limit`, for a wait to return; false when none did.
bool wait_for_wait_return(std::chrono::milliseconds limit =
                              std::chrono::seconds(10));

// The service side. The dispatcher runs service_main on a thread of its own
// and, meanwhile, `controller` on the calling (main) thread; it returns once
// the controller has finished and the stopped report has been made, whether
// or not service_main has returned. A run that makes no stopped report
// within 10 s is taken for a deadlock: the test program says so and exits
// with a failure instead of hanging.
void fail_dispatcher(uint32_t error);
void set_controller(std::function<void()> controller);
std::string dispatched_service_name();
// Waits (with the same watchdog) for service_main to return.
void join_service_thread();
// The service manager's side of a control: 0 when it was passed on, and the
// handler then ran on the calling thread with the dispatcher's lock held;
// ERROR_SERVICE_CANNOT_ACCEPT_CTRL (1061) before any report that accepts
// controls; ERROR_SERVICE_NOT_ACTIVE (1062) after the stopped report.
uint32_t send_control(uint32_t control);
// Waits, up to `limit`, until `count` controls have entered the handler.
bool wait_for_handler_entries(int count, std::chrono::milliseconds limit =
                                             std::chrono::seconds(10));
std::vector<platform::ServiceStatus> reports();
// Waits, up to `limit`, for a report of `state`; false when none came.
bool wait_for_report(uint32_t state, std::chrono::milliseconds limit =
                                         std::chrono::seconds(10));

// Named points at which a test can run code on the thread that reaches them
// (with no lock of the fake held).
enum class Point {
  kWaitReturned,         // the wait has a result and is about to return it
  kBeforeSignal,         // signal_event was called, the event is not yet set
  kClosingHandle,        // close_handle was called, the handle is still open
  kBeforeStoppedReport,  // a stopped report is about to be recorded
  kStoppedReport,        // a stopped report has just been recorded
  kEventWritten,         // an event has just been recorded
  kEndWaitStarted,       // wait_for_end has taken its start on the clock
};
void set_hook(Point point, std::function<void()> hook);

// Each event as "<source> <type>/<id>|<string>|...", a violation when it is
// written from the handler or after the stopped report. Errors: "text of N".
std::vector<std::string> events();

std::vector<std::string> violations();

}  // namespace fake
