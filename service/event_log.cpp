#include "service/event_log.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <numeric>

#include "launcher/constants.h"
#include "platform/platform.h"

namespace service {

namespace {

// Starts with a blank, which no code page takes as the second byte of a
// character: a lead byte left at the cut cannot swallow the marker.
constexpr std::string_view kCutMarker = " [cut]";

// The bytes `strings` take in an entry when none is left longer than `most`.
size_t entry_size(const std::vector<std::string>& strings, size_t most) {
  return std::accumulate(strings.begin(), strings.end(), size_t{0},
                         [most](size_t size, const std::string& text) {
                           return size + std::min(text.size(), most) + 1;
                         });
}

void write(uint16_t type, uint32_t id, std::vector<std::string> strings) {
  strings = fit_event_strings(std::move(strings));
  constexpr size_t kMostStrings = 6;  // of any entry here
  std::array<const char*, kMostStrings> texts{};
  uint16_t count = 0;
  for (const std::string& text : strings) texts.at(count++) = text.c_str();
  platform::write_event(launcher::kServiceName, type, id, texts.data(), count);
}

}  // namespace

std::vector<std::string> fit_event_strings(std::vector<std::string> strings) {
  size_t fits = kCutMarker.size();
  size_t longest = 0;
  for (const std::string& text : strings) longest = std::max(longest, text.size());
  if (entry_size(strings, longest) <= kEventEntryLimit) return strings;
  // The longest length every string may keep: `fits` fits, `longest` not.
  while (longest - fits > 1) {
    const size_t middle = fits + (longest - fits) / 2;
    if (entry_size(strings, middle) <= kEventEntryLimit) {
      fits = middle;
    } else {
      longest = middle;
    }
  }
  for (std::string& text : strings) {
    if (text.size() > fits) {
      text.resize(fits - kCutMarker.size());
      text += kCutMarker;
    }
  }
  return strings;
}

std::string fill_path_insert(std::string_view text, std::string_view path) {
  std::string filled;
  size_t at = 0;
  while (at < text.size()) {
    const size_t percent = text.find('%', at);
    if (percent == std::string_view::npos || percent + 1 == text.size()) break;
    filled.append(text.substr(at, percent - at));
    const char next = text[percent + 1];
    const bool number = next >= '0' && next <= '9';
    size_t end = percent + 2;
    while (number && end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (text.substr(percent, end - percent) != "%1") {
      // %%, %n, %2, %10 and the like: kept as they are.
      filled.append(text.substr(percent, end - percent));
      at = end;
      continue;
    }
    // %1!fmt!: the format goes with the insert.
    if (end < text.size() && text[end] == '!') {
      const size_t close = text.find('!', end + 1);
      if (close != std::string_view::npos) end = close + 1;
    }
    filled.append(path);
    at = end;
  }
  filled.append(text.substr(std::min(at, text.size())));
  return filled;
}

void write_client_started(const launcher::LaunchDetails& launch,
                          uint32_t pid) {
  write(platform::kEventInformation, kEventClientStarted,
        {launch.command, launch.directory, std::to_string(pid)});
}

void write_client_not_started(const launcher::LaunchDetails& launch,
                              uint32_t error) {
  const std::string client = launcher::client_dir(launch.version) + '\\' +
                             launcher::kClientFileName;
  write(platform::kEventError, kEventClientNotStarted,
        {client, launch.version, launch.directory, std::to_string(error),
         fill_path_insert(platform::error_text(error), client),
         launch.command});
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

void write_stop_client_not_ended(uint32_t pid, uint32_t waited_ms) {
  write(platform::kEventWarning, kEventStopClientNotEnded,
        {std::to_string(pid), std::to_string(waited_ms)});
}

}  // namespace service
