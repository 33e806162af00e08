#include "korvanth/sources/dicom_node/dicom_node.h"

#include "korvanth/platform/listen_address.h"

// DCMTK stays in this file: its headers and GDCM's must never meet.
#include <dcmtk/config/osconfig.h>  // first, as DCMTK requires
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace korvanth {

const char* const dicomNodeStagingName = ".incoming";

namespace {

// The transfer syntaxes taken, the preferred first: uncompressed, then those
// the DICOM reader decodes.
const OFList<OFString>& transferSyntaxes() {
    static const OFList<OFString> syntaxes = [] {
        OFList<OFString> list;
        for (const char* uid :
             {UID_LittleEndianExplicitTransferSyntax, UID_LittleEndianImplicitTransferSyntax,
              UID_BigEndianExplicitTransferSyntax, UID_JPEGProcess14SV1TransferSyntax, UID_JPEGProcess14TransferSyntax,
              UID_JPEGLSLosslessTransferSyntax, UID_JPEG2000LosslessOnlyTransferSyntax, UID_RLELosslessTransferSyntax,
              UID_JPEGProcess1TransferSyntax, UID_JPEGProcess2_4TransferSyntax, UID_JPEGLSLossyTransferSyntax,
              UID_JPEG2000TransferSyntax})
            list.emplace_back(uid);
        return list;
    }();
    return syntaxes;
}

// The storage classes taken (a volume is one or more MR images); any other is
// refused when the association is negotiated.
const char* const storedClasses[] = {UID_MRImageStorage, UID_EnhancedMRImageStorage};

// A SOP Instance UID is a file name only when it is what the standard allows:
// digits and dots, at most 64 characters.
bool isUid(const std::string& uid) {
    return !uid.empty() && uid.size() <= 64 && uid.find_first_not_of("0123456789.") == std::string::npos &&
           uid.front() != '.';
}

// Flushes a file or folder to disk.
bool flushToDisk(const fs::path& path, bool folder) {
    const int handle = ::open(path.c_str(), (folder ? O_RDONLY | O_DIRECTORY : O_RDONLY) | O_CLOEXEC);
    if (handle < 0) return false;
    const bool flushed = ::fsync(handle) == 0;
    return ::close(handle) == 0 && flushed;
}

}  // namespace

// What every association's worker shares: the settings, the inbox, and the
// lock that makes "already in the inbox" and the rename one step.
struct DicomNodeShared {
    DicomNodeSettings settings;
    bool loopbackOnly = true;
    fs::path inbox, staging;
    std::atomic<uint64_t> received{0};
    std::mutex keeping;

    void log(const std::string& line) const {
        if (settings.log) settings.log("DICOM node: " + line);
    }
};

namespace {

// One association: verification by the base class, storage here.
class InboxScp : public DcmThreadSCP {
public:
    explicit InboxScp(DicomNodeShared& shared) : shared_(shared) {}

protected:
    OFBool checkCalledAETitleAccepted(const OFString& called) override {
        if (called == shared_.settings.aeTitle) return OFTrue;
        shared_.log("refused an association for AE title " + std::string(called) + " (this node is " +
                    shared_.settings.aeTitle + ")");
        return OFFalse;
    }
    OFBool checkCallingAETitleAccepted(const OFString& calling) override {
        const std::vector<std::string>& allowed = shared_.settings.allowedCallers;
        if (allowed.empty() || std::find(allowed.begin(), allowed.end(), calling.c_str()) != allowed.end())
            return OFTrue;
        shared_.log("refused an association from AE title " + std::string(calling) + ": not among --dicom-allow");
        return OFFalse;
    }
    // The peer's address is judged, not the name the caller gives.
    OFBool checkCallingHostAccepted(const OFString& /*host*/) override {
        const std::string peer = getPeerIP();
        if (!shared_.loopbackOnly || isLoopbackAddress(peer)) return OFTrue;
        shared_.log("refused an association from " + peer + ": the node listens on " + shared_.settings.address +
                    " only");
        return OFFalse;
    }

    OFCondition handleIncomingCommand(T_DIMSE_Message* message, const DcmPresentationContextInfo& context) override {
        if (message->CommandField != DIMSE_C_STORE_RQ) return DcmThreadSCP::handleIncomingCommand(message, context);
        T_DIMSE_C_StoreRQ& request = message->msg.CStoreRQ;
        const fs::path staged = shared_.staging / (std::to_string(++shared_.received) + ".part");
        const OFCondition received = receiveSTORERequest(request, context.presentationContextID, staged.c_str());
        if (received.bad()) {
            std::error_code ignored;
            fs::remove(staged, ignored);
            shared_.log("an instance could not be received: " + std::string(received.text()));
            // A failed write leaves the association up: the scanner is told to keep the image.
            if (!isConnected()) return received;
            return sendSTOREResponse(context.presentationContextID, request, STATUS_STORE_Refused_OutOfResources);
        }
        return sendSTOREResponse(context.presentationContextID, request, keep(request, staged));
    }

private:
    // The status of a received instance, staged in `staged`: kept in the inbox, or why not.
    Uint16 keep(const T_DIMSE_C_StoreRQ& request, const fs::path& staged) {
        const std::string uid = request.AffectedSOPInstanceUID;
        std::error_code failed;
        const Uint16 status = check(request, staged);
        if (status != STATUS_Success) {
            fs::remove(staged, failed);
            return status;
        }
        const fs::path kept = shared_.inbox / (uid + ".dcm");
        const std::lock_guard<std::mutex> lock(shared_.keeping);
        if (fs::exists(kept, failed)) {
            fs::remove(staged, failed);
            return STATUS_Success;  // the scanner sent it again: it is kept once
        }
        fs::rename(staged, kept, failed);
        if (failed || !flushToDisk(shared_.inbox, true)) {
            shared_.log(uid + ": could not be put into the inbox: " + failed.message());
            fs::remove(staged, failed);
            return STATUS_STORE_Refused_OutOfResources;
        }
        return STATUS_Success;
    }

    // Success when the staged file is on disk, within the size bound, and a
    // data set of the request's class and instance with an image in it.
    Uint16 check(const T_DIMSE_C_StoreRQ& request, const fs::path& staged) {
        const std::string uid = request.AffectedSOPInstanceUID;
        std::error_code failed;
        const uintmax_t bytes = fs::file_size(staged, failed);
        if (failed || bytes > shared_.settings.maxObjectBytes || !flushToDisk(staged, false)) {
            shared_.log(uid + ": not kept (" +
                        (failed                                    ? failed.message()
                         : bytes > shared_.settings.maxObjectBytes ? "over the size bound"
                                                                   : "not flushed") +
                        ")");
            return STATUS_STORE_Refused_OutOfResources;
        }
        DcmFileFormat file;
        OFString sopClass, sopInstance;
        Uint16 rows = 0;
        DcmDataset* data = file.getDataset();
        const bool understood = isUid(uid) && file.loadFile(staged.c_str()).good() &&
                                data->findAndGetOFString(DCM_SOPClassUID, sopClass).good() &&
                                data->findAndGetOFString(DCM_SOPInstanceUID, sopInstance).good() &&
                                sopClass == request.AffectedSOPClassUID && sopInstance == uid &&
                                data->findAndGetUint16(DCM_Rows, rows).good() && rows > 0 &&
                                data->tagExistsWithValue(DCM_PixelData);
        if (!understood) {
            shared_.log(uid + ": not kept (not an image of its class and instance)");
            return STATUS_STORE_Error_CannotUnderstand;
        }
        return STATUS_Success;
    }

    DicomNodeShared& shared_;
};

void configure(DcmSCPConfig& config, const DicomNodeSettings& s) {
    config.setAETitle(s.aeTitle);
    config.setMaxReceivePDULength(s.maxPduBytes);
    config.setACSETimeout(s.acseTimeoutSeconds);
    config.setDIMSETimeout(s.dimseTimeoutSeconds);
    config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    config.setHostLookupEnabled(OFFalse);
    OFList<OFString> verification;
    verification.emplace_back(UID_LittleEndianExplicitTransferSyntax);
    verification.emplace_back(UID_LittleEndianImplicitTransferSyntax);
    verification.emplace_back(UID_BigEndianExplicitTransferSyntax);
    config.addPresentationContext(UID_VerificationSOPClass, verification);
    for (const char* storage : storedClasses) config.addPresentationContext(storage, transferSyntaxes());
}

// Refuses an association over the bound as a transient limit: the scanner retries.
void refuseOverTheBound(T_ASC_Association* association) {
    T_ASC_RejectParameters reject = {ASC_RESULT_REJECTEDTRANSIENT, ASC_SOURCE_SERVICEPROVIDER_PRESENTATION_RELATED,
                                     ASC_REASON_SP_PRES_LOCALLIMITEXCEEDED};
    ASC_rejectAssociation(association, &reject);
}

// An association served in a thread of its own; `done` once it ended.
struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

struct DicomNode::Service {
    DicomNodeShared shared;
    DcmSharedSCPConfig config;
    T_ASC_Network* network = nullptr;
    std::atomic<bool> stopping{false};
    std::thread listener;

    // Takes association requests until stopped (waking every second to see),
    // each served by a worker of its own while fewer than the bound are busy.
    void listen() {
        std::vector<Worker> workers;
        while (!stopping) {
            T_ASC_Association* association = nullptr;
            const OFCondition received = ASC_receiveAssociation(network, &association, shared.settings.maxPduBytes,
                                                                nullptr, nullptr, OFFalse, DUL_NOBLOCK, 1);
            workers.erase(std::remove_if(workers.begin(), workers.end(),
                                         [](Worker& w) {
                                             if (!*w.done) return false;
                                             w.thread.join();
                                             return true;
                                         }),
                          workers.end());
            if (received.good() && workers.size() < static_cast<std::size_t>(shared.settings.maxAssociations)) {
                Worker worker;
                worker.thread = std::thread([this, association, done = worker.done] {
                    InboxScp scp(shared);
                    scp.setSharedConfig(config);
                    scp.run(association);  // the association is the worker's to end
                    *done = true;
                });
                workers.push_back(std::move(worker));
                continue;
            }
            if (received.good()) {
                shared.log("refused an association: " + std::to_string(workers.size()) + " are being served");
                refuseOverTheBound(association);
            }
            ASC_dropSCPAssociation(association, 1);  // not the default 3 minutes for a silent peer to close
            ASC_destroyAssociation(&association);
        }
        for (Worker& worker : workers) worker.thread.join();
    }
};

DicomNode::DicomNode(DicomNodeSettings settings) : service_(std::make_unique<Service>()) {
    service_->shared.settings = std::move(settings);
}

DicomNode::~DicomNode() { stop(); }

bool DicomNode::start(std::string& error) {
    DicomNodeShared& shared = service_->shared;
    const DicomNodeSettings& s = shared.settings;
    shared.inbox = s.inbox;
    shared.staging = shared.inbox / dicomNodeStagingName;
    shared.loopbackOnly = isLoopbackAddress(s.address);
    std::error_code failed;
    fs::create_directories(shared.staging, failed);
    if (failed) {
        error = "the DICOM node's inbox " + shared.staging.string() + " cannot be made: " + failed.message();
        return false;
    }
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);  // what matters is said through `log`
    dcmDisableGethostbyaddr.set(OFTrue);
    const OFCondition made =
        ASC_initializeNetwork(NET_ACCEPTOR, s.port, static_cast<int>(s.acseTimeoutSeconds), &service_->network);
    if (made.bad()) {
        error = "the DICOM node cannot listen on port " + std::to_string(s.port) + ": " + made.text();
        return false;
    }
    configure(*service_->config, s);
    service_->listener = std::thread([this] { service_->listen(); });
    return true;
}

void DicomNode::stop() {
    if (!service_->listener.joinable()) return;
    service_->stopping = true;
    service_->listener.join();
    ASC_dropNetwork(&service_->network);
}

}  // namespace korvanth
