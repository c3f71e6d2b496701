// The two installation settings under HKLM\SOFTWARE\quorvel-client.
#pragma once

#include <cstdint>
#include <string>

namespace launcher {

// ActiveVersion, or "1" when it is absent or unusable. Never fails.
std::string read_active_version();

// Install_Dir, or "C:\Program Files\quorvel-client" when it is absent or
// unusable. Never fails.
std::string read_install_dir();

// The text one read yields, from the query's result, the stored type, and
// the first `size` bytes of `buffer` (which holds `capacity` bytes):
//  - the stored text, when the query succeeded on a REG_SZ or REG_EXPAND_SZ
//    value (taken as stored, nothing expanded) whose text fits the buffer
//    with its terminator; it ends at the first zero byte, and a value stored
//    without a terminator ends where its data ends;
//  - the default otherwise: a failed query (the buffer is undefined after
//    ERROR_MORE_DATA), a value of no bytes at all (not even a terminator), a
//    value that fills the whole buffer with no zero byte (its text would not
//    fit with a terminator), or a value of another type.
// The text never comes from outside the first min(size, capacity) bytes.
std::string setting_text(uint32_t query_result, uint32_t type,
                         const unsigned char* buffer, uint32_t size,
                         uint32_t capacity, const char* default_text);

}  // namespace launcher
