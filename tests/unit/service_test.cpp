#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "launcher/entry.h"
#include "platform/platform.h"
#include "service/event_log.h"
#include "service/service_host.h"
#include "service/stop_outcome.h"
#include "tests/unit/test_support.h"

namespace {

using platform::ServiceStatus;
constexpr uint32_t kStopped = platform::kServiceStopped;
constexpr uint32_t kRunning = platform::kServiceRunning;
constexpr uint32_t kStopPending = platform::kServiceStopPending;

struct Report {
  uint32_t state, exit_code, specific;
};

std::string describe(const std::vector<Report>& reports) {
  std::string text;
  for (const auto& r : reports) {
    text += "(" + std::to_string(r.state) + "," + std::to_string(r.exit_code) +
            "," + std::to_string(r.specific) + ")";
  }
  return text;
}

std::string describe(const std::vector<ServiceStatus>& reports) {
  std::vector<Report> plain;
  for (const auto& r : reports) {
    plain.push_back({r.dwCurrentState, r.dwWin32ExitCode, r.dwServiceSpecificExitCode});
  }
  return describe(plain);
}

// What the launcher tries with no settings, and its entry once it runs.
const std::string kLauncher = "\"C:\\q\\quorvel_launcher.exe\" -action=service";
const std::string kClient = "C:\\ProgramData\\Quorvel\\service\\bin\\v1\\quorvel_client.exe";
const std::string kTried = "\"" + kClient + "\" -action=service";
const std::string kCwd = "C:\\Program Files\\quorvel-client";
const std::string kStarted = "quorvel-client 4/1|" + kTried + "|" + kCwd + "|4001";
const std::string kStopEntry = "quorvel-client 4/4|4001";

class ServiceTest : public FakePlatformTest {
 protected:
  // Runs the launcher as the service, the way the service manager would
  // start it, with `controller` acting on the dispatcher's thread and
  // `tail` after the switch on its command line.
  int run_service(std::function<void()> controller, const std::string& tail = "") {
    fake::set_command_line(kLauncher + tail);
    fake::set_controller(std::move(controller));
    char arg0[] = "C:\\q\\quorvel_launcher.exe", arg1[] = "-action=service";
    char* argv[] = {arg0, arg1, nullptr};
    testing::internal::CaptureStdout();
    const int exit_code = launcher::run_entry(2, argv);
    // The dispatcher returns at the stopped report; service_main may still
    // be on its way out.
    if (exit_code == 0) fake::join_service_thread();
    testing::internal::GetCapturedStdout();
    return exit_code;
  }

  // The fixed fields hold in every report, and the reports are `expected`.
  static void expect_reports(const std::vector<Report>& expected) {
    const auto reports = fake::reports();
    EXPECT_EQ(describe(reports), describe(expected));
    for (const auto& r : reports) {
      EXPECT_EQ(r.dwServiceType, 0x10u);
      EXPECT_EQ(r.dwControlsAccepted, 5u);
      EXPECT_EQ(r.dwCheckPoint, 0u);
      EXPECT_EQ(r.dwWaitHint, 0u);
    }
  }
};

// Each path of the service's life, from start to the stopped report.
TEST_F(ServiceTest, ReportsTheStatusSequenceOfEachPath) {
  enum Twist { kNone, kNoJob, kHeldEnd, kEndsJustInTime, kNeverEnds, kStopWhileAnEventIsWritten, kStopWhileEndAwaited, kLongest };
  struct Case {
    const char* name;
    uint32_t start_error, event_error, wait_error;
    Twist twist;
    std::function<void()> controller;
    std::vector<Report> reports;
    int client_terminations;  // -1: no client was started
    uint32_t client_exit_code;
    uint32_t state_when_terminated;  // the last report when it was ended
    std::vector<std::string> events;
  };
  auto once_running = [](std::function<void()> then) {
    return [then] {
      ASSERT_TRUE(fake::wait_for_report(kRunning));
      then();
    };
  };
  auto stop = [] { EXPECT_EQ(fake::send_control(platform::kServiceControlStop), 0u); };
  const std::vector<Report> stopped_on_request = {
      {kRunning, 0, 0}, {kStopPending, 0, 0}, {kStopped, 0, 0}};
  const std::vector<std::string> run_and_stop = {kStarted, kStopEntry};
  // The bound is 3 s, written out here rather than taken from the constant:
  // long enough for a client's pending I/O, well inside the roughly 20 s
  // that Windows gives the services at shutdown.
  const std::string never_ended = "quorvel-client 2/5|4001|3000";
  // The longest: a command line of 32,767 characters, a 511-byte Install_Dir.
  const std::string long_tail = " " + std::string(32767 - kLauncher.size() - 1, 'x');
  const std::string long_dir = "C:\\" + std::string(508, 'd');
  const std::string long_tried = kTried + long_tail;
  const size_t others = kClient.size() + 1 + 2 + long_dir.size() + 1 + 4 + 12;
  const std::string long_cut = long_tried.substr(0, service::kEventEntryLimit - others - 1 - 6) + " [cut]";
  const Case cases[] = {
      {"stop", 0, 0, 0, kNone, once_running(stop), stopped_on_request, 1, 0,
       kStopPending, run_and_stop},
      {"a stop gets through while each event is written: none under the lock", 0, 0, 0, kStopWhileAnEventIsWritten, nullptr,
       stopped_on_request, 1, 0, kStopPending, run_and_stop},
      {"shutdown", 0, 0, 0, kNone,
       once_running([] { fake::send_control(platform::kServiceControlShutdown); }),
       stopped_on_request, 1, 0, kStopPending, run_and_stop},
      {"stop twice, then shutdown", 0, 0, 0, kNone,
       once_running([] {
         fake::send_control(platform::kServiceControlStop);
         fake::send_control(platform::kServiceControlStop);
         fake::send_control(platform::kServiceControlShutdown);
       }),
       {}, 1, 0, kStopPending, run_and_stop},  // reports checked below: stopped last
      // The stop event, not the client's end, wakes the service; stopped is
      // reported only once the client, held after TerminateProcess, has
      // gone (checked in the hook, and by the fake at the report).
      {"stop, the client's end held back, a second stop meanwhile", 0, 0, 0, kHeldEnd,
       once_running(stop), {{kRunning, 0, 0}, {kStopPending, 0, 0}, {kStopPending, 0, 0}, {kStopped, 0, 0}},
       1, 0, kStopPending, run_and_stop},
      {"stop, the client ends 2,999 ms into the wait: a stop like any other", 0, 0, 0, kEndsJustInTime,
       once_running(stop), stopped_on_request, 1, 0, kStopPending, run_and_stop},
      {"stop, the client never ends: stopped after the wait, and said so", 0, 0, 0, kNeverEnds,
       once_running(stop), stopped_on_request, 1, 0, kStopPending, {kStarted, never_ended}},
      {"stop, no job could be set up", 0, 0, 0, kNoJob, once_running(stop),
       stopped_on_request, 1, 0, kStopPending, run_and_stop},
      {"client ends by itself with 0", 0, 0, 0, kNone,
       once_running([] { fake::end_client(fake::last_process(), 0); }),
       {{kRunning, 0, 0}, {kStopped, 1067, 0}}, 0, 0, 0, {kStarted, "quorvel-client 2/3|0 (0x00000000)|4001"}},
      {"client ends by itself with 7", 0, 0, 0, kNone,
       once_running([] { fake::end_client(fake::last_process(), 7); }),
       {{kRunning, 0, 0}, {kStopped, 1067, 0}}, 0, 7, 0, {kStarted, "quorvel-client 2/3|7 (0x00000007)|4001"}},
      {"client crashes", 0, 0, 0, kNone,
       once_running([] { fake::end_client(fake::last_process(), 0xC0000005); }),
       {{kRunning, 0, 0}, {kStopped, 1067, 0}}, 0, 0xC0000005, 0,
       {kStarted, "quorvel-client 2/3|3221225477 (0xC0000005)|4001"}},
      {"interrogate and unknown controls are not answered", 0, 0, 0, kNone,
       once_running([stop] {
         fake::send_control(platform::kServiceControlInterrogate);
         fake::send_control(2);    // pause
         fake::send_control(0x80); // user-defined
         EXPECT_EQ(fake::reports().size(), 1u);
         stop();
       }),
       stopped_on_request, 1, 0, kStopPending, run_and_stop},
      {"client cannot start", 2, 0, 0, kNone, nullptr, {{kStopped, 1066, 2}},
       -1, 0, 0, {"quorvel-client 1/2|" + kClient + "|1|" + kCwd + "|2|text of 2|" + kTried}},
      {"client refused with 193: the text names the client", 193, 0, 0, kNone, nullptr,
       {{kStopped, 1066, 193}}, -1, 0, 0,
       {"quorvel-client 1/2|" + kClient + "|1|" + kCwd + "|193|" + kClient +
        " is not a valid Win32 application.|" + kTried}},
      {"the longest command and directory: the command cut, the entry whole", 206, 0, 0, kLongest,
       nullptr, {{kStopped, 1066, 206}}, -1, 0, 0,
       {"quorvel-client 1/2|" + kClient + "|1|" + long_dir + "|206|text of 206|" + long_cut}},
      {"stop event cannot be created: no client, no entry", 0, 8, 0, kNone, nullptr,
       {{kStopped, 8, 0}}, -1, 0, 0, {}},
      {"wait fails: the client ended, no entry of its own", 0, 0, 6, kNone, nullptr,
       {{kRunning, 0, 0}, {kStopped, 6, 0}}, 1, 0, kRunning, {kStarted}},
      {"wait fails, a stop while its end is awaited: the run is over, not ended twice", 0, 0, 6,
       kStopWhileEndAwaited, nullptr, {{kRunning, 0, 0}, {kStopped, 6, 0}}, 1, 0, kRunning, {kStarted}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    fake::fail_start(c.start_error);
    fake::fail_event_creation(c.event_error);
    fake::fail_wait(c.wait_error);
    if (c.twist == kNoJob) fake::fail_job_creation();
    const bool held = c.twist == kHeldEnd || c.twist == kEndsJustInTime || c.twist == kNeverEnds;
    if (held) fake::hold_terminated_clients();
    std::vector<std::future<uint32_t>> stops;
    int held_up = 0;  // stop requests not answered within 3 s
    auto late_stop = [&stops, &held_up] {
      stops.push_back(std::async(std::launch::async, [] { return fake::send_control(1); }));
      held_up += stops.back().wait_for(std::chrono::seconds(3)) != std::future_status::ready;
    };
    if (c.twist == kStopWhileAnEventIsWritten) fake::set_hook(fake::Point::kEventWritten, late_stop);
    // While the service waits for the client's end it has not reported
    // stopped, and answers another request.
    fake::set_hook(fake::Point::kEndWaitStarted, [&c, late_stop] {
      EXPECT_NE(fake::reports().back().dwCurrentState, kStopped);
      if (c.twist == kHeldEnd || c.twist == kStopWhileEndAwaited) late_stop();
      if (c.twist == kHeldEnd) fake::end_client(fake::last_process(), 9);
      if (c.twist == kEndsJustInTime) {
        fake::advance_clock(std::chrono::milliseconds(2999));
        fake::end_client(fake::last_process(), 9);
      }
      if (c.twist == kNeverEnds) fake::advance_clock(std::chrono::milliseconds(3000));
    });
    if (c.twist == kLongest) {
      fake::set_key_open_result(0);
      fake::set_value("Install_Dir", platform::kRegString, long_dir + '\0');
    }

    EXPECT_EQ(run_service(c.controller, c.twist == kLongest ? long_tail : ""), 0);
    EXPECT_EQ(held_up, 0);
    EXPECT_EQ(fake::events(), c.events);

    EXPECT_EQ(fake::dispatched_service_name(), "quorvel-client");
    if (!c.reports.empty()) {
      expect_reports(c.reports);
    } else {
      const auto reports = fake::reports();
      ASSERT_FALSE(reports.empty());
      EXPECT_EQ(reports.front().dwCurrentState, kRunning);
      EXPECT_EQ(describe({reports.back()}), describe(std::vector<Report>{{kStopped, 0, 0}}));
    }
    EXPECT_EQ(launcher::g_child_process, nullptr);
    const auto starts = fake::starts();
    ASSERT_EQ(starts.size(), c.event_error ? 0u : 1u);
    // Tied to the launcher's life whenever a job could be set up.
    if (!starts.empty()) {
      EXPECT_EQ(starts[0].in_job, c.twist != kNoJob);
    }
    if (c.client_terminations < 0) {
      EXPECT_TRUE(fake::last_process() == nullptr);
    } else {
      const auto client = fake::process_state(fake::last_process());
      EXPECT_EQ(client.ended, c.twist != kNeverEnds);
      EXPECT_TRUE(client.closed);
      EXPECT_EQ(client.terminate_calls, c.client_terminations);
      EXPECT_EQ(client.exit_code, c.client_exit_code);
      // The service shows stop-pending before the handler ends the client.
      EXPECT_EQ(client.state_when_terminated, c.state_when_terminated);
      if (held) {
        EXPECT_EQ(fake::last_wait_result(), 0);
      }
    }
    EXPECT_TRUE(fake::violations().empty()) << violations_text();
  }
}

// The handler ends the client, and the client's end wakes the wait before
// the stop event is set: the stop still wins.
TEST_F(ServiceTest, StopWinsWhenTheClientsEndWakesTheWaitFirst) {
  fake::set_hook(fake::Point::kBeforeSignal,
                 [] { ASSERT_TRUE(fake::wait_for_wait_return()); });
  run_service([] {
    ASSERT_TRUE(fake::wait_for_report(kRunning));
    fake::send_control(platform::kServiceControlStop);
  });
  EXPECT_EQ(fake::last_wait_result(), 1);  // woken by the client's end
  expect_reports({{kRunning, 0, 0}, {kStopPending, 0, 0}, {kStopped, 0, 0}});
  EXPECT_EQ(fake::events(), (std::vector<std::string>{kStarted, kStopEntry}));
  EXPECT_EQ(fake::process_state(fake::last_process()).terminate_calls, 1);
}

// A second party, a stop request, arrives at each point of the run's end,
// whether the client ended by itself or a stop came first: while the
// service thread decides, while it holds its lock, just before its stopped
// report and just after. The dispatcher runs the handler with its own lock
// held and the stopped report takes that lock, so a service thread that
// held its lock across the report would deadlock with a handler waiting for
// it (the watchdog then ends the run). Whatever the point, the run ends with
// one stopped report, last; the client is ended at most once and its handle
// closed once, never used after.
TEST_F(ServiceTest, LateStopAtEachPointOfTheRunsEnd) {
  enum Wait { kHandlerDone, kHandlerEntered };
  struct Case {
    bool stop_first;  // else the client ends by itself, with 3
    fake::Point point;
    Wait wait;  // how far the late request gets before the service goes on
    uint32_t control_result;
    std::vector<Report> reports;
    int terminate_calls;
  };
  const std::vector<Report> by_itself = {{kRunning, 0, 0}, {kStopped, 1067, 0}};
  const std::vector<Report> on_request = {
      {kRunning, 0, 0}, {kStopPending, 0, 0}, {kStopped, 0, 0}};
  using P = fake::Point;
  const Case cases[] = {
      // Before the decision the request still wins, and ends an ended client
      // once more, harmlessly.
      {false, P::kWaitReturned, kHandlerDone, 0, on_request, 1},
      // Decided, lock released, the client's end awaited: the run is over.
      {false, P::kEndWaitStarted, kHandlerDone, 0, by_itself, 0},
      {false, P::kClosingHandle, kHandlerEntered, 0, by_itself, 0},
      {false, P::kBeforeStoppedReport, kHandlerEntered, 0, by_itself, 0},
      {false, P::kStoppedReport, kHandlerDone, 1062, by_itself, 0},
      {true, P::kWaitReturned, kHandlerDone, 0,
       {{kRunning, 0, 0}, {kStopPending, 0, 0}, {kStopPending, 0, 0}, {kStopped, 0, 0}}, 1},
      {true, P::kClosingHandle, kHandlerEntered, 0, on_request, 1},
      {true, P::kBeforeStoppedReport, kHandlerEntered, 0, on_request, 1},
      {true, P::kStoppedReport, kHandlerDone, 1062, on_request, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.stop_first ? "stop first" : "client first")
                                    << ", point " << static_cast<int>(c.point));
    fake::reset();
    std::thread late;
    uint32_t late_result = 0xFFFF;
    fake::set_hook(c.point, [&] {
      late = std::thread([&] { late_result = fake::send_control(platform::kServiceControlStop); });
      if (c.wait == kHandlerDone) {
        late.join();
      } else {
        ASSERT_TRUE(fake::wait_for_handler_entries(c.stop_first ? 2 : 1, std::chrono::seconds(3)));
      }
    });
    run_service([&c] {
      ASSERT_TRUE(fake::wait_for_report(kRunning));
      if (c.stop_first) {
        fake::send_control(platform::kServiceControlStop);
      } else {
        fake::end_client(fake::last_process(), 3);
      }
    });
    if (late.joinable()) late.join();
    EXPECT_EQ(late_result, c.control_result);
    expect_reports(c.reports);
    const auto client = fake::process_state(fake::last_process());
    EXPECT_EQ(client.terminate_calls, c.terminate_calls);
    EXPECT_EQ(client.exit_code, c.stop_first ? 0u : 3u);
    EXPECT_TRUE(client.closed);
    EXPECT_TRUE(fake::violations().empty()) << violations_text();
  }
}

// The client's end and a stop request race freely. Whichever wins, the run
// ends with one stopped report, last; stop-pending is reported exactly when
// the stop won (0); the client is ended at most once, its handle closed once.
TEST_F(ServiceTest, FreeRaceOfStopAndClientEnd) {
  int stop_won = 0, client_won = 0;
  for (int round = 0; round < 300; ++round) {
    fake::reset();
    std::thread ender;
    run_service([&ender, round] {
      ASSERT_TRUE(fake::wait_for_report(kRunning));
      platform::Handle client = fake::last_process();
      ender = std::thread([client] { fake::end_client(client, 0); });
      fake::send_control(round % 2 ? platform::kServiceControlStop
                                   : platform::kServiceControlShutdown);
    });
    ender.join();
    const auto reports = fake::reports();
    ASSERT_GE(reports.size(), 2u);
    const auto& last = reports.back();
    ASSERT_EQ(last.dwCurrentState, kStopped);
    bool pending = false;
    for (const auto& r : reports) pending |= r.dwCurrentState == kStopPending;
    if (last.dwWin32ExitCode == 0) {
      ++stop_won;
      EXPECT_TRUE(pending);
    } else {
      ++client_won;
      EXPECT_EQ(last.dwWin32ExitCode, 1067u);
      EXPECT_FALSE(pending);
    }
    const auto client = fake::process_state(fake::last_process());
    EXPECT_LE(client.terminate_calls, 1);
    EXPECT_TRUE(client.closed);
    ASSERT_TRUE(fake::violations().empty()) << violations_text();
  }
  EXPECT_EQ(stop_won + client_won, 300);
}

TEST(DecideStop, PicksTheOutcomeFromTheMarkAndTheWait) {
  struct Case {
    bool requested;
    uint32_t wait_result, wait_error;
    bool end_client;
    uint32_t exit_code;
  };
  const Case cases[] = {
      {true, 0, 0, false, 0},
      {true, 1, 0, false, 0},  // the handler's end of the client woke it
      {true, platform::kWaitFailed, 6, false, 0},
      {false, 1, 0, false, 1067},
      {false, 0, 0, true, 0},
      {false, platform::kWaitFailed, 6, true, 6},
      {false, platform::kWaitFailed, 0, true, 31},  // never a clean 0
      {false, 0x80, 0, true, 31},                   // abandoned: not ours
      {false, 0x102, 0, true, 31},                  // time-out: not ours
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.requested << "/" << c.wait_result);
    const service::StopOutcome outcome =
        service::decide_stop(c.requested, c.wait_result, c.wait_error);
    EXPECT_EQ(outcome.end_client, c.end_client);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
  }
}

// An entry's strings share one record: the longest are cut to one length,
// the longest that lets the whole entry fit, and keep their bytes.
TEST(EventStrings, CutTheLongestToOneLengthSoThatTheEntryFits) {
  using Strings = std::vector<std::string>;
  constexpr size_t room = service::kEventEntryLimit;  // terminators included
  // Two long ones share what "ab" and the three terminators leave.
  const std::string x(room, '\x81'), half = x.substr(0, (room - 5) / 2 - 6) + " [cut]";
  EXPECT_EQ(service::fit_event_strings({x.substr(1)}), Strings{x.substr(1)});  // fits exactly
  EXPECT_EQ(service::fit_event_strings({x}), Strings{x.substr(7) + " [cut]"});  // a byte over
  EXPECT_EQ(service::fit_event_strings({x, "ab", x}), (Strings{half, "ab", half}));
}

// FormatMessage leaves inserts in the system's text: %1, where Windows puts
// the file it could not run, becomes the client's path; the rest stay.
TEST(EventStrings, FillTheSystemTextsFirstInsertWithTheClientsPath) {
  EXPECT_EQ(service::fill_path_insert("Insert %2 (Volume Serial Number: %3) into drive %1.", "C:\\c"),
            "Insert %2 (Volume Serial Number: %3) into drive C:\\c.");
  EXPECT_EQ(service::fill_path_insert("%10 %1!s! 100%% %%1 %n %", "C:\\c"), "%10 C:\\c 100%% %%1 %n %");
  EXPECT_EQ(service::fill_path_insert("%1 or %1!s!: %1", "C:\\c"), "C:\\c or C:\\c: C:\\c");
}

}  // namespace
