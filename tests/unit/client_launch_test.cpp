#include <string>

#include "launcher/client_launch.h"
#include "tests/unit/test_support.h"

namespace {

TEST(CommandTail, CutsAfterTheFirstBlankOutsideQuotes) {
  struct Case {
    const char* line;
    const char* tail;
  };
  const Case cases[] = {
      {"", ""},
      {"launcher.exe", ""},
      {"launcher.exe ", ""},
      {"launcher.exe -action=service", "-action=service"},
      {"\"C:\\Program Files\\q\\launcher.exe\" -action=service",
       "-action=service"},
      {"launcher.exe  -x", " -x"},         // one blank consumed
      {"launcher.exe\t-x", ""},            // a tab is no separator
      {"launcher.exe\t-x -y", "-y"},
      {"\"C:\\a b\\launcher.exe -x", ""},  // unclosed quote
      {" -x", "-x"},                       // empty first token
      {"la\"unch er\".exe a \"b c\"", "a \"b c\""},
      {"launcher.exe \"-action=service\" \"x y\"",
       "\"-action=service\" \"x y\""},
      {"a\"\"b c", "c"},
      {"launcher.exe \xE9t\xE9 \xff", "\xE9t\xE9 \xff"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string_view line(c.line);
    const std::string_view tail = launcher::command_tail(line);
    EXPECT_EQ(tail, c.tail);
    // A view into the command line itself, never a copy.
    if (!tail.empty()) {
      EXPECT_EQ(tail.data() + tail.size(), line.data() + line.size());
    }
  }
}

TEST(ClientCommand, ComposesDirectoryAndQuotedCommand) {
  struct Case {
    const char* version;
    const char* tail;
    const char* dir;
    const char* command;
  };
  const Case cases[] = {
      {"3", "-action=service", "C:\\ProgramData\\Quorvel\\service\\bin\\v3",
       "\"C:\\ProgramData\\Quorvel\\service\\bin\\v3\\quorvel_client.exe\" "
       "-action=service"},
      {"1", "", "C:\\ProgramData\\Quorvel\\service\\bin\\v1",
       "\"C:\\ProgramData\\Quorvel\\service\\bin\\v1\\quorvel_client.exe\" "},
      {"", " -x", "C:\\ProgramData\\Quorvel\\service\\bin\\v",
       "\"C:\\ProgramData\\Quorvel\\service\\bin\\v\\quorvel_client.exe\"  -x"},
      {"2.5 b\\c", "\"q\"", "C:\\ProgramData\\Quorvel\\service\\bin\\v2.5 b\\c",
       "\"C:\\ProgramData\\Quorvel\\service\\bin\\v2.5 b\\c\\quorvel_client.exe\" "
       "\"q\""},
      {"%V%\\t\\n", "", "C:\\ProgramData\\Quorvel\\service\\bin\\v%V%\\t\\n",
       "\"C:\\ProgramData\\Quorvel\\service\\bin\\v%V%\\t\\n\\quorvel_client.exe\" "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const std::string dir = launcher::client_dir(c.version);
    EXPECT_EQ(dir, c.dir);
    EXPECT_EQ(launcher::client_command(dir, c.tail), c.command);
  }
}

class LaunchClientTest : public FakePlatformTest {};

// Everything one launch does, seen from outside: the line on standard
// output (byte for byte), what was started where, and the slot.
TEST_F(LaunchClientTest, StartsTheComposedCommandAndWritesTheLine) {
  const std::string v1 =
      "\"C:\\ProgramData\\Quorvel\\service\\bin\\v1\\quorvel_client.exe\" ";
  const std::string v3 =
      "\"C:\\ProgramData\\Quorvel\\service\\bin\\v3\\quorvel_client.exe\" ";
  struct Case {
    const char* name;
    const char* command_line;
    bool key_present;
    const char* version;      // nullptr: value absent
    const char* install_dir;  // nullptr: value absent
    uint32_t start_error;
    std::string command;
    std::string cwd;
  };
  const Case cases[] = {
      {"key absent, no tail", "\"C:\\x y\\launcher.exe\"", false, nullptr,
       nullptr, 0, v1, "C:\\Program Files\\quorvel-client"},
      {"both values", "launcher.exe -action=service", true, "3", "D:\\Work", 0,
       v3 + "-action=service", "D:\\Work"},
      {"version absent", "launcher.exe a  b", true, nullptr, "D:\\W", 0,
       v1 + "a  b", "D:\\W"},
      {"empty install dir", "launcher.exe \"q\"", true, "1", "", 0,
       v1 + "\"q\"", ""},
      {"start fails", "launcher.exe -x", true, "3", "D:\\W", 2, v3 + "-x",
       "D:\\W"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    launcher::g_child_process = nullptr;
    fake::set_command_line(c.command_line);
    if (c.key_present) fake::set_key_open_result(0);
    if (c.version) fake::set_value("ActiveVersion", 1, std::string(c.version) + '\0');
    if (c.install_dir) fake::set_value("Install_Dir", 1, std::string(c.install_dir) + '\0');
    fake::fail_start(c.start_error);

    testing::internal::CaptureStdout();
    const uint32_t result = launcher::launch_client();
    const std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, "[cmd] " + c.command + " CWD: " + c.cwd + "\n");
    const auto starts = fake::starts();
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0].command, c.command);
    EXPECT_EQ(starts[0].working_directory, c.cwd);
    EXPECT_EQ(result, c.start_error);
    if (c.start_error == 0) {
      EXPECT_EQ(launcher::g_child_process, fake::last_process());
    } else {
      EXPECT_EQ(launcher::g_child_process, nullptr);
    }
    EXPECT_EQ(fake::keys_open(), 0);
  }
}

}  // namespace
