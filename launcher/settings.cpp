#include "launcher/settings.h"

#include <array>
#include <cstring>

#include "launcher/constants.h"
#include "platform/platform.h"

namespace launcher {

std::string setting_text(uint32_t query_result, uint32_t type,
                         const unsigned char* buffer, uint32_t size,
                         uint32_t capacity, const char* default_text) {
  // Numbers, binary data and multi-strings are not texts an administrator
  // meant as a version or a directory: treat them as absent rather than
  // turning their raw bytes into a path. A value of no bytes at all stores
  // nothing, so the default stands; an empty string still has its zero.
  if (query_result != platform::kErrorSuccess ||
      (type != platform::kRegString && type != platform::kRegExpandString) ||
      size == 0 || size > capacity) {
    return default_text;
  }
  const void* zero = std::memchr(buffer, 0, size);
  if (zero) {
    return std::string(reinterpret_cast<const char*>(buffer),
                       static_cast<const unsigned char*>(zero) - buffer);
  }
  // No terminator was stored. Text shorter than the buffer is whole; text
  // that fills it may have been cut and would not fit with its terminator.
  if (size < capacity) {
    return std::string(reinterpret_cast<const char*>(buffer), size);
  }
  return default_text;
}

namespace {

std::string read_setting(const char* value_name, const char* default_text,
                         uint32_t capacity) {
  // Zero-filled, so that a query that writes nothing leaves no stale bytes;
  // the default is returned from setting_text, not read back from here.
  std::array<unsigned char, kInstallDirBufferSize> buffer{};
  uint32_t size = capacity;
  uint32_t type = platform::kRegNone;
  uint32_t result = platform::kErrorFileNotFound;

  platform::KeyHandle key = nullptr;
  if (platform::open_machine_key(kSettingsKey, &key) ==
      platform::kErrorSuccess) {
    result = platform::query_value(key, value_name, &type, buffer.data(),
                                   &size);
    platform::close_key(key);
  }
  return setting_text(result, type, buffer.data(), size, capacity,
                      default_text);
}

}  // namespace

std::string read_active_version() {
  static_assert(kActiveVersionBufferSize <= kInstallDirBufferSize);
  return read_setting(kActiveVersionValue, kDefaultActiveVersion,
                      kActiveVersionBufferSize);
}

std::string read_install_dir() {
  return read_setting(kInstallDirValue, kDefaultInstallDir,
                      kInstallDirBufferSize);
}

}  // namespace launcher
