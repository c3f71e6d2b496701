#include "launcher/child_process.h"

namespace launcher {

platform::Handle g_child_process = nullptr;

}  // namespace launcher
