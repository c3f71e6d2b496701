#include "launcher/entry.h"

#include <cstring>

#include "launcher/client_launch.h"
#include "launcher/constants.h"
#include "service/service_host.h"

namespace launcher {

bool service_mode_requested(int argc, const char* const* argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], kServiceSwitch) == 0) return true;
  }
  return false;
}

int run_entry(int argc, char** argv) {
  if (service_mode_requested(argc, argv)) {
    return static_cast<int>(service::run_service_dispatcher());
  }
  // Fire and forget: a client that fails to start leaves only the
  // diagnostic line behind.
  launch_client();
  return 0;
}

}  // namespace launcher
