#include "launcher/child_process.h"

namespace launcher {

platform::Handle g_child_process = nullptr;
platform::Handle g_client_job = nullptr;

}  // namespace launcher
