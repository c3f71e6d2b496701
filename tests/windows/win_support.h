// Helpers for the Windows-side tests: the test client's installation and
// record, the launcher's settings in the real registry, running a program
// with its output redirected, and the real service manager.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace wintest {

// quorvel_launcher.exe and quorvel_test_client.exe sit beside the tests.
std::string build_dir();
std::string launcher_path();

// C:\ProgramData\Quorvel\service\bin\v<version>
std::string client_dir(const std::string& version);
// Copies the test client there as quorvel_client.exe; clears its record.
void install_client(const std::string& version);
void clear_record(const std::string& version);

struct Record {
  DWORD pid = 0;
  std::string cmdline;
  std::string cwd;
  std::string env;
  long long parent_exit = -1;
  DWORD spawned = 0;     // the child it started (--spawn)
  double ends_at = 0;    // when it ends by itself (--exit-after), now_ms()
  int handle_valid = -1;      // --probe-handle: 1 valid, 0 not
  int main_thread_held = -1;  // --probe-main-thread: 1 held elsewhere, 0 not
  unsigned long long guard = 0;  // its stack guard
};
// Polls (bounded) for the client's whole record; false when none came in
// time. A record that cannot be opened yet or lacks its end line is read
// again.
bool wait_record(const std::string& version, Record* record,
                 DWORD timeout_ms = 10000);
// The whole file, opened sharing everything; false when it cannot be opened.
bool read_shared(const std::string& path, std::string* text);

// HKLM\SOFTWARE\quorvel-client through the real registry API.
void delete_settings();
void set_setting(const char* name, DWORD type, const std::string& bytes);
void set_settings(const std::string& version, const std::string& install_dir);

// Wine's process creation now and then fails with ERROR_INTERNAL_ERROR
// (1359), whatever the program: seen here about once in 1,500 service runs,
// when the service manager started the launcher, when the launcher started
// its client (the service then reports, rightly, STOPPED(1066,1359)), and
// when a test started the launcher. What the tests start is started again
// on that error alone, up to kTries times in all; the stress runs count
// such runs apart.
constexpr DWORD kRefusedByWine = 1359;
constexpr int kTries = 3;

// CreateProcessA(nullptr, command, ..., inherit, 0, nullptr, directory,
// startup, info), tried again while Wine refuses it. 0, or the last error.
DWORD create_process(std::string command, bool inherit, const char* directory,
                     STARTUPINFOA* startup, PROCESS_INFORMATION* info);

struct RunResult {
  bool finished = false;  // ended within the time-out (else it was killed)
  DWORD exit_code = 0;    // the full 32-bit code
  std::string output;     // its standard output, byte for byte
  DWORD elapsed_ms = 0;
  DWORD create_error = 0; // why it could not be started, if it was not
};
// Runs `command_line` with standard output redirected to a file, in
// `directory` (or this process's own), with QUORVEL_TEST_ENV set to
// `environment_value` (or unset). Started with create_process.
RunResult run(const std::string& command_line, DWORD timeout_ms = 20000,
              const char* environment_value = nullptr,
              const char* directory = nullptr);

// Creates the service `name` anew (stopping and deleting an earlier one)
// with `binary_path`. Returns an open handle with all access.
SC_HANDLE install_service(const std::string& binary_path,
                          const char* name = "quorvel-client");
// The launcher registered as the service, with `extra` after the switch.
std::string service_command(const std::string& extra, bool with_switch = true,
                            const std::string& launcher = launcher_path());
// A copy of the launcher at a fixed path shorter than any client's, made on
// first use, for tests whose outcome depends on the length of the
// launcher's own path: the same wherever the checkout lives.
std::string short_launcher_path();

// A status the service reported, as the service manager passed it on.
struct Observed {
  DWORD state;
  DWORD exit_code;
  DWORD specific;
  DWORD pid;
  DWORD controls;       // dwControlsAccepted
  bool client_running;  // a quorvel_client.exe child of `pid` existed then
  double at_ms;         // when it was seen, on the now_ms() clock
};

// Milliseconds on a monotonic high-resolution clock.
double now_ms();

// Starts watching the service for status changes, runs `action`, and
// collects every change seen until `until_state` or a stopped state arrives,
// or `timeout_ms` passes. With `then_action`, reaching `until_state` does not
// end the watch: `then_action` runs `then_after_ms` later, given what has
// been seen so far, and the watch goes on until the stopped state.
std::vector<Observed> watch(const std::function<void()>& action,
                            DWORD until_state = SERVICE_STOPPED,
                            DWORD timeout_ms = 20000,
                            const std::function<void(const std::vector<Observed>&)>& then_action = nullptr,
                            DWORD then_after_ms = 0,
                            const char* service_name = "quorvel-client");
// StartServiceA, tried again while Wine refuses to create the launcher's
// process (no status is reported for such a start). 0, or the last error.
DWORD start_service(SC_HANDLE service, DWORD argc = 0,
                    const char** argv = nullptr);
// A watch (as above) of the service's start until `until_state`, run again
// when the run ended in STOPPED(1066,1359), Wine refusing the client's
// creation. The start's error, if any, goes to `start_error`.
std::vector<Observed> watch_start(SC_HANDLE service, DWORD until_state,
                                  DWORD* start_error = nullptr,
                                  const char* parameter = nullptr);
// Waits (bounded polling) until the service is in `state`.
bool wait_state(SC_HANDLE service, DWORD state, DWORD timeout_ms = 20000);

std::string describe(const std::vector<Observed>& seen);

// One run of the service `service`, whose client (of `version`) ends by
// itself with --exit-after, with a stop request sent `offset_ms` from the
// client's own end: before it when negative, after it otherwise.
struct AimedStop {
  std::vector<Observed> seen;   // from the start to the stopped state
  double request_ms = -1;       // the stop request's round trip
  DWORD request_error = 0;      // the request's error, if it failed
  bool launcher_exited = false; // within 2 s of the stopped state
  bool client_ended = false;    // within 2 s of the stopped state
  std::string trouble;          // what kept the harness from aiming, if any
  DWORD start_error = 0;        // StartService's error, if it failed
  bool ran = false;             // RUNNING was reported and a stop aimed;
                                // otherwise the exits above say nothing
};
// True when Wine's refusal (see kRefusedByWine), and nothing else, kept
// `run` from running; aimed stops count such runs apart rather than retry.
bool refused_by_process_creation(const AimedStop& run);
AimedStop aimed_stop(SC_HANDLE service, const std::string& version,
                     double offset_ms);

// The base names, in lower case, of the modules loaded in process `pid`
// (its own image included), read from the process itself; empty when it
// cannot be read.
std::vector<std::string> loaded_modules(DWORD pid);
// True when this runs under Wine (its ntdll exports wine_get_version).
// The few results where Wine differs from Windows are expected per host.
bool on_wine();

// Enables SeDebugPrivilege in this process's token (an administrator's
// holds it disabled), so that the launcher's and its client's processes,
// which run as LocalSystem, can be opened with any access. False when it
// could not be enabled.
bool hold_debug_privilege();

// The launcher's entries in the Application log, source "quorvel-client".
// On Windows they are read from the log itself; under Wine, which keeps no
// log, from the trace start_wine (scripts/lib.sh) collects of ReportEventW.
constexpr char kEventSource[] = "quorvel-client";

struct EventEntry {
  std::string source;
  DWORD id = 0;     // the event id as written, severity bits included
  WORD type = 0;    // EVENTLOG_ERROR_TYPE, _WARNING_TYPE, _INFORMATION_TYPE
  std::vector<std::string> strings;  // in the ANSI code page
  // Per string: Wine's trace kept only its start (its debug output stops
  // after about 300 characters); `strings` then holds that start.
  std::vector<bool> shortened;
  // The text a reader of the log shows: the message of `id` in the message
  // file registered for the source (EventMessageFile), with the strings
  // inserted. Empty when it cannot be made: no such registration or
  // message, or a string that Wine's trace shortened.
  std::string text;
  // 1: the source was let go after the entry (DeregisterEventSource in
  // Wine's trace); 0: not seen in the trace; -1: not known (Windows' log
  // does not record it).
  int released = -1;
};

// Where the log stands now; entries written later are "since" it.
// `trouble` says why the log (or Wine's trace) cannot be read, if so.
struct EventMark {
  unsigned long long at = 0;  // Windows: the newest record number;
                              // Wine: the trace's size
  std::string trouble;
};
EventMark event_mark();
// The source's entries written after `mark`, oldest first, read again
// (bounded) until at least `at_least` are there. Under Wine an entry 2 of
// a run whose client Wine refused to create (error kRefusedByWine) is left
// out: watch_start starts such a run again.
std::vector<EventEntry> events_since(const EventMark& mark, size_t at_least = 0,
                                     DWORD timeout_ms = 5000);
std::string describe(const std::vector<EventEntry>& entries);

// Registers the source as docs/operations.md (section 1) and the package
// do: the key quorvel-client under HKLM\SYSTEM\CurrentControlSet\Services
// \EventLog\Application, EventMessageFile = `message_file`
// (REG_EXPAND_SZ), TypesSupported = 7. False when the key cannot be
// written. remove_event_source deletes the key, as the tests delete the
// service and the settings they set up.
bool register_event_source(const std::string& message_file);
void remove_event_source();

// True while a process with this id runs.
bool process_alive(DWORD pid);
// Number of quorvel_client.exe processes now running; with `parent`, only
// those started by that process.
int client_process_count(DWORD parent = 0);
// Ends every quorvel_client.exe still running (a test's safety net).
void end_all_clients();

}  // namespace wintest
