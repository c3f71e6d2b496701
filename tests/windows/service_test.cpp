// The launcher as the "quorvel-client" service under the real service
// manager. Statuses are observed through status-change notifications as the
// service reports them: after the process has gone, Wine's service manager
// overwrites the last status with exit code 1077. The launcher's entries
// are read back from the Application log (under Wine, from its trace).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/windows/win_support.h"

namespace {

using wintest::Observed;
using wintest::Record;

struct ServiceManager : ::testing::Test {
  // The launcher's event source registered as an administrator would, so
  // that its entries are shown with their texts; the launcher's and its
  // client's processes (LocalSystem) open to the test.
  static void SetUpTestSuite() {
    wintest::hold_debug_privilege();
    ASSERT_TRUE(wintest::register_event_source(wintest::launcher_path()));
  }
  static void TearDownTestSuite() { wintest::remove_event_source(); }

  void TearDown() override {
    if (service) {
      SERVICE_STATUS status;
      ControlService(service, SERVICE_CONTROL_STOP, &status);
      wintest::wait_state(service, SERVICE_STOPPED);
      CloseServiceHandle(service);
    }
  }

  // Registers the service with `command`, client version `version`
  // installed (unless `install` is false), and Install_Dir `work`.
  void prepare(const std::string& version, const std::string& command,
               const std::string& work = "C:\\", bool install = true) {
    if (install) wintest::install_client(version);
    wintest::clear_record(version);
    wintest::set_settings(version, work);
    service = wintest::install_service(command);
    ASSERT_TRUE(service) << GetLastError();
    ASSERT_TRUE(wintest::wait_state(service, SERVICE_STOPPED));
  }

  std::vector<Observed> start(DWORD until, const char* parameter = nullptr) {
    return wintest::watch_start(service, until, &start_error, parameter);
  }

  std::vector<Observed> control(DWORD code) {
    return wintest::watch([&] {
      SERVICE_STATUS status;
      if (!ControlService(service, code, &status)) control_error = GetLastError();
    });
  }

  SC_HANDLE service = nullptr;
  DWORD start_error = 0;
  DWORD control_error = 0;
};

std::string client_command(const std::string& version, const std::string& tail) {
  return "\"" + wintest::client_dir(version) + "\\quorvel_client.exe\" " + tail;
}

wintest::EventMark mark_events() {
  wintest::EventMark mark = wintest::event_mark();
  EXPECT_EQ(mark.trouble, "");
  return mark;
}

// Checks an entry read back: its source, id and type, its strings in
// order, and that the text a reader is shown holds each of `shown`. A
// string longer than one entry holds (ReportEvent: 31,839 characters)
// arrives cut by the launcher, ending in " [cut]". Where Wine's trace kept
// only the start of a string, only that start is compared, and no text can
// be made (Wine only: Windows' log holds each string whole).
void expect_entry(const wintest::EventEntry& entry, DWORD id, WORD type,
                  const std::vector<std::string>& strings,
                  const std::vector<std::string>& shown) {
  static const std::string kCut = " [cut]";
  EXPECT_EQ(entry.source, wintest::kEventSource);
  EXPECT_EQ(entry.id, id);
  EXPECT_EQ(entry.type, type);
  // Only Wine's trace shows the source let go after the entry.
  if (wintest::on_wine()) {
    EXPECT_EQ(entry.released, 1) << "the source was not let go";
  }
  ASSERT_EQ(entry.strings.size(), strings.size());
  for (size_t i = 0; i < strings.size(); ++i) {
    SCOPED_TRACE("string " + std::to_string(i + 1));
    std::string got = entry.strings[i], want = strings[i];
    if (entry.shortened[i]) {
      EXPECT_EQ(want.compare(0, got.size(), got), 0) << got;
      continue;
    }
    if (want.size() > 31839) {
      ASSERT_GT(got.size(), kCut.size());
      EXPECT_EQ(got.substr(got.size() - kCut.size()), kCut);
      got.resize(got.size() - kCut.size());
      ASSERT_LT(got.size(), want.size());
      want.resize(got.size());
    }
    EXPECT_EQ(got, want);
  }
  if (std::find(entry.shortened.begin(), entry.shortened.end(), true) !=
      entry.shortened.end()) {
    return;
  }
  for (const std::string& part : shown) {
    EXPECT_NE(entry.text.find(part), std::string::npos) << part << " not in: " << entry.text;
  }
}

TEST_F(ServiceManager, RunsTheClientAndStopsItOnRequest) {
  CreateDirectoryA("C:\\quorvel work", nullptr);
  prepare("s1", wintest::service_command("\"x y\""), "C:\\quorvel work");
  const wintest::EventMark mark = mark_events();

  const auto started = start(SERVICE_RUNNING, "--start-parameter");
  EXPECT_EQ(start_error, 0u);
  ASSERT_EQ(wintest::describe(started), "RUNNING");
  EXPECT_TRUE(started[0].client_running) << "RUNNING before the client started";
  EXPECT_EQ(started[0].controls,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));
  // The service process holds the system DLLs it needs and no
  // cryptographic provider, no window system, no runtime DLL of the
  // toolchain; kernel32 is there, so the list was read.
  const std::vector<std::string> modules = wintest::loaded_modules(started[0].pid);
  EXPECT_GE(modules.size(), 4u);
  EXPECT_NE(std::find(modules.begin(), modules.end(), "kernel32.dll"), modules.end());
  if (wintest::on_wine()) {
    // Wine loads exactly these for it.
    const std::set<std::string> needed = {
        "quorvel_launcher.exe", "ntdll.dll", "kernel32.dll", "kernelbase.dll", "advapi32.dll",
        "msvcrt.dll", "ucrtbase.dll", "sechost.dll", "rpcrt4.dll"};
    for (const std::string& module : modules) EXPECT_TRUE(needed.count(module)) << module;
  } else {
    // Windows loads more into every process, and which more depends on its
    // version; Microsoft's documentation lists none of it. So there the
    // test names what must not be loaded: the window system (user32.dll,
    // gdi32.dll and gdi32full.dll, win32u.dll beneath them), certificates
    // (crypt32.dll) and a CryptoAPI provider (rsaenh.dll), none of which
    // the launcher's imports need. cryptsp.dll, cryptbase.dll, bcrypt.dll
    // and bcryptprimitives.dll stay off the list: advapi32, sechost or
    // rpcrt4 may load them into any process (not settled by the
    // documentation).
    const char* const denied[] = {"user32.dll", "gdi32.dll", "gdi32full.dll",
                                  "win32u.dll", "crypt32.dll", "rsaenh.dll"};
    // MinGW-w64's runtimes (GCC and LLVM) and Visual C++'s.
    const char* const runtimes[] = {"libstdc++", "libgcc", "libwinpthread", "libssp",
                                    "libc++", "libunwind", "vcruntime140", "msvcp140"};
    for (const std::string& module : modules) {
      for (const char* name : denied) EXPECT_NE(module, name);
      for (const char* name : runtimes) EXPECT_NE(module.rfind(name, 0), 0u) << module;
    }
  }

  Record record;
  ASSERT_TRUE(wintest::wait_record("s1", &record));
  // The launcher's own tail, switch included; start parameters stay out.
  EXPECT_EQ(record.cmdline, client_command("s1", "-action=service \"x y\""));
  EXPECT_EQ(record.cwd, "C:\\quorvel work");
  HANDLE client = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                              FALSE, record.pid);
  ASSERT_TRUE(client);

  const auto stopped = control(SERVICE_CONTROL_STOP);
  EXPECT_EQ(control_error, 0u);
  EXPECT_EQ(wintest::describe(stopped), "STOP_PENDING -> STOPPED(0,0)");
  // Stopped means the client has gone. (Wine's TerminateProcess ends a
  // process before it returns, so only Windows can fail this.)
  ASSERT_FALSE(stopped.empty());
  EXPECT_FALSE(stopped.back().client_running) << "STOPPED while the client still ran";

  ASSERT_EQ(WaitForSingleObject(client, 10000), WAIT_OBJECT_0);
  DWORD client_exit = 0xFFFFFFFF;
  GetExitCodeProcess(client, &client_exit);
  EXPECT_EQ(client_exit, 0u);
  CloseHandle(client);
  EXPECT_EQ(wintest::client_process_count(started[0].pid), 0);

  // The client's start, then the stop that ended it.
  const std::string pid = std::to_string(record.pid);
  const auto entries = wintest::events_since(mark, 2);
  ASSERT_EQ(entries.size(), 2u) << wintest::describe(entries);
  expect_entry(entries[0], 1, EVENTLOG_INFORMATION_TYPE,
               {client_command("s1", "-action=service \"x y\""), "C:\\quorvel work", pid},
               {"process id " + pid + ".", "Working directory: C:\\quorvel work"});
  expect_entry(entries[1], 4, EVENTLOG_INFORMATION_TYPE, {pid},
               {"ended the client (process id " + pid + ")"});
}

TEST_F(ServiceManager, ClientEndingByItselfStopsTheServiceWith1067) {
  struct Exit {
    std::string code;
    std::string written;  // as entry 3 gives it
  };
  for (const Exit& ending : {Exit{"0", "0 (0x00000000)"}, Exit{"7", "7 (0x00000007)"}}) {
    SCOPED_TRACE(ending.code);
    const std::string tail = "--exit-after 300 " + ending.code;
    prepare("s2", wintest::service_command(tail));
    const wintest::EventMark mark = mark_events();
    const auto seen = start(SERVICE_STOPPED);
    EXPECT_EQ(wintest::describe(seen), "RUNNING -> STOPPED(1067,0)");
    Record record;
    EXPECT_TRUE(wintest::wait_record("s2", &record));
    const std::string pid = std::to_string(record.pid);
    const auto entries = wintest::events_since(mark, 2);
    EXPECT_EQ(entries.size(), 2u) << wintest::describe(entries);
    if (entries.size() == 2) {
      expect_entry(entries[0], 1, EVENTLOG_INFORMATION_TYPE,
                   {client_command("s2", "-action=service " + tail), "C:\\", pid},
                   {"process id " + pid + "."});
      expect_entry(entries[1], 3, EVENTLOG_WARNING_TYPE, {ending.written, pid},
                   {"(process id " + pid + ") ended by itself with exit code " +
                    ending.written + "."});
    }
    CloseServiceHandle(service);
    service = nullptr;
  }
}

// Wine's process creation differs from Windows in a few results (two error
// codes, the quoting of a path it found); tests that meet one expect each
// system's own (wintest::on_wine).

// The error CreateProcessA gives for `command` in `directory`, called as the
// launcher calls it; 0 if it started (the process is then ended).
DWORD create_process_error(std::string command, const std::string& directory) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  const DWORD error =
      wintest::create_process(command, false, directory.c_str(), &startup, &info);
  if (error == 0) {
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  }
  return error;
}

void write_file(const std::string& path, const std::string& bytes) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
            nullptr);
  CloseHandle(file);
}

// Installations the client cannot be started from, each as an administrator
// could leave it, and the stopped pair the service reports for it: 1066 and
// the start's error. docs/operations.md lists these rows by name.
TEST_F(ServiceManager, ClientThatCannotStartStopsWith1066AndTheStartError) {
  struct Row {
    const char* name;
    std::string version;
    std::string install_dir;
    // Leaves the version folder `dir` as the row needs it.
    std::function<void(const std::string& dir)> set_up;
    std::string extra;  // after the switch on the service's command line
    DWORD windows_error;
    // Windows' text of the error (System Error Codes, in English as on the
    // hosted runners), %1 the client.
    std::string windows_text;
    DWORD wine_error;
    std::string wine_text;  // Wine's text of the error, %1 the client
  };
  const std::string no_dir = "C:\\quorvel no such dir";
  // With the terminating zero, one character over CreateProcess's limit.
  const size_t too_long = 32767 - client_command("f206", "-action=service ").size();
  const Row rows[] = {
      {"client file missing", "f2", "C:\\",
       [](const std::string& dir) {
         wintest::install_client("f2");
         DeleteFileA((dir + "\\quorvel_client.exe").c_str());
       },
       "", ERROR_FILE_NOT_FOUND, "The system cannot find the file specified.",
       ERROR_FILE_NOT_FOUND, "File not found."},
      {"version folder missing", "f3", "C:\\",
       [](const std::string& dir) { RemoveDirectoryA(dir.c_str()); }, "",
       ERROR_PATH_NOT_FOUND, "The system cannot find the path specified.",
       ERROR_FILE_NOT_FOUND, "File not found."},
      {"Install_Dir missing", "f267", no_dir,
       [&](const std::string&) {
         wintest::install_client("f267");
         RemoveDirectoryA(no_dir.c_str());
       },
       "", ERROR_DIRECTORY, "The directory name is invalid.", ERROR_DIRECTORY,
       "Directory name invalid."},
      {"client file not a program", "f193", "C:\\",
       [](const std::string& dir) {
         wintest::install_client("f193");
         write_file(dir + "\\quorvel_client.exe", "not a program\r\n");
       },
       "", ERROR_BAD_EXE_FORMAT, "%1 is not a valid Win32 application.",
       ERROR_BAD_EXE_FORMAT, "Bad EXE format for %1."},
      {"command line too long", "f206", "C:\\",
       [](const std::string&) { wintest::install_client("f206"); },
       std::string(too_long, 'x'), ERROR_FILENAME_EXCED_RANGE,
       "The filename or extension is too long.", ERROR_INVALID_PARAMETER,
       "Invalid parameter."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const DWORD expected = wintest::on_wine() ? row.wine_error : row.windows_error;
    row.set_up(wintest::client_dir(row.version));
    // From a short path, so that only the client's command meets the limit.
    const std::string command =
        wintest::service_command(row.extra, true, wintest::short_launcher_path());
    ASSERT_LT(command.size(), 32767u) << "the launcher itself must start";
    prepare(row.version, command, row.install_dir, false);
    // What Windows itself says when the command the launcher composes (its
    // own tail after the quoted path) is started there.
    const std::string tail = command.substr(command.find("\" ") + 2);
    EXPECT_EQ(create_process_error(client_command(row.version, tail), row.install_dir),
              expected);

    const wintest::EventMark mark = mark_events();
    EXPECT_EQ(wintest::describe(start(SERVICE_STOPPED)),
              "STOPPED(1066," + std::to_string(expected) + ")");
    // The error entry: the client tried, its version, its folder, the error
    // and its text with the client named, and the command.
    const std::string client = wintest::client_dir(row.version) + "\\quorvel_client.exe";
    std::string text = wintest::on_wine() ? row.wine_text : row.windows_text;
    if (text.find("%1") != std::string::npos) text.replace(text.find("%1"), 2, client);
    const std::string code = std::to_string(expected);
    const auto entries = wintest::events_since(mark, 1);
    EXPECT_EQ(entries.size(), 1u) << wintest::describe(entries);
    if (!entries.empty()) {
      expect_entry(entries[0], 2, EVENTLOG_ERROR_TYPE,
                   {client, row.version, row.install_dir, code, text,
                    client_command(row.version, tail)},
                   {"Windows error " + code + ", ", "Client: " + client});
    }
    CloseServiceHandle(service);
    service = nullptr;
  }
}

// The image of a running process, or "" when it cannot be read.
std::string process_image(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return "";
  char path[MAX_PATH];
  DWORD size = MAX_PATH;
  const BOOL read = QueryFullProcessImageNameA(process, 0, path, &size);
  CloseHandle(process);
  return read ? std::string(path, size) : "";
}

// Registered without quotes, a path with a blank is read at each blank in
// turn: a program at C:\quorvel.exe would run first, with the whole line.
// Here the launcher itself stands in for such a program, so the client's
// record shows what a program found there receives, and that the launcher
// cuts its client's tail at the first blank: the client receives the rest
// of the path as its first argument. When the launcher is found at the
// second try, Wine's process creation puts quotes around the path before
// passing the line on; Windows passes the line as registered.
TEST_F(ServiceManager, UnquotedPathWithABlank) {
  const std::string launcher = "C:\\quorvel dir\\quorvel_launcher.exe";
  CreateDirectoryA("C:\\quorvel dir", nullptr);
  ASSERT_TRUE(CopyFileA(wintest::launcher_path().c_str(), launcher.c_str(), FALSE));
  const std::string planted = "C:\\quorvel.exe";
  struct Row {
    const char* name;
    const char* version;
    bool plant;          // a copy of the launcher at C:\quorvel.exe
    std::string image;   // the program the service manager ran
    std::string tail;    // what the client receives after its path
  };
  const std::string rest = "dir\\quorvel_launcher.exe -action=service";
  const Row rows[] = {
      {"launcher found at the second try", "u1", false, launcher,
       wintest::on_wine() ? "-action=service" : rest},
      {"C:\\quorvel.exe found first", "u2", true, planted, rest},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    DeleteFileA(planted.c_str());
    if (row.plant) {
      ASSERT_TRUE(CopyFileA(wintest::launcher_path().c_str(), planted.c_str(), FALSE));
    }
    prepare(row.version, launcher + " -action=service");
    const auto started = start(SERVICE_RUNNING);
    ASSERT_EQ(wintest::describe(started), "RUNNING");
    EXPECT_EQ(_stricmp(process_image(started[0].pid).c_str(), row.image.c_str()), 0)
        << process_image(started[0].pid);
    Record record;
    ASSERT_TRUE(wintest::wait_record(row.version, &record));
    EXPECT_EQ(record.cmdline, client_command(row.version, row.tail));
    EXPECT_EQ(wintest::describe(control(SERVICE_CONTROL_STOP)),
              "STOP_PENDING -> STOPPED(0,0)");
    CloseServiceHandle(service);
    service = nullptr;
  }
  DeleteFileA(planted.c_str());
}

TEST_F(ServiceManager, InterrogateChangesNothing) {
  prepare("s3", wintest::service_command(""));
  ASSERT_EQ(wintest::describe(start(SERVICE_RUNNING)), "RUNNING");
  Record record;
  ASSERT_TRUE(wintest::wait_record("s3", &record));

  // Watched from before the request, so that any report made while
  // answering it, even of the same state, would be seen.
  SERVICE_STATUS status = {};
  const auto seen = wintest::watch(
      [&] {
        EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_INTERROGATE, &status))
            << GetLastError();
      },
      SERVICE_STOPPED, 1000);
  EXPECT_EQ(wintest::describe(seen), "");
  EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
  EXPECT_TRUE(wintest::process_alive(record.pid));
  EXPECT_EQ(wintest::describe(control(SERVICE_CONTROL_STOP)),
            "STOP_PENDING -> STOPPED(0,0)");
}

// The client's main thread ends early; the client then looks whether its
// thread object is still held from outside. The launcher keeps the client's
// process handle for the whole run, but must not keep its thread's.
TEST_F(ServiceManager, LauncherKeepsNoHandleToTheClientsThread) {
  // A process that does hold the thread's handle is seen to hold it.
  wintest::install_client("s5");
  wintest::clear_record("s5");
  std::string command = client_command("s5", "--probe-main-thread 1000 --exit 0");
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_EQ(wintest::create_process(command, false, "C:\\", &startup, &info), 0u);
  Record held;
  EXPECT_TRUE(wintest::wait_record("s5", &held));
  EXPECT_EQ(held.main_thread_held, 1) << "the probe cannot see a held thread";
  WaitForSingleObject(info.hProcess, 10000);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);

  prepare("s5", wintest::service_command("--probe-main-thread 5000"));
  ASSERT_EQ(wintest::describe(start(SERVICE_RUNNING)), "RUNNING");
  Record record;
  ASSERT_TRUE(wintest::wait_record("s5", &record));
  EXPECT_EQ(record.main_thread_held, 0) << "the launcher kept the thread's handle";
  EXPECT_EQ(wintest::describe(control(SERVICE_CONTROL_STOP)),
            "STOP_PENDING -> STOPPED(0,0)");
}

TEST_F(ServiceManager, RunByHandWithTheSwitchExitsWithTheDispatcherError) {
  const auto run = wintest::run(wintest::service_command(""));
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  EXPECT_EQ(run.exit_code, 1063u);  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
  EXPECT_EQ(run.output, "");        // no client was tried
}

TEST_F(ServiceManager, RegisteredWithoutTheSwitchRunsDirectMode) {
  prepare("s4", wintest::service_command("--watch-parent --exit 0", false));
  // The launcher never connects, so the start cannot succeed.
  EXPECT_NE(wintest::start_service(service), 0u);
  Record record;
  ASSERT_TRUE(wintest::wait_record("s4", &record));
  EXPECT_EQ(record.cmdline, client_command("s4", "--watch-parent --exit 0"));
  EXPECT_EQ(record.parent_exit, 0);  // the launcher returned 0 at once
  SERVICE_STATUS status = {};
  QueryServiceStatus(service, &status);
  EXPECT_NE(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
}

// A stop request that lands right at the client's own end, on either side
// of it, whatever the two threads of the service are doing then: the
// request is answered at once, the run ends with one stopped report, and
// the launcher's process goes away.
TEST_F(ServiceManager, StopRightAtTheClientsOwnEnd) {
  prepare("s5", wintest::service_command("--exit-after 100 0"));
  int stop_won = 0, client_won = 0, refused = 0;
  for (int cycle = 0; stop_won + client_won < 40; ++cycle) {
    const double offset = cycle % 8 - 3;  // -3 .. +4 ms
    SCOPED_TRACE(testing::Message() << "cycle " << cycle << ", " << offset << " ms");
    const wintest::AimedStop run = wintest::aimed_stop(service, "s5", offset);
    if (wintest::refused_by_process_creation(run)) {
      // Nothing was aimed; the cycle is run again, a few times at most.
      ASSERT_LT(++refused, 5) << run.trouble;
      ASSERT_TRUE(wintest::wait_state(service, SERVICE_STOPPED));
      continue;
    }
    ASSERT_TRUE(run.ran) << run.trouble << " " << wintest::describe(run.seen);
    const Observed& last = run.seen.back();
    ASSERT_EQ(last.state, static_cast<DWORD>(SERVICE_STOPPED)) << wintest::describe(run.seen);
    ASSERT_TRUE(last.exit_code == 0 || last.exit_code == 1067) << wintest::describe(run.seen);
    (last.exit_code == 0 ? stop_won : client_won)++;
    ASSERT_GE(run.request_ms, 0) << run.trouble;
    ASSERT_LT(run.request_ms, 2000) << "the stop request was not answered";
    ASSERT_TRUE(run.launcher_exited) << "the launcher outlived its stopped report";
    ASSERT_TRUE(run.client_ended);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    ASSERT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
  }
  std::printf("stop won %d, client's end won %d, process creation refused %d\n",
              stop_won, client_won, refused);
}

// The client ends with the launcher's process, however that ends; a child
// that the client started itself is the client's business and stays.
TEST_F(ServiceManager, TheClientEndsWithTheLaunchersProcess) {
  for (bool kill_launcher : {false, true}) {
    SCOPED_TRACE(kill_launcher ? "launcher killed" : "service stopped");
    prepare("s6", wintest::service_command("--spawn"));
    const auto started = start(SERVICE_RUNNING);
    ASSERT_EQ(wintest::describe(started), "RUNNING");
    Record record;
    ASSERT_TRUE(wintest::wait_record("s6", &record));
    ASSERT_NE(record.spawned, 0u);
    HANDLE client = OpenProcess(SYNCHRONIZE, FALSE, record.pid);
    ASSERT_TRUE(client);
    if (kill_launcher) {
      HANDLE launcher = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, started[0].pid);
      ASSERT_TRUE(launcher);
      TerminateProcess(launcher, 9);
      EXPECT_EQ(WaitForSingleObject(launcher, 10000), WAIT_OBJECT_0);
      CloseHandle(launcher);
    } else {
      EXPECT_EQ(wintest::describe(control(SERVICE_CONTROL_STOP)), "STOP_PENDING -> STOPPED(0,0)");
    }
    EXPECT_EQ(WaitForSingleObject(client, 1000), WAIT_OBJECT_0) << "the client outlived the launcher";
    CloseHandle(client);
    EXPECT_TRUE(wintest::process_alive(record.spawned));
    wintest::end_all_clients();
    CloseServiceHandle(service);
    service = nullptr;
  }
}

}  // namespace
