// The service's entries in the Application log, under the source
// "quorvel-client"; their texts are in resources/quorvel_events.mc. Each
// writer makes one entry and must be called with no lock held, never from
// the control handler, and never after the stopped report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "launcher/client_launch.h"

namespace service {

// The ids of the message table.
inline constexpr uint32_t kEventClientStarted = 1;
inline constexpr uint32_t kEventClientNotStarted = 2;
inline constexpr uint32_t kEventClientEnded = 3;
inline constexpr uint32_t kEventStopRequested = 4;
inline constexpr uint32_t kEventStopClientNotEnded = 5;

// ReportEvent takes up to 31,839 characters in one string, what a 64 KB
// event record holds besides its header. The strings of one entry share that
// record, which also carries the source's name and the computer's (a DNS
// name, up to 255 characters): all of them together, each with its
// terminator, are kept 512 characters below the figure. No code page turns
// a text into more UTF-16 units than it has bytes, so a count of bytes is
// safe whatever the code page.
inline constexpr size_t kEventStringLimit = 31839;
inline constexpr size_t kEventEntryLimit = kEventStringLimit - 512;

// `strings` as one entry carries them: as they are when together, each with
// its terminator, they take at most kEventEntryLimit bytes; otherwise the
// longest are cut to one length, the longest that fits, each ending in
// " [cut]". Bytes are kept as they are, whatever the code page makes of them.
std::vector<std::string> fit_event_strings(std::vector<std::string> strings);

// A system error text with each of its %1 inserts (also %1!s!) filled with
// `path`; every other insert (%2, %10, %%) is left as it is.
std::string fill_path_insert(std::string_view text, std::string_view path);

// Information: the client runs as process `pid`, started from `launch`.
void write_client_started(const launcher::LaunchDetails& launch, uint32_t pid);

// Error: the start from `launch` failed with the Windows error `error`.
void write_client_not_started(const launcher::LaunchDetails& launch,
                              uint32_t error);

// Warning: the client (process `pid`) ended by itself with `exit_code`.
void write_client_ended(uint32_t pid, uint32_t exit_code);

// Information: a stop or shutdown request ended the client (process `pid`).
void write_stop_requested(uint32_t pid);

// Warning: a stop or shutdown request asked the client (process `pid`) to
// end, and it had not ended `waited_ms` later.
void write_stop_client_not_ended(uint32_t pid, uint32_t waited_ms);

}  // namespace service
