// One run of Korvanth (no --session): the inputs the options name (a recorded
// series, the synthetic phantom or one live run from --watch) checked, run
// through the plug-in and committed into --out.
#pragma once

#include "korvanth/app/options.h"

namespace korvanth {

// Returns the exit code (ExitCode): 0 when the run was committed whole.
int runSingle(KorvanthOptions& options);

}  // namespace korvanth
