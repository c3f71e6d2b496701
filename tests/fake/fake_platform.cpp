#include "tests/fake/fake_platform.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

struct Object {
  enum class Kind { kProcess, kEvent, kJob } kind;
  bool signalled = false;
  bool terminating = false;  // ended from outside, not yet gone
  bool end_wait_expired = false;  // a wait_for_end on it ran out of time
  int64_t ended_at_ms = 0;  // on the test's clock, once signalled
  uint32_t exit_code = 0;
  int terminate_calls = 0;
  uint32_t state_when_terminated = 0;
  bool closed = false;
};

struct Value {
  uint32_t type;
  std::string bytes;
};

struct State {
  std::string command_line;
  uint32_t key_open_result = platform::kErrorFileNotFound;
  std::map<std::string, Value> values;
  std::map<std::string, uint32_t> query_errors;
  int keys_open = 0;

  std::vector<fake::StartCall> starts;
  uint32_t start_error = 0;
  bool job_error = false;
  bool hold_terminated = false;
  int64_t clock_ms = 0;  // moved only by advance_clock
  // A deque keeps every object's address, closed ones included, so that a
  // use after close is seen rather than undefined.
  std::deque<Object> objects;
  Object* last_process = nullptr;

  uint32_t event_error = 0;
  uint32_t wait_error = 0;
  int64_t last_wait_result = -1;

  uint32_t dispatcher_error = 0;
  std::function<void()> controller;
  std::string service_name;
  platform::ControlHandlerRoutine handler = nullptr;
  std::vector<platform::ServiceStatus> reports;
  int handler_entries = 0;
  bool stopped_report_done = false;  // the dispatcher has taken it in
  bool service_returned = false;
  std::map<fake::Point, std::function<void()>> hooks;
  std::vector<std::string> events;
  std::vector<std::string> violations;
};

std::mutex g_mutex;
std::condition_variable g_changed;
State g_state;

// The dispatcher's own lock, held while the control handler runs and taken
// by a stopped report. Recursive, like the critical section it stands for.
std::recursive_mutex g_dispatcher_lock;
// The thread run_dispatcher starts for service_main, and the watchdog that
// ends the test program if that run deadlocks; both joined by
// join_service_thread or the next reset.
std::thread g_service_thread;
std::thread g_watchdog;
// The threads that end terminated processes, joined by the next reset.
// Guarded by g_mutex.
std::vector<std::thread> g_enders;
thread_local bool t_in_handler = false;  // the dispatcher runs the handler here

// Waits for `done` under `lock`; past 10 s the run is taken for a deadlock
// and the test program ends with a message rather than hanging.
template <typename Done>
void wait_or_die(std::unique_lock<std::mutex>& lock, Done done,
                 const char* what) {
  if (!g_changed.wait_for(lock, std::chrono::seconds(10), done)) {
    std::fprintf(stderr,
                 "\nfake platform: %s within 10 s: the service host is "
                 "deadlocked or hangs\n", what);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(3);
  }
}

int g_status_handle_tag;
int g_key_tag;

// Caller holds g_mutex.
Object* find(platform::Handle handle, Object::Kind kind, const char* use) {
  for (Object& object : g_state.objects) {
    if (&object == handle) {
      if (object.closed) {
        g_state.violations.push_back(std::string(use) + " on a closed handle");
      } else if (object.kind != kind) {
        g_state.violations.push_back(std::string(use) + " on the wrong kind");
      }
      return &object;
    }
  }
  g_state.violations.push_back(std::string(use) + " on an unknown handle");
  return nullptr;
}

void run_hook(fake::Point point) {
  std::function<void()> hook;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto found = g_state.hooks.find(point);
    if (found != g_state.hooks.end()) hook = found->second;
  }
  if (hook) hook();
}

}  // namespace

namespace fake {

void reset() {
  if (g_service_thread.joinable()) join_service_thread();
  std::vector<std::thread> enders;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    enders.swap(g_enders);
  }
  for (std::thread& ender : enders) ender.join();
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state = State{};
}

void set_command_line(std::string line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.command_line = std::move(line);
}

void set_key_open_result(uint32_t result) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.key_open_result = result;
}

void set_value(const std::string& name, uint32_t type, std::string bytes) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.values[name] = Value{type, std::move(bytes)};
}

void set_query_error(const std::string& name, uint32_t error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.query_errors[name] = error;
}

int keys_open() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.keys_open;
}

std::vector<StartCall> starts() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.starts;
}

void fail_start(uint32_t error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.start_error = error;
}

void fail_job_creation() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.job_error = true;
}

platform::Handle last_process() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.last_process;
}

ProcessState process_state(platform::Handle process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const Object* object = static_cast<const Object*>(process);
  return {object->signalled, object->exit_code, object->terminate_calls,
          object->closed, object->state_when_terminated};
}

void end_client(platform::Handle process, uint32_t exit_code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Object* object = static_cast<Object*>(process);
  if (object->signalled) return;
  object->signalled = true;
  object->ended_at_ms = g_state.clock_ms;
  // A client already being ended keeps the exit code it was ended with.
  if (!object->terminating) object->exit_code = exit_code;
  g_changed.notify_all();
}

void hold_terminated_clients() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.hold_terminated = true;
}

void advance_clock(std::chrono::milliseconds by) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.clock_ms += by.count();
  g_changed.notify_all();
}

void fail_event_creation(uint32_t error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.event_error = error;
}

void fail_wait(uint32_t error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.wait_error = error;
}

int64_t last_wait_result() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.last_wait_result;
}

bool wait_for_wait_return(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, limit,
                            [] { return g_state.last_wait_result != -1; });
}

void fail_dispatcher(uint32_t error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.dispatcher_error = error;
}

void set_controller(std::function<void()> controller) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.controller = std::move(controller);
}

std::string dispatched_service_name() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.service_name;
}

void join_service_thread() {
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    wait_or_die(lock, [] { return g_state.service_returned; },
                "service_main did not return");
  }
  g_service_thread.join();
  g_watchdog.join();
}

uint32_t send_control(uint32_t control) {
  platform::ControlHandlerRoutine handler;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_state.reports.empty() ||
        g_state.reports.back().dwControlsAccepted == 0) {
      return 1061;  // ERROR_SERVICE_CANNOT_ACCEPT_CTRL
    }
    if (g_state.reports.back().dwCurrentState == platform::kServiceStopped) {
      return 1062;  // ERROR_SERVICE_NOT_ACTIVE
    }
    handler = g_state.handler;
  }
  // Passed on: it may still reach the handler after a stopped report that
  // is made meanwhile, as a control already on its way does.
  std::lock_guard<std::recursive_mutex> dispatcher(g_dispatcher_lock);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_state.handler_entries;
    g_changed.notify_all();
  }
  t_in_handler = true;
  if (handler) handler(control);
  t_in_handler = false;
  return 0;
}

bool wait_for_handler_entries(int count, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(
      lock, limit, [count] { return g_state.handler_entries >= count; });
}

std::vector<platform::ServiceStatus> reports() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.reports;
}

bool wait_for_report(uint32_t state, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(g_mutex);
  return g_changed.wait_for(lock, limit, [state] {
    for (const auto& report : g_state.reports) {
      if (report.dwCurrentState == state) return true;
    }
    return false;
  });
}

void set_hook(Point point, std::function<void()> hook) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.hooks[point] = std::move(hook);
}

std::vector<std::string> events() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.events;
}

std::vector<std::string> violations() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.violations;
}

}  // namespace fake

namespace platform {

uint32_t open_machine_key(const char* path, KeyHandle* key) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (std::strcmp(path, "SOFTWARE\\quorvel-client") != 0) {
    return kErrorFileNotFound;
  }
  if (g_state.key_open_result == kErrorSuccess) {
    *key = &g_key_tag;
    ++g_state.keys_open;
  }
  return g_state.key_open_result;
}

uint32_t query_value(KeyHandle key, const char* name, uint32_t* type,
                     unsigned char* data, uint32_t* size) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (key != &g_key_tag || g_state.keys_open <= 0) {
    g_state.violations.push_back("query on a key that is not open");
  }
  // Windows leaves the buffer undefined after a failed query; junk makes a
  // reader that trusts it visible.
  auto forced = g_state.query_errors.find(name);
  if (forced != g_state.query_errors.end()) {
    std::memset(data, 0x5A, *size);
    return forced->second;
  }
  auto found = g_state.values.find(name);
  if (found == g_state.values.end()) return kErrorFileNotFound;
  const Value& value = found->second;
  *type = value.type;
  const uint32_t needed = static_cast<uint32_t>(value.bytes.size());
  if (needed > *size) {
    std::memset(data, 0x5A, *size);
    *size = needed;
    return kErrorMoreData;
  }
  std::memcpy(data, value.bytes.data(), needed);
  *size = needed;
  return kErrorSuccess;
}

void close_key(KeyHandle key) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (key != &g_key_tag || g_state.keys_open <= 0) {
    g_state.violations.push_back("close of a key that is not open");
    return;
  }
  --g_state.keys_open;
}

const char* command_line() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_state.command_line.c_str();
}

Handle create_client_job() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_state.job_error) return nullptr;
  g_state.objects.push_back(Object{Object::Kind::kJob});
  return &g_state.objects.back();
}

uint32_t start_process(char* command, const char* working_directory,
                       Handle job, Handle* process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const bool in_job = job && find(job, Object::Kind::kJob, "start in a job");
  g_state.starts.push_back({command, working_directory, in_job});
  if (g_state.start_error != 0) return g_state.start_error;
  g_state.objects.push_back(Object{Object::Kind::kProcess});
  g_state.last_process = &g_state.objects.back();
  *process = g_state.last_process;
  return kErrorSuccess;
}

void terminate_process(Handle process, uint32_t exit_code) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Object* object = find(process, Object::Kind::kProcess, "terminate");
  if (!object) return;
  if (++object->terminate_calls == 1 && !g_state.reports.empty()) {
    object->state_when_terminated = g_state.reports.back().dwCurrentState;
  }
  // As Windows: the first end stands.
  if (object->signalled || object->terminating) return;
  object->exit_code = exit_code;
  object->terminating = true;
  if (g_state.hold_terminated) return;
  // TerminateProcess returns before the process has gone: its end comes
  // from elsewhere, whenever that thread gets to it.
  g_enders.emplace_back([object] {
    std::lock_guard<std::mutex> ender_lock(g_mutex);
    object->signalled = true;
    object->ended_at_ms = g_state.clock_ms;
    g_changed.notify_all();
  });
}

bool wait_for_end(Handle process, uint32_t milliseconds) {
  int64_t deadline = 0;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!find(process, Object::Kind::kProcess, "wait for end")) return false;
    deadline = g_state.clock_ms + milliseconds;
  }
  run_hook(fake::Point::kEndWaitStarted);
  std::unique_lock<std::mutex> lock(g_mutex);
  Object* object = static_cast<Object*>(process);
  g_changed.wait(lock, [&] {
    return object->signalled || g_state.clock_ms >= deadline;
  });
  // An end after the deadline, on the clock, came too late for this wait,
  // even when the test moved the clock and ended the client in one go.
  const bool in_time = object->signalled && object->ended_at_ms <= deadline;
  if (!in_time) object->end_wait_expired = true;
  return in_time;
}

void close_handle(Handle handle) {
  run_hook(fake::Point::kClosingHandle);
  std::lock_guard<std::mutex> lock(g_mutex);
  for (Object& object : g_state.objects) {
    if (&object == handle) {
      if (object.closed) g_state.violations.push_back("handle closed twice");
      object.closed = true;
      return;
    }
  }
  g_state.violations.push_back("close of an unknown handle");
}

uint32_t process_id(Handle /*process*/) { return 4001; }

uint32_t exit_code(Handle process) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const Object* object = find(process, Object::Kind::kProcess, "exit code");
  return object && object->signalled ? object->exit_code : 259;
}

std::string error_text(uint32_t error) {
  // Windows' own text for 193 has an insert, left in as FormatMessage
  // leaves it.
  if (error == 193) return "%1 is not a valid Win32 application.";
  return "text of " + std::to_string(error);
}

Handle create_stop_event(uint32_t* error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_state.event_error != 0) {
    *error = g_state.event_error;
    return nullptr;
  }
  g_state.objects.push_back(Object{Object::Kind::kEvent});
  return &g_state.objects.back();
}

void signal_event(Handle event) {
  run_hook(fake::Point::kBeforeSignal);
  std::lock_guard<std::mutex> lock(g_mutex);
  Object* object = find(event, Object::Kind::kEvent, "signal");
  if (!object) return;
  object->signalled = true;
  g_changed.notify_all();
}

uint32_t wait_for_either(Handle first, Handle second, uint32_t* error) {
  uint32_t result;
  {
    std::unique_lock<std::mutex> lock(g_mutex);
    Object* objects[2] = {nullptr, nullptr};
    const Handle handles[2] = {first, second};
    bool valid = true;
    for (int i = 0; i < 2; ++i) {
      for (Object& object : g_state.objects) {
        if (&object == handles[i] && !object.closed) objects[i] = &object;
      }
      valid = valid && objects[i] != nullptr;
    }
    if (g_state.wait_error != 0 || !valid) {
      *error = g_state.wait_error != 0 ? g_state.wait_error
                                       : kErrorInvalidHandle;
      result = kWaitFailed;
    } else {
      g_changed.wait(lock, [&] {
        return objects[0]->signalled || objects[1]->signalled;
      });
      result = kWaitObject0 + (objects[0]->signalled ? 0 : 1);
    }
    g_state.last_wait_result = result;
    g_changed.notify_all();
  }
  run_hook(fake::Point::kWaitReturned);
  return result;
}

uint32_t run_dispatcher(const char* name, ServiceMainRoutine main) {
  std::function<void()> controller;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_state.dispatcher_error != 0) return g_state.dispatcher_error;
    g_state.service_name = name;
    controller = g_state.controller;
  }
  // Whatever is stuck (the controller in a control, the dispatcher waiting
  // for the stopped report, or service_main), the watchdog sees it.
  g_watchdog = std::thread([] {
    std::unique_lock<std::mutex> lock(g_mutex);
    wait_or_die(lock, [] { return g_state.service_returned && g_state.stopped_report_done; },
                "the run did not end");
  });
  g_service_thread = std::thread([main] {
    char service_name[] = "quorvel-client";
    char parameter[] = "--start-parameter";
    char* argv[] = {service_name, parameter, nullptr};
    main(2, argv);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_state.service_returned = true;
    g_changed.notify_all();
  });
  if (controller) controller();
  std::unique_lock<std::mutex> lock(g_mutex);
  wait_or_die(lock, [] { return g_state.stopped_report_done; },
              "no stopped report");
  return kErrorSuccess;
}

StatusHandle register_control_handler(const char* name,
                                      ControlHandlerRoutine handler) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_state.service_name != name) {
    g_state.violations.push_back("handler registered under another name");
  }
  g_state.handler = handler;
  return &g_status_handle_tag;
}

void report_status(StatusHandle handle, const ServiceStatus& status) {
  const bool stopped = status.dwCurrentState == kServiceStopped;
  if (stopped) run_hook(fake::Point::kBeforeStoppedReport);
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (handle != &g_status_handle_tag) {
      g_state.violations.push_back("report through an unknown handle");
    }
    if (!g_state.reports.empty() &&
        g_state.reports.back().dwCurrentState == kServiceStopped) {
      g_state.violations.push_back("report after the stopped report");
    }
    for (const Object& object : g_state.objects) {
      if (stopped && object.terminating && !object.signalled &&
          !object.end_wait_expired) {
        g_state.violations.push_back("stopped report while the client asked to end still runs");
      }
    }
    g_state.reports.push_back(status);
    g_changed.notify_all();
  }
  if (!stopped) return;
  run_hook(fake::Point::kStoppedReport);
  // Having passed the report on, the dispatcher's lock, to tell its main
  // loop that the service has stopped; the dispatcher then returns.
  std::lock_guard<std::recursive_mutex> dispatcher(g_dispatcher_lock);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_state.stopped_report_done = true;
  g_changed.notify_all();
}

void write_event(const char* source, uint16_t type, uint32_t id,
                 const char* const* strings, uint16_t count) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (t_in_handler) g_state.violations.push_back("event written from the handler");
    if (!g_state.reports.empty() && g_state.reports.back().dwCurrentState == kServiceStopped) {
      g_state.violations.push_back("event written after the stopped report");
    }
    // ReportEvent takes 31,839 characters in one string; the strings of an
    // entry share one record with the source's name and the computer's, here
    // the longest a DNS name may be (255). Windows refuses a longer entry,
    // and it is gone.
    constexpr size_t kLongestComputerName = 255;
    size_t size = std::strlen(source) + 1 + kLongestComputerName + 1;
    for (uint16_t i = 0; i < count; ++i) size += std::strlen(strings[i]) + 1;
    if (size > 31839) {
      g_state.violations.push_back("entry " + std::to_string(id) + " too long for ReportEvent: " +
                                   std::to_string(size) + " characters");
      return;
    }
    g_state.events.push_back(std::string(source) + " " + std::to_string(type) + "/" + std::to_string(id));
    for (uint16_t i = 0; i < count; ++i) g_state.events.back() += std::string("|") + strings[i];
  }
  run_hook(fake::Point::kEventWritten);
}

}  // namespace platform
