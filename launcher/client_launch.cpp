#include "launcher/client_launch.h"

#include <cstdio>

#include "launcher/child_process.h"
#include "launcher/constants.h"
#include "launcher/settings.h"
#include "platform/platform.h"

namespace launcher {

std::string_view command_tail(std::string_view command_line) {
  bool quoted = false;
  for (size_t i = 0; i < command_line.size(); ++i) {
    const char c = command_line[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ' ' && !quoted) {
      return command_line.substr(i + 1);
    }
  }
  return command_line.substr(command_line.size());
}

std::string client_dir(std::string_view version) {
  std::string dir(kClientBaseDir);
  dir += "\\bin\\v";
  dir += version;
  return dir;
}

std::string client_command(std::string_view client_dir,
                           std::string_view tail) {
  std::string command;
  command.reserve(client_dir.size() + sizeof(kClientFileName) + tail.size() +
                  4);
  command += '"';
  command += client_dir;
  command += '\\';
  command += kClientFileName;
  command += "\" ";
  command += tail;
  return command;
}

uint32_t launch_client(LaunchDetails* details) {
  const std::string_view tail = command_tail(platform::command_line());
  const std::string version = read_active_version();
  const std::string dir = client_dir(version);
  std::string install_dir = read_install_dir();
  std::string command = client_command(dir, tail);

  // Written before the start is tried, so that it shows what was attempted
  // even when the start fails. Buffered; normal exit flushes it.
  std::printf("[cmd] %s CWD: %s\n", command.c_str(), install_dir.c_str());

  platform::Handle process = nullptr;
  const uint32_t result =
      platform::start_process(command.data(), install_dir.c_str(),
                              g_client_job, &process);
  if (details) *details = {std::move(command), std::move(install_dir), version};
  if (result != platform::kErrorSuccess) return result;
  g_child_process = process;
  return 0;
}

}  // namespace launcher
