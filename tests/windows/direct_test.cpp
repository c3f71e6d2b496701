// Direct mode against the real registry and the real CreateProcess.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/windows/win_support.h"

namespace {

using wintest::Record;

// No test may leave a client running: a hung client would outlive the run.
class EndClients : public ::testing::Environment {
 public:
  void TearDown() override { wintest::end_all_clients(); }
};
const auto* const g_end_clients =
    ::testing::AddGlobalTestEnvironment(new EndClients);

std::string expected_line(const std::string& version, const std::string& tail,
                          const std::string& cwd) {
  return "[cmd] \"" + wintest::client_dir(version) +
         "\\quorvel_client.exe\" " + tail + " CWD: " + cwd + "\r\n";
}

void end_client(DWORD pid) {
  HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
  if (!process) return;
  TerminateProcess(process, 0);
  WaitForSingleObject(process, 10000);
  CloseHandle(process);
}

TEST(DirectMode, StartsTheClientInInstallDirWithTheExactTail) {
  struct Case {
    const char* version;
    std::string tail;
  };
  const Case cases[] = {
      {"d1", "a  \"b c\" \"-action=Service\""},
      {"d 2.5", "-x \"unclosed"},
      {"d3", ""},
      {"d4", "caf\xE9 \t tab"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const std::string work = "C:\\quorvel test\\work " + std::string(c.version);
    CreateDirectoryA("C:\\quorvel test", nullptr);
    CreateDirectoryA(work.c_str(), nullptr);
    wintest::install_client(c.version);
    wintest::set_settings(c.version, work);

    // The blank is written even before an empty tail, as a caller would.
    const std::string command = "\"" + wintest::launcher_path() + "\" " + c.tail;
    const auto run = wintest::run(command, 20000, "inherited");

    // The client hangs; the launcher returned without waiting for it.
    ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.output, expected_line(c.version, c.tail, work));
    Record record;
    ASSERT_TRUE(wintest::wait_record(c.version, &record));
    EXPECT_EQ(record.cmdline, "\"" + wintest::client_dir(c.version) +
                                  "\\quorvel_client.exe\" " + c.tail);
    EXPECT_EQ(record.cwd, work);
    EXPECT_EQ(record.env, "inherited");
    EXPECT_TRUE(wintest::process_alive(record.pid));
    end_client(record.pid);
  }
}

// The launcher is started inheriting an inheritable handle of the test; it
// must not pass it on. A value far above the few handles a new process
// opens for itself, so that none of the client's own can take it.
TEST(DirectMode, ClientInheritsNoHandle) {
  std::vector<HANDLE> filler(1000);
  for (HANDLE& h : filler) h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  HANDLE event = CreateEventA(&inheritable, TRUE, FALSE, nullptr);
  for (HANDLE h : filler) CloseHandle(h);
  ASSERT_TRUE(event);
  const std::string tail =
      "--probe-handle " + std::to_string(reinterpret_cast<uintptr_t>(event)) +
      " --exit 0";
  wintest::install_client("inherit");
  wintest::set_settings("inherit", "C:\\");

  // Started by the test itself, inheriting, the client sees the handle.
  auto run = wintest::run("\"" + wintest::client_dir("inherit") +
                          "\\quorvel_client.exe\" " + tail);
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  Record record;
  ASSERT_TRUE(wintest::wait_record("inherit", &record));
  EXPECT_EQ(record.handle_valid, 1) << "the probe cannot see an inherited handle";

  wintest::clear_record("inherit");
  run = wintest::run("\"" + wintest::launcher_path() + "\" " + tail);
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  record = Record();
  ASSERT_TRUE(wintest::wait_record("inherit", &record));
  EXPECT_EQ(record.handle_valid, 0) << "the client inherited the launcher's handle";
  CloseHandle(event);
}

TEST(DirectMode, MissingClientStillExitsZeroAfterTheLine) {
  wintest::set_settings("absent", "C:\\");
  const auto run = wintest::run("\"" + wintest::launcher_path() + "\" -q");
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, expected_line("absent", "-q", "C:\\"));
}

TEST(DirectMode, DefaultsApplyWithoutTheKey) {
  wintest::delete_settings();
  wintest::install_client("1");
  CreateDirectoryA("C:\\Program Files\\quorvel-client", nullptr);
  const auto run = wintest::run("\"" + wintest::launcher_path() + "\" --exit 0");
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, expected_line("1", "--exit 0",
                                      "C:\\Program Files\\quorvel-client"));
  Record record;
  ASSERT_TRUE(wintest::wait_record("1", &record));
  EXPECT_EQ(record.cwd, "C:\\Program Files\\quorvel-client");
}

// The runtime expands wildcards before the arguments are scanned: a pattern
// that matches a file named like the switch selects service mode (and, run
// by hand, the dispatcher's refusal), while the client's tail, cut from the
// raw command line, keeps the pattern.
TEST(DirectMode, WildcardsAreExpandedBeforeTheScan) {
  const char* dir = "C:\\quorvel glob";
  CreateDirectoryA(dir, nullptr);
  wintest::set_settings("absent", "C:\\");
  const std::string command = "\"" + wintest::launcher_path() + "\" -action=servic*";

  auto run = wintest::run(command, 20000, nullptr, dir);
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(run.output, expected_line("absent", "-action=servic*", "C:\\"));

  const std::string file = std::string(dir) + "\\-action=service";
  HANDLE created = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(created, INVALID_HANDLE_VALUE);
  CloseHandle(created);
  run = wintest::run(command, 20000, nullptr, dir);
  DeleteFileA(file.c_str());
  ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
  EXPECT_EQ(run.exit_code, 1063u);
  EXPECT_EQ(run.output, "");
}

}  // namespace
