// quorvel_svcctl: drives the real "quorvel-client" service for the demo and
// the stress run, printing each status as the service reports it.
//   install [--no-switch] [tail...]  register the launcher beside this tool
//   start | stop                     act, and print the reported statuses
//   wait                             print the statuses reported until stopped
//   status                           the service manager's current record
//   client VERSION                   what the client of that version received
//   stress CYCLES [MS]               sets up its own client and service,
//                                    then starts and stops the service
//                                    CYCLES times: the client ends by itself
//                                    0..MS ms after starting, and the stop
//                                    request comes 0..MS ms after RUNNING
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/windows/win_support.h"

namespace {

SC_HANDLE open_service() {
  SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = OpenServiceA(manager, "quorvel-client", SERVICE_ALL_ACCESS);
  CloseServiceHandle(manager);
  if (!service) std::printf("service not installed (error %lu)\n", GetLastError());
  return service;
}

void print_seen(const char* what, const std::vector<wintest::Observed>& seen,
                DWORD error) {
  std::printf("%s: %s", what, seen.empty() ? "(no report)" : wintest::describe(seen).c_str());
  if (error) std::printf("   [call failed with %lu]", error);
  std::printf("\n");
}

int stress(SC_HANDLE service, int cycles, int most_ms) {
  int stopped_0 = 0, stopped_1067 = 0, other = 0, leftovers = 0, hangs = 0;
  DWORD slowest = 0;
  for (int i = 0; i < cycles; ++i) {
    // One watch from the start to the stopped report, with the stop request
    // at a random moment after RUNNING.
    ULONGLONG asked = 0;
    const auto seen = wintest::watch(
        [&] { StartServiceA(service, 0, nullptr); }, SERVICE_RUNNING, 20000,
        [&] {
          asked = GetTickCount64();
          SERVICE_STATUS s;
          ControlService(service, SERVICE_CONTROL_STOP, &s);
        },
        static_cast<DWORD>(std::rand() % (most_ms + 1)));
    const std::string text = wintest::describe(seen);
    if (seen.empty() || seen.back().state != SERVICE_STOPPED) {
      ++hangs;
      std::printf("cycle %d: no stopped report: %s\n", i, text.c_str());
    } else if (text == "RUNNING -> STOP_PENDING -> STOPPED(0,0)") {
      ++stopped_0;
      slowest = std::max(slowest, static_cast<DWORD>(GetTickCount64() - asked));
    } else if (text == "RUNNING -> STOPPED(1067,0)") {
      ++stopped_1067;
    } else {
      ++other;
      std::printf("cycle %d: %s\n", i, text.c_str());
    }
    if (!wintest::wait_state(service, SERVICE_STOPPED, 20000)) ++hangs;
    // No client of this run may outlive it.
    const DWORD launcher = seen.empty() ? 0 : seen.front().pid;
    const ULONGLONG deadline = GetTickCount64() + 5000;
    while (launcher && wintest::client_process_count(launcher) > 0 &&
           GetTickCount64() < deadline) {
      Sleep(5);
    }
    if (launcher && wintest::client_process_count(launcher) > 0) {
      ++leftovers;
      std::printf("cycle %d: a client process was left behind\n", i);
    }
  }
  std::printf("cycles %d, stopped with 0: %d, stopped with 1067: %d, other: %d, "
              "leftovers: %d, hangs: %d, slowest stop: %lu ms\n",
              cycles, stopped_0, stopped_1067, other, leftovers, hangs, slowest);
  return (other == 0 && leftovers == 0 && hangs == 0) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::printf("usage: quorvel_svcctl install|start|stop|status|client|stress ...\n");
    return 2;
  }
  const std::string verb = argv[1];
  if (verb == "install") {
    bool with_switch = true;
    std::string tail;
    for (int i = 2; i < argc; ++i) {
      if (std::strcmp(argv[i], "--no-switch") == 0) { with_switch = false; continue; }
      if (!tail.empty()) tail += ' ';
      tail += argv[i];
    }
    const std::string command = wintest::service_command(tail, with_switch);
    SC_HANDLE service = wintest::install_service(command);
    std::printf("registered quorvel-client: %s\n", service ? command.c_str() : "FAILED");
    return service ? 0 : 1;
  }
  if (verb == "client" && argc > 2) {
    wintest::Record record;
    if (!wintest::wait_record(argv[2], &record, 5000)) {
      std::printf("the client of version %s has not run\n", argv[2]);
      return 1;
    }
    std::printf("client pid %lu (%s)\n  command line: %s\n  working directory: %s\n",
                record.pid, wintest::process_alive(record.pid) ? "running" : "ended",
                record.cmdline.c_str(), record.cwd.c_str());
    return 0;
  }
  if (verb == "stress" && argc > 2) {
    const int ms = argc > 3 ? std::atoi(argv[3]) : 300;
    wintest::install_client("stress");
    wintest::set_settings("stress", "C:\\");
    SC_HANDLE service = wintest::install_service(
        wintest::service_command("--exit-random 0 " + std::to_string(ms)));
    if (!service) return 1;
    std::srand(GetTickCount());
    return stress(service, std::atoi(argv[2]), ms);
  }
  SC_HANDLE service = open_service();
  if (!service) return 1;
  if (verb == "start") {
    DWORD error = 0;
    const auto seen = wintest::watch(
        [&] { if (!StartServiceA(service, 0, nullptr)) error = GetLastError(); },
        SERVICE_RUNNING, 20000);
    print_seen("start", seen, error);
  } else if (verb == "stop") {
    DWORD error = 0;
    const auto seen = wintest::watch([&] {
      SERVICE_STATUS s;
      if (!ControlService(service, SERVICE_CONTROL_STOP, &s)) error = GetLastError();
    });
    print_seen("stop", seen, error);
  } else if (verb == "wait") {
    print_seen("reported", wintest::watch([] {}), 0);
  } else if (verb == "status") {
    SERVICE_STATUS_PROCESS s = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s),
                         sizeof(s), &needed);
    std::printf("state %lu, exit code %lu, service-specific code %lu, pid %lu\n",
                s.dwCurrentState, s.dwWin32ExitCode, s.dwServiceSpecificExitCode,
                s.dwProcessId);

  } else {
    std::printf("unknown command %s\n", verb.c_str());
    return 2;
  }
  CloseServiceHandle(service);
  return 0;
}
