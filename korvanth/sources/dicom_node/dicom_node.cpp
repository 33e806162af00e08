#include "korvanth/sources/dicom_node/dicom_node.h"

#include "korvanth/platform/listen_address.h"

// DCMTK stays in this file: its headers and GDCM's must never meet.
#include <dcmtk/config/osconfig.h>  // first, as DCMTK requires
#include <dcmtk/dcmdata/dcdeftag.h>
#include <dcmtk/dcmdata/dcfilefo.h>
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/scppool.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
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
            list.push_back(uid);
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

// Whether the port can be listened on: DCMTK finds out only in its listener's thread.
bool portIsFree(int port, std::string& error) {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        error = std::strerror(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const bool bound = ::bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!bound) error = std::strerror(errno);
    ::close(probe);
    return bound;
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
        if (called == shared_.settings.aeTitle.c_str()) return OFTrue;
        shared_.log("refused an association for AE title " + std::string(called.c_str()) + " (this node is " +
                    shared_.settings.aeTitle + ")");
        return OFFalse;
    }
    OFBool checkCallingAETitleAccepted(const OFString& calling) override {
        const std::vector<std::string>& allowed = shared_.settings.allowedCallers;
        if (allowed.empty() || std::find(allowed.begin(), allowed.end(), calling.c_str()) != allowed.end())
            return OFTrue;
        shared_.log("refused an association from AE title " + std::string(calling.c_str()) +
                    ": not among --dicom-allow");
        return OFFalse;
    }
    // The peer's address is judged, not the name the caller gives.
    OFBool checkCallingHostAccepted(const OFString& /*host*/) override {
        const std::string peer = getPeerIP().c_str();
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
                                sopClass == request.AffectedSOPClassUID && sopInstance == uid.c_str() &&
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

// The pool of association workers, each made with the node's shared part.
class InboxPool : public DcmBaseSCPPool {
public:
    explicit InboxPool(DicomNodeShared& shared) : shared_(shared) {}

private:
    struct Worker : public DcmBaseSCPWorker, private InboxScp {
        Worker(InboxPool& pool, DicomNodeShared& shared) : DcmBaseSCPWorker(pool), InboxScp(shared) {}
        OFCondition setSharedConfig(const DcmSharedSCPConfig& config) override {
            return InboxScp::setSharedConfig(config);
        }
        OFBool busy() override { return InboxScp::isConnected(); }
        OFCondition workerListen(T_ASC_Association* const association) override { return InboxScp::run(association); }
    };
    DcmBaseSCPWorker* createSCPWorker() override { return new Worker(*this, shared_); }

    DicomNodeShared& shared_;
};

void configure(DcmSCPConfig& config, const DicomNodeSettings& s) {
    config.setPort(static_cast<Uint16>(s.port));
    config.setAETitle(s.aeTitle.c_str());
    config.setMaxReceivePDULength(s.maxPduBytes);
    config.setACSETimeout(s.acseTimeoutSeconds);
    config.setDIMSETimeout(s.dimseTimeoutSeconds);
    config.setDIMSEBlockingMode(DIMSE_NONBLOCKING);
    // The listener wakes every second to see whether it is to stop.
    config.setConnectionBlockingMode(DUL_NOBLOCK);
    config.setConnectionTimeout(1);
    config.setHostLookupEnabled(OFFalse);
    OFList<OFString> verification;
    verification.push_back(UID_LittleEndianExplicitTransferSyntax);
    verification.push_back(UID_LittleEndianImplicitTransferSyntax);
    verification.push_back(UID_BigEndianExplicitTransferSyntax);
    config.addPresentationContext(UID_VerificationSOPClass, verification);
    for (const char* storage : storedClasses) config.addPresentationContext(storage, transferSyntaxes());
}

}  // namespace

struct DicomNode::Service {
    DicomNodeShared shared;
    std::unique_ptr<InboxPool> pool;
    std::thread listener;
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
    std::string why;
    if (!portIsFree(s.port, why)) {
        error = "the DICOM node cannot listen on port " + std::to_string(s.port) + ": " + why;
        return false;
    }
    OFLog::configure(OFLogger::FATAL_LOG_LEVEL);  // what matters is said through `log`
    service_->pool = std::make_unique<InboxPool>(shared);
    configure(service_->pool->getConfig(), s);
    service_->pool->setMaxThreads(static_cast<Uint16>(s.maxAssociations));
    service_->listener = std::thread([this] {
        const OFCondition ended = service_->pool->listen();
        if (ended.bad()) service_->shared.log(std::string("stopped listening: ") + ended.text());
    });
    return true;
}

void DicomNode::stop() {
    if (!service_->listener.joinable()) return;
    service_->pool->stopAfterCurrentAssociations();
    service_->listener.join();
}

}  // namespace korvanth
