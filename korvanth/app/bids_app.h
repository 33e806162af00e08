// korvanth-bids: a BIDS dataset's functional runs through the plug-in, as a
// BIDS app. The participant level runs each requested participant's runs into
// OUTPUT_DIR/sub-X/, committed all or nothing per participant; the group level
// gathers every run's figures into a table and a page of the study.
#pragma once

#include "korvanth/app/bids_dataset.h"
#include "korvanth/app/options.h"

#include <string>
#include <vector>

namespace korvanth {

struct BidsOptions {
    std::string bidsDir, outputDir, level;
    BidsSelection selection;
    std::string motionFrom;  // fmriprep:DIR; empty: Korvanth estimates each run's motion
    int32_t nprocs = 1;
    bool dryRun = false;
    KorvanthOptions run;  // the plug-in, the host version, the FD thresholds: the same for every run
};

// The fMRIPrep derivative's folder of `motionFrom` ("fmriprep:DIR"); empty with
// `error` set when it is not of that form or not a folder.
std::string fmriprepFolder(const std::string& motionFrom, std::string& error);

// OUTPUT_DIR/dataset_description.json, rewritten whole. False with `error`.
bool writeDatasetDescription(const std::string& outputDir, std::string& error);

// The participant level: prints one line per participant with its exit code
// (0 done, 5 a run partial, 2 a bad input, 3 or 4 as Korvanth's) and returns
// the worst of them.
int runParticipants(BidsOptions& options);

// The group level: OUTPUT_DIR/group_figures.tsv and group_report.html. Returns
// 0, or 2 when there are no runs' figures or a file cannot be written.
int runGroup(const BidsOptions& options);

}  // namespace korvanth
