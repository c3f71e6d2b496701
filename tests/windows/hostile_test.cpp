// Hostile settings and command lines, end to end against the real registry
// and CreateProcess: the launcher takes the documented text or the default,
// and never crashes or hangs.
#include <gtest/gtest.h>

#include <string>

#include "tests/windows/win_support.h"

namespace {

using namespace std::string_literals;

const std::string kDefaultDir = "C:\\Program Files\\quorvel-client";

std::string line_for(const std::string& version, const std::string& tail,
                     const std::string& cwd) {
  return "[cmd] \"" + wintest::client_dir(version) + "\\quorvel_client.exe\" " +
         tail + " CWD: " + cwd + "\r\n";
}

struct Stored {
  DWORD type;
  std::string bytes;  // exactly as stored; no terminator is added
};

struct Case {
  const char* name;
  Stored version;   // type 0xFFFF: not stored
  Stored dir;
  std::string expected_version;
  std::string expected_dir;
};

const Stored kAbsent{0xFFFF, ""};

std::vector<Case> cases() {
  const std::string v15(15, '7'), v16(16, '7');
  const std::string d511 = "C:\\" + std::string(508, 'd');
  const std::string d600 = "C:\\" + std::string(597, 'd');
  return {
      {"version too long", {REG_SZ, v16 + '\0'}, kAbsent, "1", kDefaultDir},
      {"version of 15", {REG_SZ, v15 + '\0'}, kAbsent, v15, kDefaultDir},
      {"version fills the buffer unterminated", {REG_SZ, v16}, kAbsent, "1",
       kDefaultDir},
      {"version REG_DWORD", {REG_DWORD, "\x03\0\0\0"s}, kAbsent, "1", kDefaultDir},
      {"version REG_BINARY", {REG_BINARY, "3\0"s}, kAbsent, "1", kDefaultDir},
      {"version REG_MULTI_SZ", {REG_MULTI_SZ, "3\0\0"s}, kAbsent, "1", kDefaultDir},
      {"version empty", {REG_SZ, "\0"s}, kAbsent, "", kDefaultDir},
      {"version of no bytes", {REG_SZ, ""}, kAbsent, "1", kDefaultDir},
      {"version non-ASCII", {REG_SZ, "v\xE9\0"s}, kAbsent, "v\xE9", kDefaultDir},
      {"version short, stored without its zero", {REG_SZ, "42"}, kAbsent, "42",
       kDefaultDir},
      {"dir REG_EXPAND_SZ not expanded", kAbsent, {REG_EXPAND_SZ, "%TEMP%\\x\0"s},
       "1", "%TEMP%\\x"},
      {"dir empty", kAbsent, {REG_SZ, "\0"s}, "1", ""},
      {"dir of no bytes", kAbsent, {REG_EXPAND_SZ, ""}, "1", kDefaultDir},
      {"dir of 511", kAbsent, {REG_SZ, d511 + '\0'}, "1", d511},
      {"dir too long", kAbsent, {REG_SZ, d600 + '\0'}, "1", kDefaultDir},
      {"dir REG_DWORD", kAbsent, {REG_DWORD, "\x01\0\0\0"s}, "1", kDefaultDir},
  };
}

void store(const Case& c) {
  wintest::delete_settings();
  if (c.version.type != kAbsent.type) {
    wintest::set_setting("ActiveVersion", c.version.type, c.version.bytes);
  }
  if (c.dir.type != kAbsent.type) {
    wintest::set_setting("Install_Dir", c.dir.type, c.dir.bytes);
  }
}

TEST(Hostile, SettingsInDirectMode) {
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    store(c);
    const auto run = wintest::run("\"" + wintest::launcher_path() + "\" --exit 0");
    ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.output, line_for(c.expected_version, "--exit 0", c.expected_dir));
  }
}

TEST(Hostile, SettingsInServiceMode) {
  // The client is installed where the defaults point, so settings that fall
  // back to them run it; the others fail to start it (1066).
  wintest::install_client("1");
  CreateDirectoryA(kDefaultDir.c_str(), nullptr);
  for (const Case& c : cases()) {
    SCOPED_TRACE(c.name);
    store(c);
    wintest::clear_record("1");
    SC_HANDLE service = wintest::install_service(
        wintest::service_command("--exit-after 200 0"));
    ASSERT_TRUE(service);
    const auto seen = wintest::watch_start(service, SERVICE_STOPPED);
    const bool runs = c.expected_version == "1" && c.expected_dir == kDefaultDir;
    if (runs) {
      EXPECT_EQ(wintest::describe(seen), "RUNNING -> STOPPED(1067,0)");
    } else {
      ASSERT_EQ(seen.size(), 1u) << wintest::describe(seen);
      EXPECT_EQ(seen[0].state, static_cast<DWORD>(SERVICE_STOPPED));
      EXPECT_EQ(seen[0].exit_code, 1066u);
      EXPECT_NE(seen[0].specific, 0u);
    }
    wintest::wait_state(service, SERVICE_STOPPED);
    CloseServiceHandle(service);
  }
}

// The key's DACL decides what the launcher may read: nothing at all gives
// the defaults; read access alone is all the launcher asks for, so the
// stored values count.
TEST(Hostile, KeyAccessDecidesWhatIsRead) {
  struct Grant {
    const char* name;
    DWORD everyone;  // the one access granted to Everyone; 0: no entry at all
    std::string version;
    std::string dir;
  };
  const Grant grants[] = {
      {"nothing granted to anyone", 0, "1", kDefaultDir},
      {"read only, to everyone", KEY_READ, "9", "C:\\"},
  };
  PSID everyone = nullptr;
  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0,
                                       0, 0, 0, 0, &everyone));
  for (const Grant& g : grants) {
    SCOPED_TRACE(g.name);
    wintest::set_settings("9", "C:\\");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quorvel-client", 0,
                            WRITE_DAC | KEY_READ, &key), ERROR_SUCCESS);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    alignas(ACL) unsigned char acl_bytes[256];
    auto* acl = reinterpret_cast<ACL*>(acl_bytes);
    InitializeAcl(acl, sizeof(acl_bytes), ACL_REVISION);
    if (g.everyone) AddAccessAllowedAce(acl, ACL_REVISION, g.everyone, everyone);
    SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE);
    const LONG set = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
    // The registry must enforce the grant: read opens exactly when granted,
    // and more than read never does.
    HKEY probe = nullptr;
    const LONG read = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quorvel-client",
                                    0, KEY_READ, &probe);
    if (probe) RegCloseKey(probe);
    probe = nullptr;
    const LONG all = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quorvel-client",
                                   0, KEY_ALL_ACCESS, &probe);
    if (probe) RegCloseKey(probe);
    const bool enforced = set == ERROR_SUCCESS && all == ERROR_ACCESS_DENIED &&
                          read == (g.everyone ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    if (enforced) {
      const auto run = wintest::run("\"" + wintest::launcher_path() + "\" --exit 0");
      EXPECT_EQ(run.exit_code, 0u);
      EXPECT_EQ(run.output, line_for(g.version, "--exit 0", g.dir));
    }

    // Give the key an open DACL again so that later runs can replace it.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\quorvel-client", 0,
                            WRITE_DAC, &key), ERROR_SUCCESS);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);
    RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
    wintest::delete_settings();
    if (!enforced) {
      FreeSid(everyone);
      GTEST_SKIP() << "this registry does not enforce key ACLs (set " << set
                   << ", read " << read << ", all " << all
                   << "); the fake covers a denied key";
    }
  }
  FreeSid(everyone);
}

TEST(Hostile, CommandLines) {
  wintest::set_settings("h1", "C:\\");
  wintest::install_client("h1");
  // Run from a fixed path shorter than the client's, wherever the checkout
  // lives, so that the launcher's own line always fits and only the client's
  // composed command meets the limit.
  const std::string launcher = "\"" + wintest::short_launcher_path() + "\"";
  const std::string client =
      "\"" + wintest::client_dir("h1") + "\\quorvel_client.exe\"";
  ASSERT_LT(launcher.size(), client.size());
  struct Line {
    const char* name;
    std::string tail;
    bool client_starts;
  };
  // The longest line CreateProcessA takes: 32,767 characters with the zero.
  // "--exit 0 " and this fill the client's command to 32,766 characters.
  const std::string longest(32766 - client.size() - 1 - 9, 'x');
  const Line lines[] = {
      {"unmatched quote", "--exit 0 \"unclosed", true},
      {"non-ASCII bytes", "--exit 0 \xE9\xFF\x80 \x01", true},
      {"trailing blanks", "--exit 0   ", true},
      {"client's command of the maximum length", "--exit 0 " + longest, true},
      {"client's command one too long", "--exit 0 " + longest + "x", false},
  };
  for (const Line& l : lines) {
    SCOPED_TRACE(l.name);
    wintest::clear_record("h1");
    const auto run = wintest::run(launcher + " " + l.tail);
    ASSERT_TRUE(run.finished) << "creation error " << run.create_error;
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.output, line_for("h1", l.tail, "C:\\"));
    wintest::Record record;
    EXPECT_EQ(wintest::wait_record("h1", &record, l.client_starts ? 10000 : 300),
              l.client_starts);
    if (l.client_starts) {
      EXPECT_EQ(record.cmdline, client + " " + l.tail);
    }
  }
}

}  // namespace
