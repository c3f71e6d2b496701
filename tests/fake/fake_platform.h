// A scripted stand-in for platform/platform_win.cpp, linked into the native
// unit tests instead of it. Tests script the command line, the registry,
// process creation and the service manager, then read back what the launcher
// did. It behaves like Windows where the launcher relies on it: a query into
// a too-small buffer fails with ERROR_MORE_DATA and leaves junk behind; the
// wait blocks until a handle is signalled; ending an ended process changes
// nothing. Misuse (a closed or unknown handle used, a report after the
// stopped report) is recorded as a violation.
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
};
std::vector<StartCall> starts();
void fail_start(uint32_t error);

struct ProcessState {
  bool ended;
  uint32_t exit_code;
  int terminate_calls;
  bool closed;
};
platform::Handle last_process();
ProcessState process_state(platform::Handle process);
// The client ends by itself.
void end_client(platform::Handle process, uint32_t exit_code);

void fail_event_creation(uint32_t error);
void fail_wait(uint32_t error);
// What the last wait returned, or -1 when no wait has returned.
int64_t last_wait_result();
// Waits, up to `limit`, for a wait to return; false when none did.
bool wait_for_wait_return(std::chrono::milliseconds limit =
                              std::chrono::seconds(10));

// The service side. The dispatcher runs service_main on a thread of its own
// and, meanwhile, `controller` on the calling (main) thread; it returns once
// both have finished.
void fail_dispatcher(uint32_t error);
void set_controller(std::function<void()> controller);
std::string dispatched_service_name();
// Calls the registered control handler on the calling thread.
void send_control(uint32_t control);
std::vector<platform::ServiceStatus> reports();
// Waits, up to `limit`, for a report of `state`; false when none came.
bool wait_for_report(uint32_t state, std::chrono::milliseconds limit =
                                         std::chrono::seconds(10));

// Named points at which a test can run code on the thread that reaches them
// (with no lock of the fake held).
enum class Point {
  kWaitReturned,    // the wait has a result and is about to return it
  kBeforeSignal,    // signal_event was called, the event is not yet set
  kStoppedReport,   // a stopped report has just been recorded
};
void set_hook(Point point, std::function<void()> hook);

std::vector<std::string> violations();

}  // namespace fake
