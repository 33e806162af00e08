// The live view's lifecycle in one invocation (--serve): started before the
// plug-in is loaded, kept up after the run for --linger.
#pragma once

#include "korvanth/app/options.h"
#include "korvanth/outputs/live/live_view.h"

#include <memory>
#include <string>

namespace korvanth {

// The live view the options ask for, listening, its address printed; nullptr
// with `error` when the address is bad or cannot be bound.
std::unique_ptr<LiveView> startLiveView(const KorvanthOptions& options, std::string& error);

// Keeps the live view up after the run: for `seconds`, or until Ctrl-C when
// negative. A run stopped by Ctrl-C lingers too: the next Ctrl-C ends it.
void lingerLiveView(LiveView& live, double seconds);

}  // namespace korvanth
