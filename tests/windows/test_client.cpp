// Stands in for quorvel_client.exe in the Windows-side tests. It records
// what it was given in record.txt beside itself (written whole under a name
// of its own, then moved into place, and closed by the line "end=1", so a
// reader can tell a whole record), then acts as its arguments say:
//   --exit N                end at once with exit code N
//   --exit-after MS N       end after MS milliseconds with exit code N; the
//                           record's ends_at says when, on the tests'
//                           clock (wintest::now_ms)
//   --exit-random LO HI     end with 0 after a random LO..HI milliseconds
//   --watch-parent          also record the exit code of the process that
//                           started it (waits for it to end first)
//   --spawn                 first start a child of its own, which hangs
//                           and writes no record; its pid is recorded
//   --probe-handle H        also record whether the handle value H (decimal)
//                           is a valid handle in this process
//   --probe-main-thread MS  let the main thread end, then record whether
//                           another process still holds a handle to it
//                           (looked for during up to MS milliseconds)
//   --overrun N             write N bytes past the end of a local buffer
//                           (the stack guard must end the process)
//   otherwise               hang until ended from outside
// The record also holds the process's stack guard: with MinGW-w64 ours
// (platform/stack_guard_win.cpp), with MSVC the /GS cookie of its runtime.
// Unknown arguments (the launcher's own switch among them) are ignored.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

DWORD parent_pid() {
  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  DWORD parent = 0;
  for (BOOL more = Process32First(snapshot, &entry); more;
       more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  CloseHandle(snapshot);
  return parent;
}

void write_record(const std::string& text) {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string dir(path);
  dir.resize(dir.find_last_of('\\') + 1);
  // A part of its own, so that two clients of one directory never write
  // into each other's.
  const std::string part =
      dir + "record." + std::to_string(GetCurrentProcessId()) + ".part";
  const std::string done = dir + "record.txt";
  FILE* file = std::fopen(part.c_str(), "wb");
  if (!file) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
  MoveFileExA(part.c_str(), done.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// The same clock as wintest::now_ms, which the wine server keeps for all
// processes alike.
double now_ms() {
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  return 1000.0 * static_cast<double>(counter.QuadPart) /
         static_cast<double>(frequency.QuadPart);
}

// Starts this program again as a child that only hangs; returns its pid.
DWORD spawn_child() {
  char path[MAX_PATH];
  GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string command = "\"" + std::string(path) + "\" --grandchild";
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                      nullptr, nullptr, &startup, &info)) {
    return 0;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return info.dwProcessId;
}

// Writes `count` bytes past the end of a buffer in its own frame. The
// pointer is hidden from the compiler, which cannot tell the writes overrun.
#if defined(_MSC_VER)
// No inline assembly on x64: the pointer goes through a volatile instead.
// /GS guards the frame, as it does every frame with a char array of more
// than 4 bytes.
__declspec(noinline) void overrun_stack(int count) {
  char buffer[8] = {};
  char* volatile hidden = buffer;
  char* at = hidden;
  for (int i = 0; i < static_cast<int>(sizeof(buffer)) + count; ++i) at[i] = 'x';
}
#else
[[gnu::noinline]] void overrun_stack(int count) {
  char buffer[8] = {};
  char* at = buffer;
  __asm__ __volatile__("" : "+r"(at));
  for (int i = 0; i < static_cast<int>(sizeof(buffer)) + count; ++i) at[i] = 'x';
  __asm__ __volatile__("" : : "r"(at) : "memory");
}
#endif

}  // namespace

#if defined(_MSC_VER)
extern "C" uintptr_t __security_cookie;  // NOLINT(bugprone-reserved-identifier)
#define QUORVEL_STACK_GUARD_VALUE __security_cookie
#else
extern "C" uintptr_t __stack_chk_guard;  // NOLINT(bugprone-reserved-identifier)
#define QUORVEL_STACK_GUARD_VALUE __stack_chk_guard
#endif

// Writes the record (with `extra` lines) and acts as the arguments say;
// returns the exit code.
int run(int argc, char** argv, const std::string& extra) {
  // Opened before anything else, while the parent surely still exists.
  HANDLE parent = nullptr;
  bool watch_parent = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--watch-parent") == 0) watch_parent = true;
  }
  if (watch_parent) {
    parent = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                         FALSE, parent_pid());
  }

  char cwd[MAX_PATH * 2] = {};
  GetCurrentDirectoryA(sizeof(cwd), cwd);
  std::string record = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
  record += "cmdline=" + std::string(GetCommandLineA()) + "\n";
  record += "cwd=" + std::string(cwd) + "\n";
  record += "env=" + std::string(std::getenv("QUORVEL_TEST_ENV") ? std::getenv("QUORVEL_TEST_ENV") : "") + "\n";
  record += "guard=" + std::to_string(QUORVEL_STACK_GUARD_VALUE) + "\n";
  record += extra;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--probe-handle") == 0) {
      const auto value = static_cast<uintptr_t>(std::strtoull(argv[i + 1], nullptr, 10));
      DWORD flags = 0;
      const bool valid = GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags);
      record += "handle_valid=" + std::string(valid ? "1" : "0") + "\n";
    }
  }
  if (watch_parent) {
    DWORD code = 0xFFFFFFFF;
    if (parent && WaitForSingleObject(parent, 10000) == WAIT_OBJECT_0) {
      GetExitCodeProcess(parent, &code);
    }
    record += "parent_exit=" + std::to_string(code) + "\n";
  }
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--spawn") == 0) {
      record += "spawned=" + std::to_string(spawn_child()) + "\n";
    }
    if (std::strcmp(argv[i], "--exit-after") == 0 && i + 2 < argc) {
      record += "ends_at=" + std::to_string(now_ms() + std::atoi(argv[i + 1])) + "\n";
    }
  }
  record += "end=1\n";
  write_record(record);

  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
      return std::atoi(argv[i + 1]);
    }
    if (std::strcmp(argv[i], "--exit-after") == 0 && i + 2 < argc) {
      Sleep(static_cast<DWORD>(std::atoi(argv[i + 1])));
      return std::atoi(argv[i + 2]);
    }
    if (std::strcmp(argv[i], "--overrun") == 0 && i + 1 < argc) {
      overrun_stack(std::atoi(argv[i + 1]));
      return 0;
    }
    if (std::strcmp(argv[i], "--exit-random") == 0 && i + 2 < argc) {
      const int lo = std::atoi(argv[i + 1]), hi = std::atoi(argv[i + 2]);
      std::srand(GetTickCount() ^ GetCurrentProcessId());
      Sleep(static_cast<DWORD>(lo + std::rand() % (hi - lo + 1)));
      return 0;
    }
  }
  Sleep(INFINITE);
  return 0;
}

namespace {

int g_argc = 0;
char** g_argv = nullptr;
DWORD g_main_thread_id = 0;
HANDLE g_main_thread = nullptr;  // this process's own handle to it
DWORD g_probe_ms = 0;

// Waits for the main thread to end, drops this process's own handle to it,
// and looks for the thread by its id: it can still be opened while another
// process holds a handle to it.
DWORD WINAPI probe_main_thread(void*) {
  WaitForSingleObject(g_main_thread, INFINITE);
  CloseHandle(g_main_thread);
  const ULONGLONG deadline = GetTickCount64() + g_probe_ms;
  bool held = true;
  while (held) {
    HANDLE opened = OpenThread(SYNCHRONIZE, FALSE, g_main_thread_id);
    if (!opened) {
      held = false;
      break;
    }
    CloseHandle(opened);
    if (GetTickCount64() > deadline) break;
    Sleep(10);
  }
  ExitProcess(static_cast<UINT>(
      run(g_argc, g_argv, "main_thread_held=" + std::string(held ? "1" : "0") + "\n")));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--grandchild") == 0) {
    Sleep(INFINITE);
    return 0;
  }
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--probe-main-thread") == 0) {
      g_argc = argc;
      g_argv = argv;
      g_probe_ms = static_cast<DWORD>(std::atoi(argv[i + 1]));
      g_main_thread_id = GetCurrentThreadId();
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(),
                      &g_main_thread, SYNCHRONIZE, FALSE, 0);
      CloseHandle(CreateThread(nullptr, 0, probe_main_thread, nullptr, 0, nullptr));
      ExitThread(0);
    }
  }
  return run(argc, argv, "");
}
