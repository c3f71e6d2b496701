// The ChildProcessSlot: the started client's process handle, or nullptr.
#pragma once

#include "platform/platform.h"

namespace launcher {

// Written by launch_client when the client has started. In service mode the
// service host reads it, and closes and empties it once when the service
// stops, always under its lock; in direct mode it holds the handle until the
// launcher exits.
extern platform::Handle g_child_process;

}  // namespace launcher
