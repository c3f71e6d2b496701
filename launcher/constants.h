// The launcher's fixed strings. Built in, not configurable.
#pragma once

namespace launcher {

inline constexpr char kServiceName[] = "quorvel-client";
inline constexpr char kSettingsKey[] = "SOFTWARE\\quorvel-client";  // under HKLM
inline constexpr char kInstallDirValue[] = "Install_Dir";
inline constexpr char kActiveVersionValue[] = "ActiveVersion";
inline constexpr char kClientFileName[] = "quorvel_client.exe";
inline constexpr char kClientBaseDir[] = "C:\\ProgramData\\Quorvel\\service";
inline constexpr char kServiceSwitch[] = "-action=service";

inline constexpr char kDefaultActiveVersion[] = "1";
inline constexpr char kDefaultInstallDir[] = "C:\\Program Files\\quorvel-client";

// Read buffers for the two values, terminating zero included.
inline constexpr unsigned kActiveVersionBufferSize = 16;
inline constexpr unsigned kInstallDirBufferSize = 512;

}  // namespace launcher
