#include "tests/windows/win_support.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
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
    if (!result.finished) TerminateProcess(info.hProcess, 0xDEAD);
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
  std::vector<std::string> names;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!process) return names;
  HMODULE modules[256];
  DWORD needed = 0;
  if (EnumProcessModules(process, modules, sizeof(modules), &needed)) {
    const DWORD count = std::min<DWORD>(needed / sizeof(HMODULE), 256);
    for (DWORD i = 0; i < count; ++i) {
      char name[MAX_PATH];
      name[GetModuleBaseNameA(process, modules[i], name, MAX_PATH - 1)] = '\0';
      names.push_back(_strlwr(name));
    }
  }
  CloseHandle(process);
  return names;
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
  for_each_client([](const PROCESSENTRY32& entry) {
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE,
                                 entry.th32ProcessID);
    if (!process) return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  });
}

}  // namespace wintest
