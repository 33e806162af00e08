// The functional runs of a BIDS dataset that a participant-level invocation
// runs: found by walking only the requested participants' folders (never an
// index of the whole tree), filtered by session, task and run, each with its
// TR from the nearest sidecar up the tree and, when asked, its motion from an
// fMRIPrep derivative's confounds.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace korvanth {

// Which runs to take; an empty list takes every value of that entity.
struct BidsSelection {
    std::vector<std::string> participants;  // labels without "sub-"; empty: every sub-* folder
    std::vector<std::string> sessions;      // without "ses-"
    std::vector<std::string> tasks;         // without "task-"
    std::vector<std::string> runs;          // without "run-"; "1" and "01" are the same run
};

// Reads a filter file: {"bold": {"session": ..., "task": ..., "run": ...}},
// each a label or a list of labels, into `selection` (the lists it names
// replace those given). False with `error`.
bool readBidsFilterFile(const std::string& path, BidsSelection& selection, std::string& error);

struct BidsRun {
    std::string participant;               // label, without "sub-"
    std::string session;                   // label, empty when the dataset has no sessions
    std::string task, run;                 // labels; empty when the name has none
    std::string boldPath;                  // the image
    std::string stem;                      // its file name without .nii[.gz]
    std::string folder;                    // sub-X/[ses-Y/]func/<stem>, relative to the output folder
    std::optional<double> repetitionTime;  // seconds, from the sidecars; empty: none says
    std::string trSidecar;                 // the sidecar that gave it
    std::string confoundsPath;             // --motion-from's confounds; empty: Korvanth estimates
    std::string problem;                   // why the run cannot run; empty when it can
};

// The value of `key` in a BIDS file name ("sub-01_task-rest_bold" -> task: "rest"); empty when none.
std::string bidsEntity(const std::string& stem, const std::string& key);

// The participants' labels of the dataset: the sub-* folders, sorted.
std::vector<std::string> bidsParticipants(const std::string& root);

// The runs of one participant that `selection` takes, sorted by their folder.
// `fmriprepRoot` non-empty: each run's confounds from there (a run without
// them gets a problem). A run whose TR no sidecar gives gets a problem too.
std::vector<BidsRun> findBidsRuns(const std::string& root, const std::string& participant,
                                  const BidsSelection& selection, const std::string& fmriprepRoot);

}  // namespace korvanth
