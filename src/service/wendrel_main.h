// The process entry's work once the platform objects exist: main() hands over to this.
#pragma once

#include "wendrel_module.h"

namespace wendrel {

// Runs the module on the command line in argv; returns the process exit status, having
// written the status (and, for the common failures, what to do) to stderr when it is not 0.
int wendrelMain(int argc, char** argv, CWendrelModule& module);

}  // namespace wendrel
