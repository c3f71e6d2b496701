// The registry reads over any stored value: any type, any size, with or
// without terminators, and any error from the key or the query. Whatever is
// stored, the text read is the stored text (as far as its first zero byte,
// fitting the buffer with a terminator) or the default. AddressSanitizer
// guards the buffer itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "launcher/settings.h"
#include "tests/fake/fake_platform.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void check(const std::string& got, const std::string& stored, uint32_t type,
           bool readable, size_t capacity, const char* default_text) {
  if (got == default_text) return;
  require(readable && (type == 1 || type == 2) && stored.size() <= capacity);
  const std::string text = stored.substr(0, stored.find('\0'));
  require(got == text);
  require(got.size() < capacity);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Byte 0: the type; byte 1: how the key and the query behave.
  const uint32_t type = data[0] % 12;
  const uint8_t mode = data[1];
  const std::string stored(reinterpret_cast<const char*>(data) + 2, size - 2);

  fake::reset();
  const uint32_t key_results[] = {0, 0, 0, 2, 5};
  const uint32_t key_result = key_results[mode % 5];
  fake::set_key_open_result(key_result);
  const bool stored_at_all = (mode / 5) % 4 != 0;
  uint32_t query_error = 0;
  if ((mode / 20) % 3 == 0) query_error = (mode % 2) ? 234u : 5u;
  for (const char* name : {"ActiveVersion", "Install_Dir"}) {
    if (stored_at_all) fake::set_value(name, type, stored);
    if (query_error) fake::set_query_error(name, query_error);
  }
  const bool readable = key_result == 0 && stored_at_all && query_error == 0;

  check(launcher::read_active_version(), stored, type, readable, 16, "1");
  check(launcher::read_install_dir(), stored, type, readable, 512,
        "C:\\Program Files\\quorvel-client");
  require(fake::keys_open() == 0 && fake::violations().empty());
  return 0;
}
