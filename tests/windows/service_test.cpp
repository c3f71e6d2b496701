// The launcher as the "quorvel-client" service under the real service
// manager. Statuses are observed through status-change notifications as the
// service reports them: after the process has gone, Wine's service manager
// overwrites the last status with exit code 1077.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/windows/win_support.h"

namespace {

using wintest::Observed;
using wintest::Record;

struct ServiceManager : ::testing::Test {
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
    return wintest::watch(
        [&] {
          const char* args[] = {parameter};
          if (!StartServiceA(service, parameter ? 1 : 0, parameter ? args : nullptr)) {
            start_error = GetLastError();
          }
        },
        until);
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

TEST_F(ServiceManager, RunsTheClientAndStopsItOnRequest) {
  CreateDirectoryA("C:\\quorvel work", nullptr);
  prepare("s1", wintest::service_command("\"x y\""), "C:\\quorvel work");

  const auto started = start(SERVICE_RUNNING, "--start-parameter");
  EXPECT_EQ(start_error, 0u);
  ASSERT_EQ(wintest::describe(started), "RUNNING");
  EXPECT_TRUE(started[0].client_running) << "RUNNING before the client started";
  EXPECT_EQ(started[0].controls,
            static_cast<DWORD>(SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN));

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

  ASSERT_EQ(WaitForSingleObject(client, 10000), WAIT_OBJECT_0);
  DWORD client_exit = 0xFFFFFFFF;
  GetExitCodeProcess(client, &client_exit);
  EXPECT_EQ(client_exit, 0u);
  CloseHandle(client);
  EXPECT_EQ(wintest::client_process_count(started[0].pid), 0);
}

TEST_F(ServiceManager, ClientEndingByItselfStopsTheServiceWith1067) {
  for (const char* code : {"0", "7"}) {
    SCOPED_TRACE(code);
    prepare("s2", wintest::service_command(std::string("--exit-after 300 ") + code));
    const auto seen = start(SERVICE_STOPPED);
    EXPECT_EQ(wintest::describe(seen), "RUNNING -> STOPPED(1067,0)");
    Record record;
    EXPECT_TRUE(wintest::wait_record("s2", &record));
    CloseServiceHandle(service);
    service = nullptr;
  }
}

TEST_F(ServiceManager, MissingClientStopsWith1066AndTheStartError) {
  prepare("s-absent", wintest::service_command(""), "C:\\", false);
  // The error Windows gives for starting that very command.
  std::string command = client_command("s-absent", "-action=service");
  STARTUPINFOA startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_FALSE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                              0, nullptr, "C:\\", &startup, &info));
  const DWORD expected = GetLastError();

  const auto seen = start(SERVICE_STOPPED);
  EXPECT_EQ(wintest::describe(seen),
            "STOPPED(1066," + std::to_string(expected) + ")");
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
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE,
                             0, nullptr, "C:\\", &startup, &info));
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
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 1063u);  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
  EXPECT_EQ(run.output, "");        // no client was tried
}

TEST_F(ServiceManager, RegisteredWithoutTheSwitchRunsDirectMode) {
  prepare("s4", wintest::service_command("--watch-parent --exit 0", false));
  // The launcher never connects, so the start cannot succeed.
  EXPECT_FALSE(StartServiceA(service, 0, nullptr));
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
  int stop_won = 0, client_won = 0;
  for (int cycle = 0; cycle < 40; ++cycle) {
    const double offset = cycle % 8 - 3;  // -3 .. +4 ms
    SCOPED_TRACE(testing::Message() << "cycle " << cycle << ", " << offset << " ms");
    const wintest::AimedStop run = wintest::aimed_stop(service, "s5", offset);
    ASSERT_FALSE(run.seen.empty());
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
  std::printf("stop won %d, client's end won %d\n", stop_won, client_won);
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
