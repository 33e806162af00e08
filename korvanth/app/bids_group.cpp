#include "korvanth/app/bids_app.h"
#include "korvanth/app/invocation.h"
#include "korvanth/app/run_figures.h"
#include "korvanth/outputs/json_text.h"
#include "korvanth/outputs/report/study_plot.h"
#include "korvanth/run/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace fs = std::filesystem;

namespace korvanth {

namespace {

constexpr const char* runFiguresName = "figures.json";

// Every committed run's figures under OUTPUT_DIR/sub-*/, sorted by run folder
// (staging and set-aside folders, dot-named, are not looked into).
std::vector<Json> gatherRuns(const std::string& outputDir) {
    std::vector<Json> runs;
    std::error_code failed;
    for (const fs::directory_entry& subject : fs::directory_iterator(outputDir, failed)) {
        if (subject.path().filename().string().rfind("sub-", 0) != 0 || !subject.is_directory(failed)) continue;
        for (fs::recursive_directory_iterator it(subject.path(), failed), end; it != end; it.increment(failed)) {
            if (it->path().filename() != runFiguresName) continue;
            std::ifstream in(it->path());
            Json record = Json::parse(in, nullptr, false);
            if (record.is_object() && record.contains("run")) runs.push_back(std::move(record));
        }
    }
    std::sort(runs.begin(), runs.end(), [](const Json& a, const Json& b) { return a["run"] < b["run"]; });
    return runs;
}

// A value as the table holds it: the JSON text of a number, a string as it
// is, n/a for null.
std::string cell(const Json& value) {
    if (value.is_null()) return "n/a";
    if (value.is_string()) return value.get<std::string>();
    return value.dump();
}

std::string tsvOf(const std::vector<Json>& runs) {
    std::string text;
    const Json& first = runs.front();
    for (const auto& item : first.items()) text += (text.empty() ? "" : "\t") + item.key();
    text += '\n';
    for (const Json& run : runs) {
        std::string line;
        for (const auto& item : first.items())
            line += (line.empty() ? "" : "\t") + cell(run.contains(item.key()) ? run[item.key()] : Json());
        text += line + '\n';
    }
    return text;
}

std::string escapeHtml(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '"' ? "&quot;" : std::string(1, c);
    return out;
}

const char* const css = R"(
body { font: 15px/1.45 system-ui, "Segoe UI", "DejaVu Sans", sans-serif; color: #222; background: #f3f4f6; margin: 0; }
main { max-width: 1340px; margin: 0 auto; padding: 24px 28px 48px; }
section { background: #fff; border: 1px solid #dcdfe4; border-radius: 8px; padding: 16px 20px; margin-top: 20px; }
h2 { font-size: 18px; margin: 0 0 12px; }
img { max-width: 100%; height: auto; display: block; }
p.note { color: #666; font-size: 13px; }
.warn { color: #a4000f; }
)";

std::string number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", value);
    return text;
}

// The link to a run's report, from the page at OUTPUT_DIR.
std::string reportLink(const Json& run) {
    const std::string folder = run["run"].get<std::string>();
    return "<a href=\"" + escapeHtml(folder) + "/report.html\">" + escapeHtml(folder) + "</a>";
}

// One figure's section: its picture, its quartiles and fences, and the runs
// beyond them. Empty when no run has a finite value of it.
std::string figureSection(const fs::path& pictures, const std::string& key, const std::vector<Json>& runs,
                          std::string& error) {
    StudyFigure f;
    f.title = key;
    std::vector<double> finite;
    for (const Json& run : runs) {
        const double v = run.contains(key) && run[key].is_number() ? run[key].get<double>() : std::nan("");
        f.values.push_back(v);
        if (std::isfinite(v)) finite.push_back(v);
    }
    if (finite.empty()) return "";
    f.q1 = interpolatedQuantile(finite, 0.25);
    f.median = interpolatedQuantile(finite, 0.5);
    f.q3 = interpolatedQuantile(finite, 0.75);
    f.lowFence = f.q1 - 1.5 * (f.q3 - f.q1);
    f.highFence = f.q3 + 1.5 * (f.q3 - f.q1);
    const std::string picture = key + ".png";
    if (!writeStudyPlot((pictures / picture).string(), f, error)) return "";
    std::string outliers;
    for (std::size_t k = 0; k < runs.size(); ++k)
        if (std::isfinite(f.values[k]) && (f.values[k] < f.lowFence || f.values[k] > f.highFence))
            outliers += "<li>" + reportLink(runs[k]) + ": " + number(f.values[k]) + "</li>\n";
    return "<section id=\"" + key + "\"><h2>" + key + "</h2>\n<img src=\"group/" + picture + "\" alt=\"" + key +
           " across the study\">\n<p class=\"note\">median " + number(f.median) + ", quartiles " + number(f.q1) +
           " to " + number(f.q3) + "; outliers beyond " + number(f.lowFence) + " and " + number(f.highFence) +
           " (1.5 IQR from the quartiles)</p>\n" +
           (outliers.empty() ? "<p>No run beyond the fences.</p>\n"
                             : "<p class=\"warn\">Beyond the fences:</p>\n<ul>\n" + outliers + "</ul>\n") +
           "</section>\n";
}

std::string pageOf(const fs::path& pictures, const std::vector<Json>& runs, std::string& error) {
    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<title>Korvanth: the study's runs</title>\n<style>" +
        std::string(css) + "</style></head><body><main>\n<h1>The study's runs</h1>\n<p>" + std::to_string(runs.size()) +
        " runs; each point is a run, the box its figure's quartiles with the median, the red dashes "
        "the outlier fences.</p>\n";
    for (const FigureKey& key : runFigureKeys()) {
        if (!key.distributed) continue;
        html += figureSection(pictures, key.key, runs, error);
        if (!error.empty()) return "";
    }
    html += "<section><h2>Runs</h2><ul>\n";
    for (const Json& run : runs) html += "<li>" + reportLink(run) + "</li>\n";
    return html + "</ul></section>\n</main></body></html>\n";
}

bool writeText(const fs::path& path, const std::string& text, std::string& error) {
    const fs::path temporary = path.string() + ".tmp";
    std::ofstream(temporary, std::ios::binary | std::ios::trunc) << text;
    std::error_code failed;
    if (fs::file_size(temporary, failed) == text.size() && !failed) fs::rename(temporary, path, failed);
    if (failed || !fs::exists(path)) error = path.string() + ": cannot be written";
    return error.empty();
}

}  // namespace

int runGroup(const BidsOptions& b) {
    const std::vector<Json> runs = gatherRuns(b.outputDir);
    if (runs.empty()) return fail(b.outputDir + ": no run's " + runFiguresName + "; run the participant level first");
    std::string error;
    const fs::path pictures = fs::path(b.outputDir) / "group";
    std::error_code failed;
    fs::create_directories(pictures, failed);
    const std::string page = pageOf(pictures, runs, error);
    if (!error.empty() || !writeDatasetDescription(b.outputDir, error) ||
        !writeText(fs::path(b.outputDir) / "group_figures.tsv", tsvOf(runs), error) ||
        !writeText(fs::path(b.outputDir) / "group_report.html", page, error))
        return fail(error);
    std::cout << "Group: " << runs.size() << " runs in " << (fs::path(b.outputDir) / "group_figures.tsv").string()
              << " and group_report.html" << std::endl;
    return exitSuccess;
}

}  // namespace korvanth
