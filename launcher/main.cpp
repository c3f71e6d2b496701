#include "launcher/entry.h"

// Ask the MinGW runtime to expand wildcard patterns in the arguments, as
// setargv.obj does for MSVC builds.
extern "C" {
int _dowildcard = -1;
}

int main(int argc, char** argv) { return launcher::run_entry(argc, argv); }
