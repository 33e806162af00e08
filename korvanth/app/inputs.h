// Where a run's volumes and motion come from, chosen from the command line:
// a watched folder, a recorded series or the synthetic phantom, with motion
// from a file, from Korvanth's own estimates or none; and the checks made on
// them before anything is written (the project name, the memory the run needs).
#pragma once

#include "korvanth/app/options.h"
#include "korvanth/run/motion_estimate.h"
#include "korvanth/run/motion_source.h"
#include "korvanth/run/series.h"
#include "korvanth/run/volume_source.h"
#include "korvanth/sources/watch/watch_folder.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvanth {

// The run's inputs, opened and checked against each other.
struct RunInputs {
    std::unique_ptr<VolumeSource> recorded;  // the series as read or made
    std::unique_ptr<VolumeSource> paced;     // the same at the TR, for --realtime
    std::unique_ptr<MotionSource> motion;
    SeriesInfo series;
    bool madeUp = false;     // the synthetic run: its series and motion are results too
    bool live = false;       // a watched folder: its series is a result too
    bool fromDicom = false;  // a DICOM replay: its series, as the plug-in saw it, is a result too
    bool motionGiven = false;
    bool motionEstimated = false;
    std::string motionSource;                    // for the report
    std::vector<MotionEstimate> comparedMotion;  // --compare-motion
    // The later echoes of a multi-echo live run, once it is over (ResultSettings).
    std::function<std::vector<EchoSeries>(int32_t volumeCount)> laterEchoes;

    VolumeSource& source() { return paced ? *paced : *recorded; }
};

// Opens the sources the options name (and fills in the synthetic run's
// settings from them); a live source's notes (files skipped, waits) go to
// `notes`. False with `error` naming the bad input.
// How the --watch folder is watched, as the options say: TR, idle timeout,
// --volumes, --poll-settle, --include-existing; the watcher's notes go to `notes`.
WatchSettings watchSettingsFrom(const KorvanthOptions& options, const std::function<void(const std::string&)>& notes);

bool openInputs(KorvanthOptions& options, RunInputs& inputs, const std::function<void(const std::string&)>& notes,
                std::string& error);

// The project name: --project, or "live", "synthetic" or the bold file's stem.
std::string chooseProjectName(const KorvanthOptions& options);

// Why `name` cannot be the project name: it names the motion log
// <targetFolder><name>_3DMC.log, so it must be a plain file name, and the
// whole path must fit the host's 600-character answers. Empty when it can.
std::string projectNameProblem(const std::string& name, const std::string& targetFolder);

// Why the run cannot be made in this machine's memory, estimated before
// anything is allocated; empty when it fits or the memory is not known.
std::string memoryProblem(const KorvanthOptions& options, const SeriesInfo& series);

}  // namespace korvanth
