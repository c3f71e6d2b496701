#include <vector>

#include "launcher/entry.h"
#include "tests/unit/test_support.h"

namespace {

TEST(ServiceModeRequested, MatchesOnlyTheExactSwitchFromIndexOne) {
  struct Case {
    std::vector<const char*> args;
    bool service;
  };
  const Case cases[] = {
      {{}, false},
      {{"launcher.exe"}, false},
      {{"-action=service"}, false},  // element 0 is never examined
      {{"launcher.exe", "-action=service"}, true},
      {{"launcher.exe", "a", "-action=service"}, true},
      {{"launcher.exe", "-action=service", "b"}, true},
      {{"launcher.exe", "-Action=service"}, false},
      {{"launcher.exe", "-action=Service"}, false},
      {{"launcher.exe", "-action=service2"}, false},
      {{"launcher.exe", "x-action=service"}, false},
      {{"launcher.exe", "--action=service"}, false},
      {{"launcher.exe", "action=service"}, false},
      {{"launcher.exe", "-action=servic"}, false},
      {{"launcher.exe", "-action=service "}, false},
      {{"launcher.exe", "\"-action=service\""}, false},  // quotes not removed
      {{"launcher.exe", ""}, false},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const char* a : c.args) trace += std::string("[") + a + "]";
    SCOPED_TRACE(trace);
    EXPECT_EQ(launcher::service_mode_requested(static_cast<int>(c.args.size()),
                                               c.args.data()),
              c.service);
  }
}

class RunEntryTest : public FakePlatformTest {};

TEST_F(RunEntryTest, DirectModeStartsTheClientOnceAndReturnsZero) {
  fake::set_command_line("launcher.exe -x");
  char arg0[] = "launcher.exe", arg1[] = "-x";
  char* argv[] = {arg0, arg1, nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(launcher::run_entry(2, argv), 0);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(fake::starts().size(), 1u);
  EXPECT_EQ(fake::dispatched_service_name(), "");  // never connected
  EXPECT_EQ(launcher::g_child_process, fake::last_process());
  EXPECT_FALSE(fake::process_state(fake::last_process()).closed);
  EXPECT_TRUE(fake::events().empty());
}

TEST_F(RunEntryTest, DirectModeReturnsZeroWhenTheClientCannotStart) {
  fake::set_command_line("launcher.exe");
  fake::fail_start(3);  // ERROR_PATH_NOT_FOUND
  char arg0[] = "launcher.exe";
  char* argv[] = {arg0, nullptr};
  testing::internal::CaptureStdout();
  EXPECT_EQ(launcher::run_entry(1, argv), 0);
  EXPECT_FALSE(testing::internal::GetCapturedStdout().empty());
  EXPECT_EQ(fake::starts().size(), 1u);
  EXPECT_EQ(launcher::g_child_process, nullptr);
  EXPECT_TRUE(fake::events().empty());
}

TEST_F(RunEntryTest, ServiceModeReturnsTheDispatcherErrorAndStartsNothing) {
  fake::set_command_line("launcher.exe -action=service");
  fake::fail_dispatcher(1063);  // not started by the service manager
  char arg0[] = "launcher.exe", arg1[] = "-action=service";
  char* argv[] = {arg0, arg1, nullptr};
  EXPECT_EQ(launcher::run_entry(2, argv), 1063);
  EXPECT_TRUE(fake::starts().empty());
  EXPECT_TRUE(fake::reports().empty());
}

}  // namespace
