// Stands in for quorvel_client.exe in the Windows-side tests. It records
// what it was given in record.txt beside itself (written whole, then moved
// into place, so a reader never sees half of it), then acts as its
// arguments say:
//   --exit N                end at once with exit code N
//   --exit-after MS N       end after MS milliseconds with exit code N; the
//                           record's ends_at says when, on the tests'
//                           clock (wintest::now_ms)
//   --exit-random LO HI     end with 0 after a random LO..HI milliseconds
//   --watch-parent          also record the exit code of the process that
//                           started it (waits for it to end first)
//   --spawn                 first start a child of its own, which hangs
//                           and writes no record; its pid is recorded
//   otherwise               hang until ended from outside
// Unknown arguments (the launcher's own switch among them) are ignored.
#include <windows.h>
#include <tlhelp32.h>

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
  const std::string part = dir + "record.part";
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--grandchild") == 0) {
    Sleep(INFINITE);
    return 0;
  }
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
  write_record(record);

  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--exit") == 0 && i + 1 < argc) {
      return std::atoi(argv[i + 1]);
    }
    if (std::strcmp(argv[i], "--exit-after") == 0 && i + 2 < argc) {
      Sleep(static_cast<DWORD>(std::atoi(argv[i + 1])));
      return std::atoi(argv[i + 2]);
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
