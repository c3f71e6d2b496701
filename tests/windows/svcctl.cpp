// quorvel_svcctl: drives the real "quorvel-client" service for the demo and
// the stress run, printing each status as the service reports it.
//   install [--no-switch] [tail...]  register the launcher beside this tool
//   start [--until-stopped] | stop   act, and print the reported statuses
//                                    (start: until RUNNING, or with the
//                                    option until STOPPED, in one watch)
//   status                           the service manager's current record
//   client VERSION                   what the client of that version received
//   stress CYCLES [MS]               sets up its own client and service,
//                                    then starts and stops the service
//                                    CYCLES times: the client ends by itself
//                                    0..MS ms after starting, and the stop
//                                    request comes 0..MS ms after RUNNING
//   stress-race CYCLES               the same, but each stop request is
//                                    aimed within 4 ms of the client's own
//                                    end, before or after it
//   bench CYCLES [BASELINE]          start/stop latency and resident cost of
//                                    the launcher beside the reference
//                                    service (and, given its path, another
//                                    launcher build as a baseline),
//                                    taking turns
//   exit-code COMMAND...             runs the rest of its own command line
//                                    as it was given, waits, prints
//                                    "exit code: N" with the full 32-bit
//                                    code (a shell sees 8 bits of it) and
//                                    ends with that code
#include <windows.h>
#include <psapi.h>
#include <winternl.h>
#include <tlhelp32.h>

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
  int stopped_0 = 0, stopped_1067 = 0, other = 0, leftovers = 0, hangs = 0,
      refused = 0;
  DWORD slowest = 0;
  for (int i = 0; i < cycles; ++i) {
    // One watch from the start to the stopped report, with the stop request
    // at a random moment after RUNNING.
    ULONGLONG asked = 0;
    const auto seen = wintest::watch(
        [&] { wintest::start_service(service); }, SERVICE_RUNNING, 20000,
        [&](const std::vector<wintest::Observed>&) {
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
    } else if (text == "STOPPED(1066," + std::to_string(wintest::kRefusedByWine) + ")") {
      ++refused;  // Wine would not create the client's process
      std::printf("cycle %d: process creation refused: %s\n", i, text.c_str());
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
              "leftovers: %d, hangs: %d, slowest stop: %lu ms, process "
              "creation refused by Wine (1359): %d\n",
              cycles, stopped_0, stopped_1067, other, leftovers, hangs, slowest,
              refused);
  return (other == 0 && leftovers == 0 && hangs == 0) ? 0 : 1;
}

int stress_race(SC_HANDLE service, int cycles) {
  int stopped_0 = 0, stopped_1067 = 0, other = 0, leftovers = 0, hangs = 0,
      launchers_alive = 0, refused = 0;
  double slowest = 0;
  for (int i = 0; i < cycles; ++i) {
    const double offset = std::rand() % 9 - 4;  // -4 .. +4 ms
    const wintest::AimedStop run = wintest::aimed_stop(service, "stress", offset);
    const std::string text = wintest::describe(run.seen);
    if (!run.trouble.empty()) {
      std::printf("cycle %d (%+.0f ms): %s\n", i, offset, run.trouble.c_str());
    }
    if (wintest::refused_by_process_creation(run)) {
      ++refused;
      std::printf("cycle %d (%+.0f ms): process creation refused: %s\n", i, offset,
                  text.c_str());
      if (!wintest::wait_state(service, SERVICE_STOPPED, 20000)) ++hangs;
      continue;
    }
    if (!run.ran || run.seen.back().state != SERVICE_STOPPED ||
        run.request_ms >= 2000) {
      ++hangs;
      std::printf("cycle %d (%+.0f ms): %s, stop request %.0f ms\n", i, offset,
                  text.c_str(), run.request_ms);
    } else if (text == "RUNNING -> STOP_PENDING -> STOPPED(0,0)") {
      ++stopped_0;
    } else if (text == "RUNNING -> STOPPED(1067,0)") {
      ++stopped_1067;
    } else {
      ++other;
      std::printf("cycle %d (%+.0f ms): %s\n", i, offset, text.c_str());
    }
    slowest = std::max(slowest, run.request_ms);
    if (run.ran && !run.launcher_exited) ++launchers_alive;
    // Without the client's record its end could not be watched.
    if (run.ran && !run.client_ended && run.request_ms >= 0) ++leftovers;
    if (run.ran && (!run.launcher_exited || !run.client_ended)) {
      std::printf("cycle %d (%+.0f ms): %s, launcher %s, client %s\n", i, offset,
                  text.c_str(), run.launcher_exited ? "gone" : "ALIVE",
                  run.client_ended ? "gone" : "ALIVE");
    }
    if (!wintest::wait_state(service, SERVICE_STOPPED, 20000)) ++hangs;
  }
  std::printf("cycles %d, stopped with 0: %d, stopped with 1067: %d, other: %d, "
              "leftovers: %d, hangs: %d, slowest stop request: %.1f ms, "
              "launchers alive 2 s after STOPPED: %d, process creation refused "
              "by Wine (1359): %d\n",
              cycles, stopped_0, stopped_1067, other, leftovers, hangs, slowest,
              launchers_alive, refused);
  return (other == 0 && leftovers == 0 && hangs == 0 && launchers_alive == 0) ? 0 : 1;
}

struct Sample {
  double start_ms = -1, stop_ms = -1;
  double private_kib = 0, working_set_kib = 0;
  DWORD handles = 0, threads = 0, modules = 0;
  std::vector<std::string> module_names;
};

// The process's entry in the system's process list: handle count, threads
// and memory as the kernel (under Wine, the wine server) keeps them, which
// works for other processes where GetProcessMemoryInfo may not.
void system_counters(DWORD pid, Sample* sample) {
  std::vector<char> buffer(1 << 20);
  ULONG needed = 0;
  if (NtQuerySystemInformation(SystemProcessInformation, buffer.data(),
                               static_cast<ULONG>(buffer.size()), &needed) != 0) {
    return;
  }
  for (size_t offset = 0;;) {
    const auto* info = reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(buffer.data() + offset);
    if (reinterpret_cast<ULONG_PTR>(info->UniqueProcessId) == pid) {
      // MinGW-w64's winternl.h gathers the memory counters in a VM_COUNTERS;
      // the Windows SDK's has them as members of the entry itself, at the
      // same offsets, with reserved fields around them.
#if defined(__MINGW32__)
      const VM_COUNTERS& memory = info->VirtualMemoryCounters;
#else
      const SYSTEM_PROCESS_INFORMATION& memory = *info;
#endif
      sample->handles = info->HandleCount;
      sample->threads = info->NumberOfThreads;
      if (sample->private_kib == 0) {
        sample->private_kib = static_cast<double>(memory.PagefileUsage) / 1024.0;
      }
      if (sample->working_set_kib == 0) {
        sample->working_set_kib = static_cast<double>(memory.WorkingSetSize) / 1024.0;
      }
      return;
    }
    if (info->NextEntryOffset == 0) return;
    offset += info->NextEntryOffset;
  }
}

DWORD thread_count(DWORD pid) {
  DWORD threads = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32First(snapshot, &entry); more;
       more = Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == pid) threads = entry.cntThreads;
  }
  CloseHandle(snapshot);
  return threads;
}

// One run of the service `name`: start, settle, sample, stop.
Sample measure(SC_HANDLE service, const char* name) {
  Sample sample;
  double asked = wintest::now_ms();
  const auto started = wintest::watch(
      [&] { asked = wintest::now_ms(); StartServiceA(service, 0, nullptr); },
      SERVICE_RUNNING, 20000, nullptr, 0, name);
  if (started.empty() || started.back().state != SERVICE_RUNNING) return sample;
  sample.start_ms = started.back().at_ms - asked;
  const DWORD pid = started.back().pid;
  Sleep(300);  // let the process settle beside its running client
  if (HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid)) {
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory),
                         sizeof(memory));
    sample.private_kib = static_cast<double>(memory.PrivateUsage) / 1024.0;
    sample.working_set_kib = static_cast<double>(memory.WorkingSetSize) / 1024.0;
    GetProcessHandleCount(process, &sample.handles);
    CloseHandle(process);
  }
  sample.threads = thread_count(pid);
  sample.module_names = wintest::loaded_modules(pid);
  sample.modules = static_cast<DWORD>(sample.module_names.size());
  system_counters(pid, &sample);
  const auto stopped = wintest::watch(
      [&] {
        asked = wintest::now_ms();
        SERVICE_STATUS s;
        ControlService(service, SERVICE_CONTROL_STOP, &s);
      },
      SERVICE_STOPPED, 20000, nullptr, 0, name);
  if (!stopped.empty() && stopped.back().state == SERVICE_STOPPED) {
    sample.stop_ms = stopped.back().at_ms - asked;
  }
  wintest::wait_state(service, SERVICE_STOPPED, 20000);
  // The next run starts only once this process has gone.
  if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid)) {
    WaitForSingleObject(process, 20000);
    CloseHandle(process);
  }
  return sample;
}

double percentile(std::vector<double> values, double p) {
  values.erase(std::remove(values.begin(), values.end(), -1.0), values.end());
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  const size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

int bench(int cycles, const char* baseline) {
  wintest::install_client("bench");
  wintest::set_settings("bench", "C:\\");
  struct Column {
    const char* name;
    std::string command;
    SC_HANDLE service = nullptr;
    std::vector<Sample> samples;
  };
  // The reference second: the floor that every ratio is taken against.
  std::vector<Column> columns = {
      {"quorvel-client", wintest::service_command(""), nullptr, {}},
      {"quorvel-reference", "\"" + wintest::build_dir() + "\\quorvel_reference_service.exe\"", nullptr, {}}};
  if (baseline) {
    columns.push_back({"quorvel-baseline", wintest::service_command("", true, baseline), nullptr, {}});
  }
  for (Column& c : columns) {
    c.service = wintest::install_service(c.command, c.name);
    if (!c.service) return 1;
  }
  const size_t count = columns.size();
  for (int i = 0; i < cycles; ++i) {
    // Take turns, starting with another each cycle, so that drift falls on
    // all alike.
    for (size_t k = 0; k < count; ++k) {
      Column& c = columns[(static_cast<size_t>(i) + k) % count];
      c.samples.push_back(measure(c.service, c.name));
    }
  }
  std::printf("| measure (%d cycles each) | launcher | reference | ratio |%s\n|---|---|---|---|%s\n",
              cycles, baseline ? " baseline | ratio |" : "", baseline ? "---|---|" : "");
  auto row = [&](const char* what, auto field, double p) {
    double values[3] = {};
    for (size_t k = 0; k < count; ++k) {
      std::vector<double> all;
      for (const Sample& s : columns[k].samples) all.push_back(static_cast<double>(s.*field));
      values[k] = percentile(all, p);
    }
    auto ratio = [&](size_t k) { return values[1] > 0 ? values[k] / values[1] : 0.0; };
    std::printf("| %s | %.2f | %.2f | %.2fx |", what, values[0], values[1], ratio(0));
    if (baseline) std::printf(" %.2f | %.2fx |", values[2], ratio(2));
    std::printf("\n");
  };
  row("start latency, median (ms)", &Sample::start_ms, 0.5);
  row("start latency, 95th percentile (ms)", &Sample::start_ms, 0.95);
  row("stop latency, median (ms)", &Sample::stop_ms, 0.5);
  row("stop latency, 95th percentile (ms)", &Sample::stop_ms, 0.95);
  row("private bytes, median (KiB)", &Sample::private_kib, 0.5);
  row("working set, median (KiB)", &Sample::working_set_kib, 0.5);
  row("handle count, median", &Sample::handles, 0.5);
  row("thread count, median", &Sample::threads, 0.5);
  row("modules loaded, median", &Sample::modules, 0.5);
  int failed = 0;
  const std::vector<std::string>& floor = columns[1].samples.back().module_names;
  for (const Column& c : columns) {
    const Sample& first = c.samples.front();
    const Sample& last = c.samples.back();
    // What it loads beyond the floor's process in its last cycle (the
    // first module is the process's own image).
    std::string extra;
    for (size_t m = 1; m < last.module_names.size(); ++m) {
      const std::string& module = last.module_names[m];
      if (std::find(floor.begin(), floor.end(), module) == floor.end()) extra += " " + module;
    }
    std::printf("%s: first cycle %.0f KiB private / %lu handles, last cycle %.0f KiB / %lu handles; "
                "modules beyond the reference's:%s\n", c.name, first.private_kib, first.handles,
                last.private_kib, last.handles, extra.empty() ? " none" : extra.c_str());
    for (const Sample& s : c.samples) failed += s.start_ms < 0 || s.stop_ms < 0;
  }
  if (failed) std::printf("%d runs did not reach RUNNING or STOPPED\n", failed);
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2) {
    std::printf("usage: quorvel_svcctl install|start|stop|status|client|stress|exit-code ...\n");
    return 2;
  }
  const std::string verb = argv[1];
  if (verb == "exit-code" && argc > 2) {
    // The tail is cut from the command line itself, not rebuilt from argv,
    // so that the program gets its arguments quoted as the caller's runtime
    // quoted them. The program name ends at the first blank outside quotes.
    const char* tail = GetCommandLineA();
    for (bool quoted = false; *tail && (quoted || (*tail != ' ' && *tail != '\t')); ++tail) {
      if (*tail == '"') quoted = !quoted;
    }
    tail += std::strspn(tail, " \t");
    if (std::strncmp(tail, "exit-code", 9) != 0) {
      std::printf("exit-code: the verb must be given unquoted\n");
      return 2;
    }
    tail += 9;
    tail += std::strspn(tail, " \t");
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info = {};
    const DWORD error = wintest::create_process(tail, true, nullptr, &startup, &info);
    if (error != 0) {
      std::printf("could not start %s (error %lu)\n", tail, error);
      return 1;
    }
    CloseHandle(info.hThread);
    WaitForSingleObject(info.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hProcess);
    std::printf("exit code: %lu\n", code);
    return static_cast<int>(code);
  }
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
  if (verb == "bench" && argc > 2) return bench(std::atoi(argv[2]), argc > 3 ? argv[3] : nullptr);
  if ((verb == "stress" || verb == "stress-race") && argc > 2) {
    const bool race = verb == "stress-race";
    const int ms = argc > 3 ? std::atoi(argv[3]) : 300;
    wintest::install_client("stress");
    wintest::set_settings("stress", "C:\\");
    SC_HANDLE service = wintest::install_service(wintest::service_command(
        race ? "--exit-after 100 0" : "--exit-random 0 " + std::to_string(ms)));
    if (!service) return 1;
    std::srand(GetTickCount());
    return race ? stress_race(service, std::atoi(argv[2]))
                : stress(service, std::atoi(argv[2]), ms);
  }
  SC_HANDLE service = open_service();
  if (!service) return 1;
  if (verb == "start") {
    DWORD error = 0;
    const bool until_stopped = argc > 2 && std::strcmp(argv[2], "--until-stopped") == 0;
    const auto seen = wintest::watch_start(
        service, until_stopped ? SERVICE_STOPPED : SERVICE_RUNNING, &error);
    print_seen("start", seen, error);
  } else if (verb == "stop") {
    DWORD error = 0;
    const auto seen = wintest::watch([&] {
      SERVICE_STATUS s;
      if (!ControlService(service, SERVICE_CONTROL_STOP, &s)) error = GetLastError();
    });
    print_seen("stop", seen, error);
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
