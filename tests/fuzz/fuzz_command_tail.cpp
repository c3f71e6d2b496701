// The tail cut and the command composition over any command line of up to
// the Windows limit of 32,767 characters.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "launcher/client_launch.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // GetCommandLineA gives a zero-terminated text: nothing after a zero byte.
  std::string line(reinterpret_cast<const char*>(data), size > 32767 ? 32767 : size);
  line.resize(std::string_view(line.c_str()).size());
  const std::string_view text(line);
  const std::string_view tail = launcher::command_tail(text);

  // A suffix of the line itself, never a copy.
  require(tail.data() >= text.data() &&
          tail.data() + tail.size() == text.data() + text.size());
  const size_t start = static_cast<size_t>(tail.data() - text.data());
  const bool cut = start >= 1 && text[start - 1] == ' ' && [&] {
    size_t quotes = 0;
    for (size_t i = 0; i + 1 < start; ++i) quotes += text[i] == '"';
    return quotes % 2 == 0;
  }();
  if (!cut) {
    // No cut: the whole line is the first token, with no blank outside quotes.
    require(tail.empty());
    size_t quotes = 0;
    for (char c : text) {
      quotes += c == '"';
      require(!(c == ' ' && quotes % 2 == 0));
    }
  } else {
    // Cut right after a blank that stands outside quotes ...
    require(start >= 1 && text[start - 1] == ' ');
    size_t quotes = 0;
    for (size_t i = 0; i + 1 < start; ++i) {
      quotes += text[i] == '"';
      // ... and the first such blank.
      require(!(text[i] == ' ' && quotes % 2 == 0));
    }
    require(quotes % 2 == 0);
  }

  const std::string command = launcher::client_command(launcher::client_dir("1"), tail);
  require(command.front() == '"');
  require(command.size() >= tail.size() &&
          command.compare(command.size() - tail.size(), tail.size(), tail) == 0);
  return 0;
}
