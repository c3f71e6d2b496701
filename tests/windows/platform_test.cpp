// The Windows side of the platform seam, called directly: what the service
// host decides on (error codes, the job) must come from the real calls.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "tests/windows/win_support.h"

namespace {

// Each failure carries the error code Windows gave for it, never a
// stand-in: the service reports these codes as its own.
TEST(Platform, FailuresCarryTheWindowsErrorCode) {
  uint32_t error = 0;
  EXPECT_EQ(platform::wait_for_either(nullptr, nullptr, &error), platform::kWaitFailed);
  EXPECT_EQ(error, platform::kErrorInvalidHandle);
  EXPECT_FALSE(platform::wait_for_end(nullptr, 0));

  platform::KeyHandle key = nullptr;
  EXPECT_EQ(platform::open_machine_key("SOFTWARE\\quorvel-client-absent", &key),
            platform::kErrorFileNotFound);
  EXPECT_EQ(key, nullptr);

  std::string command = "\"C:\\quorvel-absent\\x.exe\" ";
  platform::Handle process = &error;  // must stay untouched
  const uint32_t started = platform::start_process(command.data(), "C:\\", nullptr, &process);
  EXPECT_TRUE(started == 2 || started == 3) << started;
  EXPECT_EQ(process, &error);
}

// Only a client started with the job is in it, and it runs: it was resumed
// after it was put in. Its end is waited for within the bound: one ended
// from outside, and one that ends by itself a second later, which a wait that
// returned before its bound would miss (under Wine TerminateProcess ends a
// process before it returns, so only the second shows such a wait there).
TEST(Platform, StartsTheClientInTheJobOnlyWhenGivenOne) {
  wintest::install_client("p1");
  const platform::Handle job = platform::create_client_job();
  ASSERT_NE(job, nullptr);
  struct Row {
    bool with_job;
    const char* tail;
    uint32_t exit_code;  // of a client that ends by itself; else ended with 0
  };
  const Row rows[] = {{false, "", 0}, {true, "", 0}, {true, "--exit-after 1000 5", 5}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << (row.with_job ? "with the job " : "without ") << row.tail);
    wintest::clear_record("p1");
    std::string command = "\"" + wintest::client_dir("p1") + "\\quorvel_client.exe\" " + row.tail;
    platform::Handle process = nullptr;
    ASSERT_EQ(platform::start_process(command.data(), "C:\\", row.with_job ? job : nullptr, &process), 0u);
    BOOL in_job = !row.with_job;
    ASSERT_TRUE(IsProcessInJob(process, static_cast<HANDLE>(job), &in_job));
    EXPECT_EQ(in_job != FALSE, row.with_job);
    wintest::Record record;
    EXPECT_TRUE(wintest::wait_record("p1", &record));
    EXPECT_FALSE(platform::wait_for_end(process, 50));  // still running
    if (row.exit_code == 0) platform::terminate_process(process, 0);
    EXPECT_TRUE(platform::wait_for_end(process, 20000));
    EXPECT_EQ(WaitForSingleObject(process, 0), WAIT_OBJECT_0);
    EXPECT_EQ(platform::exit_code(process), row.exit_code);
    platform::close_handle(process);
  }
}

}  // namespace
