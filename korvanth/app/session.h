// One invocation of Korvanth: load and bind the plug-in, open the inputs,
// run, and commit the results, with the exit codes the README promises.
#pragma once

#include "korvanth/app/options.h"

namespace korvanth {

int runSession(KorvanthOptions& options);

}  // namespace korvanth
