// The program's whole run, from finding the port to the exit code.
#pragma once

#include "run/configuration_run.h"

namespace Vantrel {

// Opens the receiver's port (or returns kRunNoPort at once, having read,
// printed and sent nothing), reads the settings, runs the configuration
// sequence, closes the port and returns the RunResult.
RunResult RunProgram();

}  // namespace Vantrel
