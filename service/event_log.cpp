#include "service/event_log.h"

#include <array>
#include <cstdio>
#include <initializer_list>

#include "launcher/constants.h"
#include "platform/platform.h"

namespace service {

namespace {

void write(uint16_t type, uint32_t id,
           std::initializer_list<std::string> strings) {
  constexpr size_t kMostStrings = 6;  // of any entry here
  std::array<const char*, kMostStrings> texts{};
  uint16_t count = 0;
  for (const std::string& text : strings) texts.at(count++) = text.c_str();
  platform::write_event(launcher::kServiceName, type, id, texts.data(), count);
}

}  // namespace

std::string event_string(std::string_view text) {
  // Starts with a blank, which no code page takes as the second byte of a
  // character: a lead byte left at the cut cannot swallow the marker.
  static constexpr std::string_view kMarker = " [cut]";
  if (text.size() <= kEventStringLimit) return std::string(text);
  std::string cut(text.substr(0, kEventStringLimit - kMarker.size()));
  cut += kMarker;
  return cut;
}

void write_client_started(const launcher::LaunchDetails& launch,
                          uint32_t pid) {
  write(platform::kEventInformation, kEventClientStarted,
        {event_string(launch.command), event_string(launch.directory),
         std::to_string(pid)});
}

void write_client_not_started(const launcher::LaunchDetails& launch,
                              uint32_t error) {
  const std::string client = launcher::client_dir(launch.version) + '\\' +
                             launcher::kClientFileName;
  write(platform::kEventError, kEventClientNotStarted,
        {client, launch.version, event_string(launch.directory),
         std::to_string(error),
         platform::error_text(error), event_string(launch.command)});
}

void write_client_ended(uint32_t pid, uint32_t exit_code) {
  // Decimal as a program's own codes are written, hexadecimal as a crash's
  // (0xC0000005) is.
  std::array<char, sizeof("4294967295 (0xFFFFFFFF)")> code{};
  (void)std::snprintf(code.data(), code.size(), "%u (0x%08X)", exit_code,
                      exit_code);
  write(platform::kEventWarning, kEventClientEnded,
        {code.data(), std::to_string(pid)});
}

void write_stop_requested(uint32_t pid) {
  write(platform::kEventInformation, kEventStopRequested,
        {std::to_string(pid)});
}

}  // namespace service
