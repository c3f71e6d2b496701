// The service's entries in the Application log, under the source
// "quorvel-client"; their texts are in resources/quorvel_events.mc. Each
// writer makes one entry and must be called with no lock held, never from
// the control handler, and never after the stopped report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "launcher/client_launch.h"

namespace service {

// The ids of the message table.
inline constexpr uint32_t kEventClientStarted = 1;
inline constexpr uint32_t kEventClientNotStarted = 2;
inline constexpr uint32_t kEventClientEnded = 3;
inline constexpr uint32_t kEventStopRequested = 4;

// ReportEvent takes up to 31,839 characters per string; an ANSI character
// takes at least one byte, so this many bytes always fit.
inline constexpr size_t kEventStringLimit = 31839;

// `text` as one event string: itself when it has at most kEventStringLimit
// bytes, else its first bytes and " [cut]", kEventStringLimit bytes in all.
// Bytes are kept as they are, whatever the code page makes of them.
std::string event_string(std::string_view text);

// Information: the client runs as process `pid`, started from `launch`.
void write_client_started(const launcher::LaunchDetails& launch, uint32_t pid);

// Error: the start from `launch` failed with the Windows error `error`.
void write_client_not_started(const launcher::LaunchDetails& launch,
                              uint32_t error);

// Warning: the client (process `pid`) ended by itself with `exit_code`.
void write_client_ended(uint32_t pid, uint32_t exit_code);

// Information: a stop or shutdown request ended the client (process `pid`).
void write_stop_requested(uint32_t pid);

}  // namespace service
