#include "tests/windows/win_support.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <sstream>

namespace wintest {

namespace {

constexpr char kSettingsKey[] = "SOFTWARE\\quorvel-client";

void make_dirs(const std::string& path) {
  for (size_t i = 3; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '\\') {
      CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
  }
}

constexpr DWORD kAllStates = 0x7F;

struct WatchState {
  std::vector<Observed> seen;
  bool pending = false;
  bool failed = false;
};

void CALLBACK on_status_change(void* parameter) {
  auto* notify = static_cast<SERVICE_NOTIFYW*>(parameter);
  auto* state = static_cast<WatchState*>(notify->pContext);
  state->pending = false;
  if (notify->dwNotificationStatus != ERROR_SUCCESS) {
    state->failed = true;
    return;
  }
  const SERVICE_STATUS_PROCESS& s = notify->ServiceStatus;
  state->seen.push_back({s.dwCurrentState, s.dwWin32ExitCode,
                         s.dwServiceSpecificExitCode, s.dwProcessId,
                         s.dwControlsAccepted,
                         client_process_count(s.dwProcessId) > 0, now_ms()});
}

}  // namespace

double now_ms() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

std::string build_dir() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  dir.resize(dir.find_last_of('\\'));
  return dir;
}

std::string launcher_path() { return build_dir() + "\\quorvel_launcher.exe"; }

std::string client_dir(const std::string& version) {
  return "C:\\ProgramData\\Quorvel\\service\\bin\\v" + version;
}

void clear_record(const std::string& version) {
  DeleteFileA((client_dir(version) + "\\record.txt").c_str());
}

void install_client(const std::string& version) {
  const std::string dir = client_dir(version);
  make_dirs(dir);
  CopyFileA((build_dir() + "\\quorvel_test_client.exe").c_str(),
            (dir + "\\quorvel_client.exe").c_str(), FALSE);
  clear_record(version);
}

// The whole file, or false when it cannot be opened. It is opened sharing
// everything: the handle through which a writer moved the file into place
// may still be open with delete access, and an open that does not share
// deletion fails until it is closed (what std::ifstream would do).
bool read_shared(const std::string& path, std::string* text) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  text->clear();
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0) {
    text->append(chunk, got);
  }
  CloseHandle(file);
  return true;
}

bool wait_record(const std::string& version, Record* record,
                 DWORD timeout_ms) {
  const std::string path = client_dir(version) + "\\record.txt";
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  std::string text;
  // The client closes its record with this line.
  static const std::string kEnd = "\nend=1\n";
  while (!read_shared(path, &text) || text.size() < kEnd.size() ||
         text.compare(text.size() - kEnd.size(), kEnd.size(), kEnd) != 0) {
    if (GetTickCount64() > deadline) return false;
    Sleep(10);
  }
  *record = Record();
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "pid") record->pid = std::stoul(value);
    if (key == "cmdline") record->cmdline = value;
    if (key == "cwd") record->cwd = value;
    if (key == "env") record->env = value;
    if (key == "parent_exit") record->parent_exit = std::stoll(value);
    if (key == "spawned") record->spawned = std::stoul(value);
    if (key == "ends_at") record->ends_at = std::stod(value);
    if (key == "handle_valid") record->handle_valid = std::stoi(value);
    if (key == "main_thread_held") record->main_thread_held = std::stoi(value);
    if (key == "guard") record->guard = std::stoull(value);
  }
  return true;
}

void delete_settings() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSettingsKey); }

void set_setting(const char* name, DWORD type, const std::string& bytes) {
  HKEY key = nullptr;
  RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExA(key, name, 0, type,
                 reinterpret_cast<const BYTE*>(bytes.data()),
                 static_cast<DWORD>(bytes.size()));
  RegCloseKey(key);
}

void set_settings(const std::string& version, const std::string& install_dir) {
  delete_settings();
  set_setting("ActiveVersion", REG_SZ, version + '\0');
  set_setting("Install_Dir", REG_SZ, install_dir + '\0');
}

DWORD create_process(std::string command, bool inherit, const char* directory,
                     STARTUPINFOA* startup, PROCESS_INFORMATION* info) {
  DWORD error = 0;
  for (int tries = 0; tries < kTries; ++tries) {
    if (CreateProcessA(nullptr, command.data(), nullptr, nullptr, inherit, 0,
                       nullptr, directory, startup, info)) {
      return 0;
    }
    error = GetLastError();
    if (error != kRefusedByWine) break;
  }
  return error;
}

RunResult run(const std::string& command_line, DWORD timeout_ms,
              const char* environment_value, const char* directory) {
  RunResult result;
  char temp_dir[MAX_PATH], out_path[MAX_PATH];
  GetTempPathA(MAX_PATH, temp_dir);
  GetTempFileNameA(temp_dir, "qlo", 0, out_path);
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  HANDLE out = CreateFileA(out_path, GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = out;
  PROCESS_INFORMATION info = {};
  SetEnvironmentVariableA("QUORVEL_TEST_ENV", environment_value);
  const ULONGLONG started = GetTickCount64();
  result.create_error =
      create_process(command_line, true, directory, &startup, &info);
  SetEnvironmentVariableA("QUORVEL_TEST_ENV", nullptr);
  CloseHandle(out);
  if (result.create_error == 0) {
    CloseHandle(info.hThread);
    result.finished =
        WaitForSingleObject(info.hProcess, timeout_ms) == WAIT_OBJECT_0;
    result.elapsed_ms = static_cast<DWORD>(GetTickCount64() - started);
    if (!result.finished) {
      // TerminateProcess only starts the end on Windows ("asynchronous; it
      // initiates termination and returns immediately"); until it is over,
      // GetExitCodeProcess gives STILL_ACTIVE. Wine ends it before returning.
      TerminateProcess(info.hProcess, 0xDEAD);
      WaitForSingleObject(info.hProcess, 10000);
    }
    GetExitCodeProcess(info.hProcess, &result.exit_code);
    CloseHandle(info.hProcess);
  }
  read_shared(out_path, &result.output);
  DeleteFileA(out_path);
  return result;
}

std::string service_command(const std::string& extra, bool with_switch,
                            const std::string& launcher) {
  std::string command = "\"" + launcher + "\"";
  if (with_switch) command += " -action=service";
  if (!extra.empty()) command += " " + extra;
  return command;
}

std::string short_launcher_path() {
  static const std::string copy = [] {
    const std::string path = "C:\\quorvel short\\quorvel_launcher.exe";
    CreateDirectoryA("C:\\quorvel short", nullptr);
    CopyFileA(launcher_path().c_str(), path.c_str(), FALSE);
    return path;
  }();
  return copy;
}

SC_HANDLE install_service(const std::string& binary_path, const char* name) {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  // A new service each time, so that no status of an earlier run (such as
  // Wine's late 1077 after a process has gone) can reach a later watch.
  if (SC_HANDLE old = OpenServiceA(manager, name, SERVICE_ALL_ACCESS)) {
    SERVICE_STATUS status;
    ControlService(old, SERVICE_CONTROL_STOP, &status);
    wait_state(old, SERVICE_STOPPED);
    DeleteService(old);
    CloseServiceHandle(old);
  }
  SC_HANDLE service = nullptr;
  const ULONGLONG deadline = GetTickCount64() + 20000;
  do {
    service = CreateServiceA(manager, name, name,
                             SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             binary_path.c_str(), nullptr, nullptr, nullptr,
                             nullptr, nullptr);
    if (!service) Sleep(20);  // the old one may still be on its way out
  } while (!service && GetLastError() == ERROR_SERVICE_MARKED_FOR_DELETE &&
           GetTickCount64() < deadline);
  CloseServiceHandle(manager);
  return service;
}

std::vector<Observed> watch(const std::function<void()>& action,
                            DWORD until_state, DWORD timeout_ms,
                            const std::function<void(const std::vector<Observed>&)>& then_action,
                            DWORD then_after_ms, const char* service_name) {
  // A handle of its own, closed at the end, so that no registration outlives
  // the watch; state that a late callback could still reach is left alive.
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, service_name, SERVICE_QUERY_STATUS);
  auto* state = new WatchState;
  auto* notify = new SERVICE_NOTIFYW{};
  notify->dwVersion = SERVICE_NOTIFY_STATUS_CHANGE;
  notify->pfnNotifyCallback = on_status_change;
  notify->pContext = state;

  // Wine's service manager passes each change on once: to the registrations
  // waiting when it happens, or else at once to the next one. A change from
  // before the action (such as the stopped state of a new service) is
  // drained first, so that everything seen afterwards is the action's.
  state->pending =
      NotifyServiceStatusChangeW(service, kAllStates, notify) == ERROR_SUCCESS;
  const ULONGLONG drain_until = GetTickCount64() + 1000;
  while (state->pending && GetTickCount64() < drain_until) {
    SleepEx(static_cast<DWORD>(drain_until - GetTickCount64()) + 1, TRUE);
  }
  if (!state->pending) {
    state->seen.clear();
    state->pending = NotifyServiceStatusChangeW(service, kAllStates, notify) ==
                     ERROR_SUCCESS;
  }
  action();
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  ULONGLONG then_at = 0;  // when then_action is due; 0: not scheduled
  while (state->pending) {
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    if (then_at && now >= then_at) {
      then_at = 0;
      then_action(state->seen);
      continue;
    }
    const ULONGLONG wake = then_at ? std::min(then_at, deadline) : deadline;
    SleepEx(static_cast<DWORD>(wake - now), TRUE);
    if (state->pending) continue;
    if (state->seen.empty() || state->failed) break;
    const DWORD last = state->seen.back().state;
    if (last == SERVICE_STOPPED) break;
    if (last == until_state) {
      if (!then_action) break;
      then_at = GetTickCount64() + then_after_ms;
    }
    state->pending = NotifyServiceStatusChangeW(service, kAllStates, notify) ==
                     ERROR_SUCCESS;
  }
  std::vector<Observed> seen = state->seen;
  const bool still_registered = state->pending;
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
  if (!still_registered) {
    delete notify;
    delete state;
  }
  return seen;
}

DWORD start_service(SC_HANDLE service, DWORD argc, const char** argv) {
  DWORD error = 0;
  for (int tries = 0; tries < kTries; ++tries) {
    if (StartServiceA(service, argc, argv)) return 0;
    error = GetLastError();
    if (error != kRefusedByWine) break;
  }
  return error;
}

std::vector<Observed> watch_start(SC_HANDLE service, DWORD until_state,
                                  DWORD* start_error, const char* parameter) {
  const char* args[] = {parameter};
  std::vector<Observed> seen;
  for (int tries = 0; tries < kTries; ++tries) {
    DWORD error = 0;
    seen = watch([&] { error = start_service(service, parameter ? 1 : 0,
                                             parameter ? args : nullptr); },
                 until_state);
    if (start_error) *start_error = error;
    if (describe(seen) != "STOPPED(1066," + std::to_string(kRefusedByWine) + ")") break;
  }
  return seen;
}

bool wait_state(SC_HANDLE service, DWORD state, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  SERVICE_STATUS status = {};
  while (QueryServiceStatus(service, &status) && status.dwCurrentState != state) {
    if (GetTickCount64() > deadline) return false;
    Sleep(10);
  }
  return status.dwCurrentState == state;
}

std::string describe(const std::vector<Observed>& seen) {
  static const char* const names[] = {"?", "STOPPED", "START_PENDING",
                                      "STOP_PENDING", "RUNNING"};
  std::string text;
  for (const Observed& o : seen) {
    if (!text.empty()) text += " -> ";
    text += o.state <= 4 ? names[o.state] : std::to_string(o.state);
    if (o.state == SERVICE_STOPPED) {
      text += "(" + std::to_string(o.exit_code) + "," +
              std::to_string(o.specific) + ")";
    }
  }
  return text;
}

AimedStop aimed_stop(SC_HANDLE service, const std::string& version,
                     double offset_ms) {
  AimedStop result;
  clear_record(version);
  // Opened from the pids while the processes may still run; a pid that no
  // longer opens is a process that has gone and been released already.
  HANDLE launcher = nullptr, client = nullptr;
  bool launcher_gone = false, client_gone = false;
  result.seen = watch(
      [&] {
        if (!StartServiceA(service, 0, nullptr)) {
          result.start_error = GetLastError();
          result.trouble = "the start failed with " + std::to_string(result.start_error);
        }
      },
      SERVICE_RUNNING, 20000,
      [&](const std::vector<Observed>& seen) {
        result.ran = true;
        launcher = OpenProcess(SYNCHRONIZE, FALSE, seen.back().pid);
        launcher_gone = !launcher;
        Record record;
        if (!wait_record(version, &record) || record.pid == 0) {
          result.trouble = "no record from the client";
          return;
        }
        client = OpenProcess(SYNCHRONIZE, FALSE, record.pid);
        client_gone = !client;
        double at = record.ends_at + offset_ms;
        if (offset_ms >= 0) {
          if (client) WaitForSingleObject(client, 20000);
          at = now_ms() + offset_ms;
        }
        if (now_ms() > at + 1) result.trouble = "aimed too late";
        // Sleep to just short of the moment, then spin: Sleep is too coarse.
        while (now_ms() < at - 3) Sleep(1);
        while (now_ms() < at) {
        }
        SERVICE_STATUS ignored;
        const double asked = now_ms();
        if (!ControlService(service, SERVICE_CONTROL_STOP, &ignored)) {
          result.request_error = GetLastError();
        }
        result.request_ms = now_ms() - asked;
      });
  result.launcher_exited =
      launcher_gone ||
      (launcher && WaitForSingleObject(launcher, 2000) == WAIT_OBJECT_0);
  result.client_ended =
      client_gone ||
      (client && WaitForSingleObject(client, 2000) == WAIT_OBJECT_0);
  if (launcher) CloseHandle(launcher);
  if (client) CloseHandle(client);
  return result;
}

bool refused_by_process_creation(const AimedStop& run) {
  return !run.ran && (run.start_error == kRefusedByWine ||
                      describe(run.seen) ==
                          "STOPPED(1066," + std::to_string(kRefusedByWine) + ")");
}

std::vector<std::string> loaded_modules(DWORD pid) {
  hold_debug_privilege();
  std::vector<std::string> names;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!process) return names;
  HMODULE modules[256];
  DWORD needed = 0;
  if (EnumProcessModules(process, modules, sizeof(modules), &needed)) {
    const DWORD count = std::min<DWORD>(static_cast<DWORD>(needed / sizeof(HMODULE)), 256);
    for (DWORD i = 0; i < count; ++i) {
      char name[MAX_PATH];
      name[GetModuleBaseNameA(process, modules[i], name, MAX_PATH - 1)] = '\0';
      names.push_back(_strlwr(name));
    }
  }
  CloseHandle(process);
  return names;
}

bool on_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") !=
         nullptr;
}

// OpenProcess: "To open a handle to another local process and obtain full
// access rights, you must enable the SeDebugPrivilege privilege." Without
// it an administrator may be refused reading or ending a LocalSystem
// process.
bool hold_debug_privilege() {
  static const bool held = [] {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &token)) {
      return false;
    }
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    bool enabled = LookupPrivilegeValueA(nullptr, "SeDebugPrivilege",
                                         &privileges.Privileges[0].Luid) &&
                   AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr,
                                         nullptr);
    // It succeeds also when the token lacks the privilege, saying so here.
    enabled = enabled && GetLastError() == ERROR_SUCCESS;
    CloseHandle(token);
    return enabled;
  }();
  return held;
}

bool process_alive(DWORD pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (!process) return false;
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

namespace {

// Calls `visit` with each running quorvel_client.exe.
template <typename Visit>
void for_each_client(Visit visit) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more;
       more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, "quorvel_client.exe") == 0) visit(entry);
  }
  CloseHandle(snapshot);
}

}  // namespace

int client_process_count(DWORD parent) {
  int count = 0;
  for_each_client([&](const PROCESSENTRY32& entry) {
    if (parent == 0 || entry.th32ParentProcessID == parent) ++count;
  });
  return count;
}

void end_all_clients() {
  hold_debug_privilege();
  for_each_client([](const PROCESSENTRY32& entry) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                 entry.th32ProcessID);
    if (!process) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  });
}

// The launcher's entries in the Application log. Both hosts give the same
// records through one interface; which reader runs is decided at run time.
namespace {

constexpr char kSourceKey[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\quorvel-client";
// Where start_wine (scripts/lib.sh) sends Wine's eventlog channel and its
// advapi fixme lines, from every process the service manager starts.
constexpr char kEventTrace[] = "C:\\quorvel-eventlog-trace.txt";

// The registry value `name` of the source's key as stored, or false.
bool read_source_value(const char* name, DWORD* type, std::string* bytes) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSourceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  char data[2048];
  DWORD size = sizeof(data);
  const bool read = RegQueryValueExA(key, name, nullptr, type,
                                     reinterpret_cast<BYTE*>(data), &size) == ERROR_SUCCESS;
  RegCloseKey(key);
  if (read) bytes->assign(data, size);
  return read;
}

// As a reader of the log shows the entry ("Viewing the Event Log": Event
// Viewer loads the source's EventMessageFile with LoadLibraryEx and takes
// the message of the event id from it with FormatMessage, the strings
// inserted; "Querying for Event Information" does the same with
// LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE). One message
// file, as the launcher's source registers.
std::string render(const EventEntry& entry) {
  DWORD type = 0;
  std::string file;
  if (!read_source_value("EventMessageFile", &type, &file)) return "";
  char path[MAX_PATH * 2];
  if (!ExpandEnvironmentStringsA(file.c_str(), path, sizeof(path))) return "";
  HMODULE messages = LoadLibraryExA(
      path, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE | LOAD_LIBRARY_AS_DATAFILE);
  if (!messages) return "";
  // An insert with no string (%9 of an entry of three) reads an empty one
  // rather than past the array.
  std::vector<DWORD_PTR> inserts(99, reinterpret_cast<DWORD_PTR>(""));
  for (size_t i = 0; i < entry.strings.size() && i < inserts.size(); ++i) {
    inserts[i] = reinterpret_cast<DWORD_PTR>(entry.strings[i].c_str());
  }
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
          FORMAT_MESSAGE_ARGUMENT_ARRAY,
      messages, entry.id, 0, reinterpret_cast<char*>(&text), 0,
      reinterpret_cast<va_list*>(inserts.data()));
  std::string rendered = length && text ? std::string(text, length) : "";
  if (text) LocalFree(text);
  FreeLibrary(messages);
  return rendered;
}

// Windows: the next records of `log` going back from the newest, as many as
// fit in `buffer`, which grows when the next one does not fit (ReadEventLog
// takes at most 0x7FFFF bytes). False past the oldest record
// (ERROR_HANDLE_EOF) or on failure, the error then in `error`.
bool read_back(HANDLE log, std::vector<char>* buffer, DWORD* read, DWORD* error) {
  for (;;) {
    DWORD needed = 0;
    if (ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                      buffer->data(), static_cast<DWORD>(buffer->size()), read, &needed)) {
      return true;
    }
    *error = GetLastError();
    if (*error != ERROR_INSUFFICIENT_BUFFER || needed > 0x7FFFF) return false;
    buffer->resize(needed);
  }
}

// Windows: the newest record's number (0 for an empty log).
EventMark mark_of_log() {
  EventMark mark;
  HANDLE log = OpenEventLogA(nullptr, "Application");
  if (!log) {
    mark.trouble = "OpenEventLog(Application) failed with " + std::to_string(GetLastError());
    return mark;
  }
  std::vector<char> buffer(0x10000);
  DWORD read = 0, error = 0;
  if (read_back(log, &buffer, &read, &error)) {
    mark.at = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data())->RecordNumber;
  } else if (error != ERROR_HANDLE_EOF) {
    mark.trouble = "ReadEventLog failed with " + std::to_string(error);
  }
  CloseEventLog(log);
  return mark;
}

// Windows: the source's records after `mark`, read from the newest back to
// it, so that a long log holding entries of earlier runs (a hosted
// runner's) is not read from its start.
std::vector<EventEntry> read_log(const EventMark& mark) {
  std::vector<EventEntry> entries;
  HANDLE log = OpenEventLogA(nullptr, "Application");
  if (!log) return entries;
  std::vector<char> buffer(0x10000);
  DWORD read = 0, error = 0;
  for (bool done = false; !done && read_back(log, &buffer, &read, &error);) {
    for (DWORD at = 0; at < read;) {
      const char* bytes = buffer.data() + at;
      const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(bytes);
      at += record->Length;
      if (record->RecordNumber <= mark.at) {
        done = true;
        break;
      }
      const char* source = bytes + sizeof(EVENTLOGRECORD);
      if (std::strcmp(source, kEventSource) != 0) continue;
      EventEntry entry;
      entry.source = source;
      entry.id = record->EventID;
      entry.type = record->EventType;
      const char* text = bytes + record->StringOffset;
      for (WORD i = 0; i < record->NumStrings; ++i) {
        entry.strings.push_back(text);
        text += entry.strings.back().size() + 1;
      }
      entry.shortened.assign(entry.strings.size(), false);
      entries.push_back(entry);
    }
  }
  CloseEventLog(log);
  std::reverse(entries.begin(), entries.end());
  return entries;
}

// Wine: a string as its debug output writes it, from the L" at `at`:
// backslash escapes (\\n \\r \\t \\" \\\\, and \\XXXX in hexadecimal for
// other characters) and, when it stopped early, "..." after the quote. The
// text in the ANSI code page, as ReadEventLogA gives it on Windows.
std::string wine_string(const std::string& line, size_t at, bool* shortened) {
  std::wstring wide;
  size_t i = at + 2;  // past L"
  while (i < line.size() && line[i] != '"') {
    if (line[i] != '\\' || i + 1 >= line.size()) {
      wide += static_cast<wchar_t>(static_cast<unsigned char>(line[i++]));
      continue;
    }
    const char next = line[i + 1];
    if (next == 'n') wide += L'\n';
    else if (next == 'r') wide += L'\r';
    else if (next == 't') wide += L'\t';
    else if (std::isxdigit(static_cast<unsigned char>(next)) && i + 5 <= line.size()) {
      wide += static_cast<wchar_t>(std::stoul(line.substr(i + 1, 4), nullptr, 16));
      i += 5;
      continue;
    } else {
      wide += static_cast<wchar_t>(next);
    }
    i += 2;
  }
  *shortened = i < line.size() && line.compare(i + 1, 3, "...") == 0;
  std::string text(wide.size() * 4 + 1, '\0');
  const int length = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                         &text[0], static_cast<int>(text.size()), nullptr, nullptr);
  text.resize(length > 0 ? static_cast<size_t>(length) : 0);
  return text;
}

// Wine: the entries in the trace after `mark`. Wine's ReportEventW writes,
// on the thread that calls it, one fixme line with its arguments, then each
// string on the eventlog channel (trace, warn or err, by the type), e.g.:
//   0140:fixme:advapi:RegisterEventSourceW (L"",L"quorvel-client"): stub
//   0140:fixme:advapi:ReportEventW (00000000CAFE4242,0x0004,0x0000,0x00000004,0000000000000000,0x0001,...): stub
//   0140:trace:eventlog:ReportEventW L"324"
//   0140:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub
// Several processes write to the trace at once, each line whole and headed
// by its thread's id: lines are matched to an entry by that id.
std::vector<EventEntry> read_trace(const EventMark& mark) {
  std::vector<EventEntry> entries;
  std::string trace;
  if (!read_shared(kEventTrace, &trace) || trace.size() < mark.at) return entries;
  struct Open {
    EventEntry entry;
    size_t count = 0;  // strings still to come
  };
  std::map<std::string, std::string> source_of;  // thread: source it registered
  std::map<std::string, Open> open;              // thread: entry being read
  std::map<std::string, size_t> last_of;         // thread: its last entry
  size_t begin = static_cast<size_t>(mark.at);
  for (size_t end = 0; (end = trace.find('\n', begin)) != std::string::npos; begin = end + 1) {
    const std::string line = trace.substr(begin, end - begin);
    const std::string thread = line.substr(0, line.find(':'));
    const std::string rest = line.substr(thread.size());
    const auto complete = [&](Open& reading) {
      last_of[thread] = entries.size();
      entries.push_back(reading.entry);
      open.erase(thread);
    };
    if (rest.rfind(":fixme:advapi:RegisterEventSourceW (", 0) == 0) {
      const size_t name = rest.find(",L\"");
      bool cut = false;
      if (name != std::string::npos) source_of[thread] = wine_string(rest, name + 1, &cut);
    } else if (rest.rfind(":fixme:advapi:ReportEventW (", 0) == 0) {
      // (handle,type,category,id,sid,count,data size,strings,data)
      std::vector<std::string> fields;
      std::istringstream list(rest.substr(rest.find('(') + 1));
      for (std::string field; std::getline(list, field, ',');) fields.push_back(field);
      if (fields.size() < 6) continue;
      Open reading;
      reading.entry.source = source_of[thread];
      reading.entry.type = static_cast<WORD>(std::stoul(fields[1], nullptr, 16));
      reading.entry.id = static_cast<DWORD>(std::stoul(fields[3], nullptr, 16));
      reading.count = std::stoul(fields[5], nullptr, 16);
      reading.entry.released = 0;
      if (reading.count == 0) {
        complete(reading);
      } else {
        open[thread] = reading;
      }
    } else if (rest.find(":eventlog:ReportEventW L\"") != std::string::npos &&
               open.count(thread)) {
      Open& reading = open[thread];
      bool cut = false;
      reading.entry.strings.push_back(wine_string(rest, rest.find("L\""), &cut));
      reading.entry.shortened.push_back(cut);
      if (--reading.count == 0) complete(reading);
    } else if (rest.rfind(":fixme:advapi:DeregisterEventSource (", 0) == 0 &&
               last_of.count(thread)) {
      entries[last_of[thread]].released = 1;
      last_of.erase(thread);
    }
  }
  return entries;
}

}  // namespace

EventMark event_mark() {
  if (!on_wine()) return mark_of_log();
  EventMark mark;
  std::string trace;
  if (!read_shared(kEventTrace, &trace)) {
    mark.trouble = std::string("no trace at ") + kEventTrace + " (start_wine sets it up)";
  }
  mark.at = trace.size();
  return mark;
}

std::vector<EventEntry> events_since(const EventMark& mark, size_t at_least,
                                     DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  std::vector<EventEntry> entries;
  for (;;) {
    entries.clear();
    for (EventEntry& entry : on_wine() ? read_trace(mark) : read_log(mark)) {
      if (entry.source != kEventSource) continue;
      if (on_wine() && entry.id == 2 && entry.strings.size() > 3 &&
          entry.strings[3] == std::to_string(kRefusedByWine)) {
        continue;
      }
      if (std::find(entry.shortened.begin(), entry.shortened.end(), true) ==
          entry.shortened.end()) {
        entry.text = render(entry);
      }
      entries.push_back(entry);
    }
    if (entries.size() >= at_least || GetTickCount64() > deadline) return entries;
    Sleep(50);
  }
}

std::string describe(const std::vector<EventEntry>& entries) {
  std::string text;
  for (const EventEntry& entry : entries) {
    if (!text.empty()) text += "; ";
    text += std::to_string(entry.id) + " (type " + std::to_string(entry.type) + ") [";
    for (size_t i = 0; i < entry.strings.size(); ++i) {
      text += (i ? "|" : "") + entry.strings[i].substr(0, 120);
    }
    text += "]";
  }
  return text;
}

bool register_event_source(const std::string& message_file) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSourceKey, 0, nullptr, 0, KEY_SET_VALUE,
                      nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  const bool set =
      RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                     reinterpret_cast<const BYTE*>(message_file.c_str()),
                     static_cast<DWORD>(message_file.size() + 1)) == ERROR_SUCCESS &&
      RegSetValueExA(key, "TypesSupported", 0, REG_DWORD,
                     reinterpret_cast<const BYTE*>(&types), sizeof(types)) == ERROR_SUCCESS;
  RegCloseKey(key);
  return set;
}

void remove_event_source() { RegDeleteKeyA(HKEY_LOCAL_MACHINE, kSourceKey); }

}  // namespace wintest
