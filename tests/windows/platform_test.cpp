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
// after it was put in.
TEST(Platform, StartsTheClientInTheJobOnlyWhenGivenOne) {
  wintest::install_client("p1");
  const platform::Handle job = platform::create_client_job();
  ASSERT_NE(job, nullptr);
  for (bool with_job : {false, true}) {
    SCOPED_TRACE(with_job ? "with the job" : "without");
    wintest::clear_record("p1");
    std::string command = "\"" + wintest::client_dir("p1") + "\\quorvel_client.exe\" ";
    platform::Handle process = nullptr;
    ASSERT_EQ(platform::start_process(command.data(), "C:\\", with_job ? job : nullptr, &process), 0u);
    BOOL in_job = !with_job;
    ASSERT_TRUE(IsProcessInJob(process, static_cast<HANDLE>(job), &in_job));
    EXPECT_EQ(in_job != FALSE, with_job);
    wintest::Record record;
    EXPECT_TRUE(wintest::wait_record("p1", &record));
    EXPECT_FALSE(platform::wait_for_end(process, 50));  // still running
    platform::terminate_process(process, 0);
    EXPECT_TRUE(platform::wait_for_end(process, 10000));
    platform::close_handle(process);
  }
}

}  // namespace
