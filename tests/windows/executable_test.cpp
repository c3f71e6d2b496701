// What the built quorvel_launcher.exe carries: icon, version, no manifest.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

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
  FreeLibrary(image);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> data(size);
  ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, data.data()));
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length));
  EXPECT_EQ(info->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(info->dwFileVersionLS, 0u);
  EXPECT_EQ(info->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(info->dwProductVersionLS, 0u);
}

}  // namespace
