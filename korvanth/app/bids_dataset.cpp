#include "korvanth/app/bids_dataset.h"

#include "korvanth/outputs/json_text.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

using Entities = std::map<std::string, std::string>;

// The key-value parts of a name ("sub-01_task-rest_bold" -> sub: 01, task: rest) and its suffix ("bold").
Entities entitiesOf(const std::string& stem, std::string& suffix) {
    Entities entities;
    std::size_t at = 0;
    while (at <= stem.size()) {
        const std::size_t end = std::min(stem.find('_', at), stem.size());
        const std::string part = stem.substr(at, end - at);
        const std::size_t dash = part.find('-');
        if (dash == std::string::npos)
            suffix = part;
        else
            entities[part.substr(0, dash)] = part.substr(dash + 1);
        at = end + 1;
    }
    return entities;
}

// A label as the filter compares it: a run's number without its leading zeros.
std::string comparable(const std::string& key, std::string label) {
    if (key == "run" && !label.empty() && label.find_first_not_of("0123456789") == std::string::npos) {
        label.erase(0, std::min(label.find_first_not_of('0'), label.size() - 1));
    }
    return label;
}

bool takes(const std::vector<std::string>& wanted, const std::string& key, const std::string& label) {
    if (wanted.empty()) return true;
    const std::string value = comparable(key, label);
    return std::any_of(wanted.begin(), wanted.end(), [&](const std::string& w) { return comparable(key, w) == value; });
}

std::string stemOfImage(const std::string& name) {
    for (const char* extension : {".nii.gz", ".nii"}) {
        const std::string e = extension;
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0)
            return name.substr(0, name.size() - e.size());
    }
    return "";
}

// The TR of the nearest bold sidecar that applies to `entities`, from the
// image's folder up to the dataset's root: at each level the sidecar whose
// entities are a subset of the image's, the more specific first.
void findRepetitionTime(const fs::path& root, fs::path folder, const Entities& entities, BidsRun& run) {
    for (;;) {
        std::vector<std::pair<std::size_t, fs::path>> applicable;
        std::error_code failed;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder, failed)) {
            const std::string name = entry.path().filename().string();
            if (entry.path().extension() != ".json" || !entry.is_regular_file(failed)) continue;
            std::string suffix;
            const Entities own = entitiesOf(entry.path().stem().string(), suffix);
            const bool fits = suffix == "bold" && std::all_of(own.begin(), own.end(), [&](const auto& kv) {
                                  const auto found = entities.find(kv.first);
                                  return found != entities.end() && found->second == kv.second;
                              });
            if (fits) applicable.emplace_back(own.size(), entry.path());
        }
        std::sort(applicable.begin(), applicable.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& candidate : applicable) {
            std::ifstream in(candidate.second);
            const Json sidecar = Json::parse(in, nullptr, false);
            if (sidecar.is_object() && sidecar.contains("RepetitionTime") && sidecar["RepetitionTime"].is_number() &&
                sidecar["RepetitionTime"].get<double>() > 0.0) {
                run.repetitionTime = sidecar["RepetitionTime"].get<double>();
                run.trSidecar = candidate.second.string();
                return;
            }
        }
        if (folder == root || !folder.has_parent_path() || folder.parent_path() == folder) return;
        folder = folder.parent_path();
    }
}

// fMRIPrep's confounds of a run: <stem without _bold>_desc-confounds_timeseries.tsv
// (or _regressors.tsv, the older name) in the same place under `fmriprepRoot`.
std::string findConfounds(const fs::path& fmriprepRoot, const fs::path& relativeFolder, const std::string& stem) {
    const std::string base = stem.substr(0, stem.size() - std::string("_bold").size());
    for (const char* name : {"_desc-confounds_timeseries.tsv", "_desc-confounds_regressors.tsv"}) {
        const fs::path candidate = fmriprepRoot / relativeFolder / (base + name);
        std::error_code failed;
        if (fs::is_regular_file(candidate, failed)) return candidate.string();
    }
    return "";
}

void addRunsOf(const fs::path& root, const fs::path& funcFolder, const std::string& participant,
               const std::string& session, const BidsSelection& selection, const std::string& fmriprepRoot,
               std::vector<BidsRun>& runs) {
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(funcFolder, failed)) {
        const std::string stem = stemOfImage(entry.path().filename().string());
        if (stem.size() <= 5 || stem.compare(stem.size() - 5, 5, "_bold") != 0) continue;
        std::string suffix;
        const Entities entities = entitiesOf(stem, suffix);
        BidsRun run;
        run.participant = participant;
        run.session = session;
        run.task = bidsEntity(stem, "task");
        run.run = bidsEntity(stem, "run");
        if (!takes(selection.tasks, "task", run.task) || !takes(selection.runs, "run", run.run)) continue;
        run.boldPath = entry.path().string();
        run.stem = stem;
        const fs::path relative = fs::relative(funcFolder, root);
        run.folder = (relative / stem).generic_string();
        findRepetitionTime(root, funcFolder, entities, run);
        if (!run.repetitionTime) run.problem = run.boldPath + ": no sidecar up the tree gives a RepetitionTime";
        if (!fmriprepRoot.empty()) {
            run.confoundsPath = findConfounds(fmriprepRoot, relative, stem);
            if (run.confoundsPath.empty() && run.problem.empty())
                run.problem = run.boldPath + ": the fMRIPrep derivative " + fmriprepRoot + " has no confounds for it";
        }
        runs.push_back(std::move(run));
    }
}

// A filter's value: one label (text or number) or a list of them.
std::vector<std::string> labelsOf(const Json& value) {
    const auto labelOf = [](const Json& item, std::vector<std::string>& labels) {
        if (item.is_string()) labels.push_back(item.get<std::string>());
        if (item.is_number_integer()) labels.push_back(std::to_string(item.get<long long>()));
    };
    std::vector<std::string> labels;
    labelOf(value, labels);
    if (value.is_array())
        for (const Json& item : value) labelOf(item, labels);
    return labels;
}

}  // namespace

std::string bidsEntity(const std::string& stem, const std::string& key) {
    std::string suffix;
    const Entities entities = entitiesOf(stem, suffix);
    const auto found = entities.find(key);
    return found == entities.end() ? std::string() : found->second;
}

bool readBidsFilterFile(const std::string& path, BidsSelection& selection, std::string& error) {
    std::ifstream in(path);
    const Json filter = in ? Json::parse(in, nullptr, false) : Json();
    if (!filter.is_object() || (filter.contains("bold") && !filter["bold"].is_object())) {
        error = path + ": not a filter file of the form {\"bold\": {\"session\": ..., \"task\": ..., \"run\": ...}}";
        return false;
    }
    if (!filter.contains("bold")) return true;
    const Json& bold = filter["bold"];
    const std::pair<const char*, std::vector<std::string>*> entities[] = {
        {"session", &selection.sessions}, {"task", &selection.tasks}, {"run", &selection.runs}};
    for (const auto& [key, labels] : entities) {
        if (!bold.contains(key)) continue;
        *labels = labelsOf(bold[key]);
        if (labels->empty()) {
            error = path + ": bold." + key + " must be a label or a list of labels";
            return false;
        }
    }
    return true;
}

std::vector<std::string> bidsParticipants(const std::string& root) {
    std::vector<std::string> labels;
    std::error_code failed;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, failed)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("sub-", 0) == 0 && name.size() > 4 && entry.is_directory(failed))
            labels.push_back(name.substr(4));
    }
    std::sort(labels.begin(), labels.end());
    return labels;
}

std::vector<BidsRun> findBidsRuns(const std::string& root, const std::string& participant,
                                  const BidsSelection& selection, const std::string& fmriprepRoot) {
    std::vector<BidsRun> runs;
    const fs::path subject = fs::path(root) / ("sub-" + participant);
    std::error_code failed;
    // A session filter takes only runs of the sessions it names.
    if (selection.sessions.empty() && fs::is_directory(subject / "func", failed))
        addRunsOf(root, subject / "func", participant, "", selection, fmriprepRoot, runs);
    for (const fs::directory_entry& entry : fs::directory_iterator(subject, failed)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("ses-", 0) != 0 || !entry.is_directory(failed)) continue;
        const std::string session = name.substr(4);
        if (takes(selection.sessions, "ses", session) && fs::is_directory(entry.path() / "func", failed))
            addRunsOf(root, entry.path() / "func", participant, session, selection, fmriprepRoot, runs);
    }
    std::sort(runs.begin(), runs.end(), [](const BidsRun& a, const BidsRun& b) { return a.folder < b.folder; });
    return runs;
}

}  // namespace korvanth
