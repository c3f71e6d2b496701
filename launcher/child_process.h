// The ChildProcessSlot: the started client's process handle, or nullptr.
#pragma once

#include "platform/platform.h"

namespace launcher {

// Written by launch_client when the client has started. In service mode the
// service host reads it, and closes and empties it once when the service
// stops, always under its lock; in direct mode it holds the handle until the
// launcher exits.
extern platform::Handle g_child_process;

// The job that ties the client to the launcher's process, so that the client
// ends when the launcher does, however it ends. Set by the service host
// before it launches the client, and never closed; nullptr in direct mode,
// where the client outlives the launcher, and when no job could be set up.
extern platform::Handle g_client_job;

}  // namespace launcher
