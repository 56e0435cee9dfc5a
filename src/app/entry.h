// The supervisor's start-up, command and tear-down. Everything the process acquires on the way
// is released in reverse order on every path, and the exit code is always 0: the program is
// started by its scheduled task and has nobody to report to but its log.
#pragma once

#include "app/commands.h"
#include "app/startup_parts.h"

namespace app {

// Runs the whole process once: checks, logging, the command of the command line, tear-down.
int run_entry(startup_parts& parts, const command_table& commands);

}  // namespace app
