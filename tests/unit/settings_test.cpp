#include <string>

#include "launcher/settings.h"
#include "platform/platform.h"
#include "tests/unit/test_support.h"

namespace {

using std::string;
using namespace std::string_literals;

const string kVersionDefault = "1";
const string kDirDefault = "C:\\Program Files\\quorvel-client";

class SettingsTest : public FakePlatformTest {};

// One row per stored value; each is read through the fake registry, which
// fails a too-long read with ERROR_MORE_DATA and junk in the buffer, as
// Windows may.
TEST_F(SettingsTest, ReadsStoredTextOrFallsBackToTheDefault) {
  struct Case {
    const char* name;
    uint32_t key_result;  // 0: the key opens
    bool stored;
    uint32_t type;
    string bytes;
    uint32_t query_error;  // forced error from the query, 0 for none
    string version;        // what read_active_version yields
    string dir;            // what read_install_dir yields
  };
  const string v15(15, '7'), v16(16, '7');
  const string d511(511, 'd'), d512(512, 'd');
  const Case cases[] = {
      {"key absent", 2, false, 0, "", 0, kVersionDefault, kDirDefault},
      {"key denied", 5, true, 1, "9\0"s, 0, kVersionDefault, kDirDefault},
      {"value absent", 0, false, 0, "", 0, kVersionDefault, kDirDefault},
      {"plain", 0, true, 1, "2.5\0"s, 0, "2.5", "2.5"},
      {"blanks and backslashes", 0, true, 1, "a b\\c\0"s, 0, "a b\\c", "a b\\c"},
      {"empty", 0, true, 1, "\0"s, 0, "", ""},
      {"no bytes stored, not even a terminator", 0, true, 1, "", 0,
       kVersionDefault, kDirDefault},
      {"expandable, not expanded", 0, true, 2, "%SystemRoot%\\x\0"s, 0,
       "%SystemRoot%\\x", "%SystemRoot%\\x"},
      {"15 + terminator fits the version", 0, true, 1, v15 + '\0', 0, v15, v15},
      {"16 + terminator is too long for the version", 0, true, 1, v16 + '\0', 0,
       kVersionDefault, v16},
      {"16 without terminator fills the version buffer", 0, true, 1, v16, 0,
       kVersionDefault, v16},
      {"short without terminator", 0, true, 1, "42", 0, "42", "42"},
      {"511 + terminator fits the directory", 0, true, 1, d511 + '\0', 0,
       kVersionDefault, d511},
      {"512 without terminator", 0, true, 1, d512, 0, kVersionDefault,
       kDirDefault},
      {"512 + terminator", 0, true, 1, d512 + '\0', 0, kVersionDefault,
       kDirDefault},
      {"huge", 0, true, 1, string(70000, 'h') + '\0', 0, kVersionDefault,
       kDirDefault},
      {"text after the first zero", 0, true, 1, "ab\0cd\0"s, 0, "ab", "ab"},
      {"REG_DWORD", 0, true, 4, "\x03\0\0\0"s, 0, kVersionDefault, kDirDefault},
      {"REG_BINARY", 0, true, 3, "bin\0"s, 0, kVersionDefault, kDirDefault},
      {"REG_MULTI_SZ", 0, true, 7, "a\0b\0\0"s, 0, kVersionDefault, kDirDefault},
      {"REG_NONE", 0, true, 0, "x\0"s, 0, kVersionDefault, kDirDefault},
      {"query denied", 0, true, 1, "5\0"s, 5, kVersionDefault, kDirDefault},
      {"query fails oddly", 0, true, 1, "5\0"s, 1009, kVersionDefault,
       kDirDefault},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fake::reset();
    fake::set_key_open_result(c.key_result);
    for (const char* value : {"ActiveVersion", "Install_Dir"}) {
      if (c.stored) fake::set_value(value, c.type, c.bytes);
      if (c.query_error) fake::set_query_error(value, c.query_error);
    }
    EXPECT_EQ(launcher::read_active_version(), c.version);
    EXPECT_EQ(launcher::read_install_dir(), c.dir);
    EXPECT_EQ(fake::keys_open(), 0);
  }
}

TEST(SettingText, NeverReadsPastTheStoredBytesOrTheBuffer) {
  // The buffer holds a stale tail past the stored bytes; none of it may show,
  // not even up to a zero that lies past the stored size.
  const string stale = "abXYZWVU";
  const string zero_after = "ab\0XYZWV"s;
  const string zero_later = "abcde\0WV"s;
  struct Case {
    const string* buffer;
    uint32_t result, type, size;
    const char* expected;
  };
  const Case cases[] = {
      {&stale, 0, 1, 2, "ab"},
      {&stale, 0, 1, 0, "default"},  // nothing stored: the default stands
      {&stale, 0, 1, 1, "a"},
      {&stale, 0, 2, 7, "abXYZWV"},
      {&stale, 0, 1, 8, "default"},   // fills the buffer, no terminator
      {&stale, 0, 1, 9, "default"},   // a size beyond the buffer is not trusted
      {&stale, 0, 1, 0xFFFFFFFF, "default"},
      {&stale, 234, 1, 8, "default"},  // ERROR_MORE_DATA
      {&stale, 2, 1, 2, "default"},
      {&stale, 0, 4, 4, "default"},
      {&zero_after, 0, 1, 1, "a"},
      {&zero_after, 0, 1, 2, "ab"},
      {&zero_after, 0, 1, 3, "ab"},
      {&zero_later, 0, 1, 3, "abc"},
      {&zero_later, 0, 2, 4, "abcd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << *c.buffer << "/" << c.result << "/"
                                    << c.type << "/" << c.size);
    ASSERT_EQ(c.buffer->size(), 8u);
    EXPECT_EQ(launcher::setting_text(
                  c.result, c.type,
                  reinterpret_cast<const unsigned char*>(c.buffer->data()),
                  c.size, 8, "default"),
              c.expected);
  }
}

}  // namespace
