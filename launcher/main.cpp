#include <cstdlib>

#include "launcher/entry.h"
#include "quorvel_events.h"
#include "service/event_log.h"

// The ids the service writes are those of the message table it carries.
static_assert(service::kEventClientStarted == QUORVEL_EVENT_CLIENT_STARTED &&
              service::kEventClientNotStarted == QUORVEL_EVENT_CLIENT_NOT_STARTED &&
              service::kEventClientEnded == QUORVEL_EVENT_CLIENT_ENDED &&
              service::kEventStopRequested == QUORVEL_EVENT_STOP_REQUESTED &&
              service::kEventStopClientNotEnded == QUORVEL_EVENT_STOP_CLIENT_NOT_ENDED);

// Ask the MinGW runtime to expand wildcard patterns in the arguments, as
// setargv.obj does for MSVC builds.
extern "C" {
int _dowildcard = -1;
}

#if defined(__MINGW32__) && defined(__GLIBCXX__)
// libstdc++'s default terminate handler writes the demangled type of the
// exception to standard error, which this windowed program does not have;
// its demangler alone is a third of the executable. Ending the process the
// way abort() does is all that is left to do.
// The name is libstdc++'s, reserved to it: this definition replaces its own,
// and only libstdc++ calls it.
namespace __gnu_cxx {
// cppcheck-suppress unusedFunction
// NOLINTNEXTLINE(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
#endif

int main(int argc, char** argv) { return launcher::run_entry(argc, argv); }
