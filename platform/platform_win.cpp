// The Windows side of platform.h. Every call captures GetLastError on the
// line after the failing call, before anything else can overwrite it.
#include "platform/platform.h"

#include <windows.h>

namespace platform {

static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(kErrorMoreData == ERROR_MORE_DATA);
static_assert(kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(kErrorProcessAborted == ERROR_PROCESS_ABORTED);
static_assert(kRegNone == REG_NONE && kRegString == REG_SZ &&
              kRegExpandString == REG_EXPAND_SZ && kRegBinary == REG_BINARY &&
              kRegDword == REG_DWORD && kRegMultiString == REG_MULTI_SZ);
static_assert(kWaitObject0 == WAIT_OBJECT_0 && kWaitFailed == WAIT_FAILED);
static_assert(kServiceWin32OwnProcess == SERVICE_WIN32_OWN_PROCESS);
static_assert(kServiceStopped == SERVICE_STOPPED &&
              kServiceStartPending == SERVICE_START_PENDING &&
              kServiceStopPending == SERVICE_STOP_PENDING &&
              kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceAcceptStop == SERVICE_ACCEPT_STOP &&
              kServiceAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP &&
              kServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE &&
              kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN);
static_assert(sizeof(ServiceStatus) == sizeof(SERVICE_STATUS));
static_assert(kEventError == EVENTLOG_ERROR_TYPE &&
              kEventWarning == EVENTLOG_WARNING_TYPE &&
              kEventInformation == EVENTLOG_INFORMATION_TYPE);

uint32_t open_machine_key(const char* path, KeyHandle* key) {
  HKEY opened = nullptr;
  const LONG result =
      RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &opened);
  if (result == ERROR_SUCCESS) *key = opened;
  return static_cast<uint32_t>(result);
}

uint32_t query_value(KeyHandle key, const char* name, uint32_t* type,
                     unsigned char* data, uint32_t* size) {
  DWORD value_type = REG_NONE;
  DWORD value_size = *size;
  const LONG result = RegQueryValueExA(static_cast<HKEY>(key), name, nullptr,
                                       &value_type, data, &value_size);
  *type = value_type;
  *size = value_size;
  return static_cast<uint32_t>(result);
}

void close_key(KeyHandle key) { RegCloseKey(static_cast<HKEY>(key)); }

const char* command_line() { return GetCommandLineA(); }

Handle create_client_job() {
  // Not inheritable, and never closed by the launcher: closing it would end
  // the client, and the process's end closes it anyway.
  HANDLE job = CreateJobObjectA(nullptr, nullptr);
  if (!job) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits))) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

uint32_t start_process(char* command, const char* working_directory,
                       Handle job, Handle* process) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, command, nullptr, nullptr, FALSE,
                      job ? CREATE_SUSPENDED : 0, nullptr, working_directory,
                      &startup, &info)) {
    return GetLastError();
  }
  if (job) {
    // A launcher that is itself in a job that forbids this (before Windows
    // 8, jobs do not nest) cannot tie the client: it then runs untied.
    AssignProcessToJobObject(job, info.hProcess);
    if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
      // A client that cannot run must not be left behind suspended.
      const DWORD error = GetLastError();
      TerminateProcess(info.hProcess, error);
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
      return error;
    }
  }
  // Nobody waits on the client's main thread; only the process is watched.
  CloseHandle(info.hThread);
  *process = info.hProcess;
  return 0;
}

void terminate_process(Handle process, uint32_t exit_code) {
  // On a process that has already ended this fails harmlessly and leaves
  // its own exit code in place.
  TerminateProcess(process, exit_code);
}

bool wait_for_end(Handle process, uint32_t milliseconds) {
  return WaitForSingleObject(process, milliseconds) == WAIT_OBJECT_0;
}

void close_handle(Handle handle) { CloseHandle(handle); }

uint32_t process_id(Handle process) { return GetProcessId(process); }

uint32_t exit_code(Handle process) {
  DWORD code = STILL_ACTIVE;
  GetExitCodeProcess(process, &code);
  return code;
}

std::string error_text(uint32_t error) {
  constexpr DWORD kLongestText = 512;  // system texts are a line or two
  char text[kLongestText];
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      error, 0, text, kLongestText, nullptr);
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) {
    --length;
  }
  return std::string(text, length);
}

Handle create_stop_event(uint32_t* error) {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!event) *error = GetLastError();
  return event;
}

void signal_event(Handle event) { SetEvent(event); }

uint32_t wait_for_either(Handle first, Handle second, uint32_t* error) {
  const HANDLE handles[2] = {first, second};
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
  if (result == WAIT_FAILED) *error = GetLastError();
  return result;
}

namespace {

// Written once by run_dispatcher before the dispatcher starts, read by the
// trampolines below on the threads the dispatcher runs them on.
ServiceMainRoutine g_service_main = nullptr;
ControlHandlerRoutine g_control_handler = nullptr;

// The dispatcher calls through the WINAPI convention; the launcher's routines
// use the plain one.
void WINAPI service_main_trampoline(DWORD argc, LPSTR* argv) {
  g_service_main(argc, argv);
}

void WINAPI control_handler_trampoline(DWORD control) {
  g_control_handler(control);
}

}  // namespace

uint32_t run_dispatcher(const char* name, ServiceMainRoutine main) {
  g_service_main = main;
  SERVICE_TABLE_ENTRYA table[2] = {};
  table[0].lpServiceName = const_cast<char*>(name);
  table[0].lpServiceProc = service_main_trampoline;
  if (!StartServiceCtrlDispatcherA(table)) return GetLastError();
  return 0;
}

StatusHandle register_control_handler(const char* name,
                                      ControlHandlerRoutine handler) {
  g_control_handler = handler;
  return RegisterServiceCtrlHandlerA(name, control_handler_trampoline);
}

void report_status(StatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS record;
  record.dwServiceType = status.dwServiceType;
  record.dwCurrentState = status.dwCurrentState;
  record.dwControlsAccepted = status.dwControlsAccepted;
  record.dwWin32ExitCode = status.dwWin32ExitCode;
  record.dwServiceSpecificExitCode = status.dwServiceSpecificExitCode;
  record.dwCheckPoint = status.dwCheckPoint;
  record.dwWaitHint = status.dwWaitHint;
  SetServiceStatus(static_cast<SERVICE_STATUS_HANDLE>(handle), &record);
}

void write_event(const char* source, uint16_t type, uint32_t id,
                 const char* const* strings, uint16_t count) {
  HANDLE log = RegisterEventSourceA(nullptr, source);
  if (!log) return;
  // ReportEventA takes the strings as LPCSTR* but only reads them.
  ReportEventA(log, type, 0, id, nullptr, count, 0,
               const_cast<const char**>(strings), nullptr);
  DeregisterEventSource(log);
}

}  // namespace platform
