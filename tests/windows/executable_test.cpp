// What the built quorvel_launcher.exe carries: icon, the project's version,
// no manifest.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

#include "quorvel_version.h"

#include "service/event_log.h"
#include "tests/windows/win_support.h"

namespace {

TEST(Executable, CarriesTheIconAndVersionButNoManifest) {
  const std::string path = wintest::launcher_path();
  HMODULE image = LoadLibraryExA(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_TRUE(image) << GetLastError();
  EXPECT_TRUE(FindResourceA(image, "MAINICON", MAKEINTRESOURCEA(14)));  // RT_GROUP_ICON
  // No manifest under any id.
  int manifests = 0;
  EnumResourceNamesA(image, MAKEINTRESOURCEA(24),  // RT_MANIFEST
                     [](HMODULE, LPCSTR, LPSTR, LONG_PTR count) -> BOOL {
                       ++*reinterpret_cast<int*>(count);
                       return TRUE;
                     },
                     reinterpret_cast<LONG_PTR>(&manifests));
  EXPECT_EQ(manifests, 0);
  for (uint32_t id : {service::kEventClientStarted, service::kEventClientNotStarted,
                      service::kEventClientEnded, service::kEventStopRequested,
                      service::kEventStopClientNotEnded}) {
    char text[512];  // the message table's text for each entry the launcher writes
    EXPECT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, image,
                             id, 0, text, sizeof(text), nullptr), 0u) << id;
  }
  FreeLibrary(image);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length));
  const DWORD high = QUORVEL_VERSION_MAJOR << 16 | QUORVEL_VERSION_MINOR;
  const DWORD low = QUORVEL_VERSION_PATCH << 16 | QUORVEL_VERSION_TWEAK;
  EXPECT_EQ(info->dwFileVersionMS, high);
  EXPECT_EQ(info->dwFileVersionLS, low);
  EXPECT_EQ(info->dwProductVersionMS, high);
  EXPECT_EQ(info->dwProductVersionLS, low);
  for (const char* name : {"FileVersion", "ProductVersion"}) {
    SCOPED_TRACE(name);
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    char* text = nullptr;
    ASSERT_TRUE(VerQueryValueA(data.data(), key.c_str(),
                               reinterpret_cast<void**>(&text), &length));
    EXPECT_STREQ(text, QUORVEL_VERSION_TEXT);
  }
}

// The stack guard, in the test client as in the launcher: with MinGW-w64
// ours (platform/stack_guard_win.cpp), with MSVC the /GS cookie of its
// runtime. Either starts from the same fixed value, is seeded anew in each
// process, and an overrun of a frame ends the process at once with the
// status of a stack buffer overrun (the fast-fail interrupt), with no
// message and no time spent in a handler. Only ours keeps its low byte
// zero; the /GS cookie's is as random as the rest.
TEST(Executable, StackGuardIsSeededPerProcessAndEndsAnOverrun) {
  wintest::install_client("g1");
  const std::string client = "\"" + wintest::client_dir("g1") + "\\quorvel_client.exe\"";
  std::set<unsigned long long> guards;
  for (int overrun : {0, 0, 64}) {
    SCOPED_TRACE(overrun);
    wintest::clear_record("g1");
    const auto run = wintest::run(client + " --overrun " + std::to_string(overrun));
    ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
    EXPECT_EQ(run.exit_code, overrun ? static_cast<DWORD>(STATUS_STACK_BUFFER_OVERRUN) : 0u);
    EXPECT_EQ(run.output, "");
    wintest::Record record;
    ASSERT_TRUE(wintest::wait_record("g1", &record));
#if !defined(_MSC_VER)
    EXPECT_EQ(record.guard & 0xFF, 0u) << "a string function could copy it";
#endif
    EXPECT_NE(record.guard, 0x2B992DDFA232ULL) << "never seeded";
    guards.insert(record.guard);
  }
  EXPECT_EQ(guards.size(), 3u);
}

}  // namespace
