// Starting the client program.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace launcher {

// What one start tried, for the service's event log entries.
struct LaunchDetails {
  std::string command;    // as on the [cmd] line
  std::string directory;  // Install_Dir, the working directory
  std::string version;    // ActiveVersion
};

// Starts the client once: reads the settings, writes the line
// "[cmd] <command> CWD: <dir>" to standard output, then creates the process,
// in g_client_job when there is one.
// Returns 0 and fills the ChildProcessSlot, or the Windows error code of the
// failed creation with the slot unchanged. With `details`, also fills them,
// whether or not the start succeeded.
uint32_t launch_client(LaunchDetails* details = nullptr);

// What follows the first token of `command_line`: the text after the first
// blank that is outside double quotes, exactly one blank consumed; empty when
// there is no such blank. A view into `command_line`.
std::string_view command_tail(std::string_view command_line);

// <base>\bin\v<version>
std::string client_dir(std::string_view version);

// "<client_dir>\quorvel_client.exe" <tail>
std::string client_command(std::string_view client_dir, std::string_view tail);

}  // namespace launcher
