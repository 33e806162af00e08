// A whole scanning session followed from one start (--watch DIR --session):
// every new series that the scanner writes into the folder is a run of its
// own, its results committed into OUT/<series>_<description>/, and
// OUT/session.json lists every series, run or skipped, with the low-motion
// time added up across the runs. The session ends on Ctrl-C (SIGINT, SIGTERM,
// SIGHUP) or after --session-idle seconds without a new series. A start into
// an OUT that holds a session goes on with it; a watch folder removed between
// series is waited for and watched again once it is back.
#pragma once

#include "korvanth/app/options.h"

namespace korvanth {

// Exit code: 0 when the session ended between runs, 5 when a stop cut a run
// short (its results kept, marked partial), 2 when the folder or the out
// folder cannot be used (OUT's session.json among them).
int followScanningSession(KorvanthOptions& options);

}  // namespace korvanth
