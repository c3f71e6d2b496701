// Shared set-up for the unit tests: a clean fake, an empty client slot and
// no job.
#pragma once

#include <gtest/gtest.h>

#include "launcher/child_process.h"
#include "tests/fake/fake_platform.h"

class FakePlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    launcher::g_child_process = nullptr;
    launcher::g_client_job = nullptr;
  }
  // Then joins what the test left running (a client's end on its way), so
  // that no thread is left joinable when the program exits.
  void TearDown() override {
    EXPECT_TRUE(fake::violations().empty()) << violations_text();
    fake::reset();
  }

  static std::string violations_text() {
    std::string text;
    for (const auto& v : fake::violations()) text += v + "; ";
    return text;
  }
};
