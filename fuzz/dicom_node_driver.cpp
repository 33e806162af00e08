#include "dicom_node_driver.h"

#include "fuzz_support.h"
#include "korvanth/sources/dicom_node/dicom_inbox.h"

// DCMTK stays in this file: its headers and GDCM's must never meet.
#include <dcmtk/config/osconfig.h>  // first, as DCMTK requires
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/oflog/oflog.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace tarvex::fuzz {

namespace {

struct Request {
    std::string sopClass, sopInstance, file;
};

// The class and instance the data set in `path` holds (empty where it has none).
void announceWhatItHolds(const std::string& path, Request& request) {
    DcmFileFormat file;
    if (file.loadFile(path.c_str()).bad()) return;
    OFString sopClass, sopInstance;
    if (file.getDataset()->findAndGetOFString(DCM_SOPClassUID, sopClass).good()) request.sopClass = sopClass.c_str();
    if (file.getDataset()->findAndGetOFString(DCM_SOPInstanceUID, sopInstance).good())
        request.sopInstance = sopInstance.c_str();
}

std::vector<std::string> entriesOf(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code failed;
    for (fs::directory_iterator it(folder, failed), end; !failed && it != end; it.increment(failed))
        names.push_back(it->path().filename().string());
    return names;
}

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Stages the file as a received data set and has the inbox judge it.
korvanth::InstanceOutcome stageAndKeep(korvanth::DicomInbox& inbox, const Request& request) {
    const std::string staged = inbox.stagedName();
    TARVEX_FUZZ_CHECK(writeFile(staged, request.file));
    return inbox.keep(request.sopClass, request.sopInstance, staged);
}

}  // namespace

void runDicomNodeInput(const uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        OFLog::configure(OFLogger::FATAL_LOG_LEVEL);  // as the node has it
        return true;
    }();
    (void)quiet;
    FuzzInput input(data, size);
    const uint8_t how = input.byte();
    Request request;
    if ((how & 1) == 0) {
        request.sopClass = (how & 2) != 0 ? UID_EnhancedMRImageStorage : UID_MRImageStorage;
        request.sopInstance = input.bytes(input.byte());
    }
    request.file = input.bytes(input.remaining());
    const bool bounded = (how & 4) != 0 && !request.file.empty();
    const fs::path inbox = fs::path(scratchFolder()) / "inbox";
    std::error_code failed;
    fs::remove_all(inbox, failed);
    if ((how & 1) != 0) {
        const std::string probe = scratchFolder() + "/probe.dcm";
        TARVEX_FUZZ_CHECK(writeFile(probe, request.file));
        announceWhatItHolds(probe, request);
        fs::remove(probe, failed);
    }

    std::vector<std::string> said;
    korvanth::DicomInbox keeper(inbox.string(), bounded ? request.file.size() - 1 : uint64_t{1} << 30,
                                [&said](const std::string& line) { said.push_back(line); });
    std::string error;
    TARVEX_FUZZ_CHECK(keeper.make(error));
    const korvanth::InstanceOutcome outcome = stageAndKeep(keeper, request);

    // Nothing staged is left, nothing lands outside the inbox, and the inbox
    // holds the instance, as it came, exactly when it was kept.
    TARVEX_FUZZ_CHECK(entriesOf(keeper.stagingFolder()).empty());
    TARVEX_FUZZ_CHECK(entriesOf(scratchFolder()) == std::vector<std::string>{"inbox"});
    const std::vector<std::string> held = entriesOf(inbox);
    if (outcome != korvanth::InstanceOutcome::kept) {
        TARVEX_FUZZ_CHECK(held == std::vector<std::string>{korvanth::dicomNodeStagingName});
        TARVEX_FUZZ_CHECK(!said.empty() && said.back().rfind(request.sopInstance, 0) == 0);
        return;
    }
    TARVEX_FUZZ_CHECK(!bounded);
    TARVEX_FUZZ_CHECK(held.size() == 2);
    const fs::path kept = inbox / (request.sopInstance + ".dcm");
    TARVEX_FUZZ_CHECK(contentOf(kept) == request.file);
    // Sent again, it is answered kept and kept once.
    TARVEX_FUZZ_CHECK(stageAndKeep(keeper, request) == korvanth::InstanceOutcome::kept);
    TARVEX_FUZZ_CHECK(entriesOf(inbox).size() == 2 && entriesOf(keeper.stagingFolder()).empty());
}

}  // namespace tarvex::fuzz
