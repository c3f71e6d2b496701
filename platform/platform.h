// The operations the launcher and the service host need from Windows, in the
// launcher's own terms. platform_win.cpp implements them over the Windows API;
// the unit tests link a scripted fake in its place. Nothing outside platform/
// includes <windows.h>.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// A kernel object (process or event); nullptr means none.
using Handle = void*;
// An open registry key.
using KeyHandle = void*;
// The handle that status reports go through.
using StatusHandle = void*;

// Windows values the logic decides on, kept here so that it builds without
// <windows.h>; platform_win.cpp checks each against the real definition.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorServiceSpecificError = 1066;
inline constexpr uint32_t kErrorProcessAborted = 1067;

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegString = 1;        // REG_SZ
inline constexpr uint32_t kRegExpandString = 2;  // REG_EXPAND_SZ
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiString = 7;

inline constexpr uint32_t kWaitObject0 = 0;
inline constexpr uint32_t kWaitFailed = 0xFFFFFFFF;

inline constexpr uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kServiceAcceptStop = 1;
inline constexpr uint32_t kServiceAcceptShutdown = 4;
inline constexpr uint32_t kServiceControlStop = 1;
inline constexpr uint32_t kServiceControlInterrogate = 4;
inline constexpr uint32_t kServiceControlShutdown = 5;

inline constexpr uint16_t kEventError = 1;        // EVENTLOG_ERROR_TYPE
inline constexpr uint16_t kEventWarning = 2;      // EVENTLOG_WARNING_TYPE
inline constexpr uint16_t kEventInformation = 4;  // EVENTLOG_INFORMATION_TYPE

// Same fields, order and meaning as the Windows SERVICE_STATUS record.
struct ServiceStatus {
  uint32_t dwServiceType;
  uint32_t dwCurrentState;
  uint32_t dwControlsAccepted;
  uint32_t dwWin32ExitCode;
  uint32_t dwServiceSpecificExitCode;
  uint32_t dwCheckPoint;
  uint32_t dwWaitHint;
};

using ServiceMainRoutine = void (*)(uint32_t argc, char** argv);
using ControlHandlerRoutine = void (*)(uint32_t control);

// --- Registry (read only) ---------------------------------------------------

// Opens `path` under HKEY_LOCAL_MACHINE with KEY_READ (the 64-bit view).
// Returns 0 and sets *key, or the Windows error code.
uint32_t open_machine_key(const char* path, KeyHandle* key);

// RegQueryValueExA on `key`. On entry *size is the capacity of `data`; on
// return it is the byte count stored (or needed, with kErrorMoreData) and
// *type the value's type. Returns 0 or the Windows error code; after an
// error the contents of `data` are undefined.
uint32_t query_value(KeyHandle key, const char* name, uint32_t* type,
                     unsigned char* data, uint32_t* size);

void close_key(KeyHandle key);

// --- Processes --------------------------------------------------------------

// The process's whole command line, valid for the life of the process.
const char* command_line();

// A job that ends the processes in it when its last handle is closed, so at
// the latest when the launcher's process ends, however it ends. Processes
// that they start themselves leave it silently. nullptr when it cannot be
// set up.
Handle create_client_job();

// Starts `command` (a writable buffer; its quoted first token names the
// executable) in `working_directory`, inheriting no handles and the
// launcher's environment. With a `job`, the process runs no instruction
// outside it: created suspended, put in the job, then resumed; if it cannot
// be put in the job it runs untied, as without one. Returns 0 and sets
// *process (the thread handle is closed already), or the Windows error code
// with *process untouched.
uint32_t start_process(char* command, const char* working_directory,
                       Handle job, Handle* process);

// Asks for the process's end with `exit_code` and returns at once: the end
// follows when its pending I/O has completed or been cancelled. Does nothing
// to a process that has already ended.
void terminate_process(Handle process, uint32_t exit_code);

// Waits up to `milliseconds` for the process to end. True when it has ended
// (at once for one that had already), false when the time passed first or
// the wait failed.
bool wait_for_end(Handle process, uint32_t milliseconds);

void close_handle(Handle handle);

// The process id of `process`.
uint32_t process_id(Handle process);

// GetExitCodeProcess: the exit code of a process that has ended (259,
// STILL_ACTIVE, while it runs).
uint32_t exit_code(Handle process);

// The system's text for the Windows error `error` (FormatMessage), with its
// inserts (%1) left as they are and without its line end; empty when the
// system has none.
std::string error_text(uint32_t error);

// --- Synchronisation --------------------------------------------------------

// Creates an unnamed manual-reset event, not signalled. Returns nullptr and
// sets *error when it fails.
Handle create_stop_event(uint32_t* error);

void signal_event(Handle event);

// Waits with no time-out until `first` or `second` is signalled. Returns
// kWaitObject0 plus the lowest signalled index, or kWaitFailed with *error set.
uint32_t wait_for_either(Handle first, Handle second, uint32_t* error);

// --- Service control manager ------------------------------------------------

// Connects the calling thread to the service control manager as the
// dispatcher of the one service `name`, run by `main` on a thread of its own.
// Blocks until the service has stopped; returns 0, or the Windows error code
// when it cannot connect.
uint32_t run_dispatcher(const char* name, ServiceMainRoutine main);

// Registers `handler` for `name`; it is called on the dispatcher's thread.
StatusHandle register_control_handler(const char* name,
                                      ControlHandlerRoutine handler);

// Publishes `status` once; the result is not examined.
void report_status(StatusHandle handle, const ServiceStatus& status);

// --- Event log --------------------------------------------------------------

// Writes one entry of `type` and `id` with `count` strings (ANSI, passed on
// as they are) to the Application log under `source`, registered for this
// call only. A source that cannot be registered or an entry that cannot be
// written is ignored.
void write_event(const char* source, uint16_t type, uint32_t id,
                 const char* const* strings, uint16_t count);

}  // namespace platform
