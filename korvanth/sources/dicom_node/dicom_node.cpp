#include "korvanth/sources/dicom_node/dicom_node.h"

#include "korvanth/platform/listen_address.h"
#include "korvanth/sources/dicom_node/dicom_inbox.h"

// DCMTK stays in this file: its headers and GDCM's must never meet.
#include <dcmtk/config/osconfig.h>  // first, as DCMTK requires
#include <dcmtk/dcmdata/dcuid.h>
#include <dcmtk/dcmnet/dul.h>
#include <dcmtk/dcmnet/scpthrd.h>
#include <dcmtk/oflog/oflog.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <system_error>
#include <thread>

namespace fs = std::filesystem;

namespace korvanth {

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

}  // namespace

// What every association's worker shares: the settings and the inbox.
struct DicomNodeShared {
    explicit DicomNodeShared(DicomNodeSettings s)
        : settings(std::move(s)),
          inbox(settings.inbox, settings.maxObjectBytes, [this](const std::string& line) { log(line); }) {}

    DicomNodeSettings settings;
    bool loopbackOnly = true;
    DicomInbox inbox;

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
        const std::string staged = shared_.inbox.stagedName();
        const OFCondition received = receiveSTORERequest(request, context.presentationContextID, staged);
        if (received.bad()) {
            std::error_code ignored;
            fs::remove(staged, ignored);
            shared_.log("an instance could not be received: " + std::string(received.text()));
            // A failed write leaves the association up: the scanner is told to keep the image.
            if (!isConnected()) return received;
            return sendSTOREResponse(context.presentationContextID, request, STATUS_STORE_Refused_OutOfResources);
        }
        const InstanceOutcome outcome =
            shared_.inbox.keep(request.AffectedSOPClassUID, request.AffectedSOPInstanceUID, staged);
        return sendSTOREResponse(context.presentationContextID, request, statusOf(outcome));
    }

private:
    static Uint16 statusOf(InstanceOutcome outcome) {
        switch (outcome) {
            case InstanceOutcome::kept:
                return STATUS_Success;
            case InstanceOutcome::cannotUnderstand:
                return STATUS_STORE_Error_CannotUnderstand;
            case InstanceOutcome::outOfResources:
                break;
        }
        return STATUS_STORE_Refused_OutOfResources;
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
    explicit Service(DicomNodeSettings settings) : shared(std::move(settings)) {}

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

DicomNode::DicomNode(DicomNodeSettings settings) : service_(std::make_unique<Service>(std::move(settings))) {}

DicomNode::~DicomNode() { stop(); }

bool DicomNode::start(std::string& error) {
    DicomNodeShared& shared = service_->shared;
    const DicomNodeSettings& s = shared.settings;
    shared.loopbackOnly = isLoopbackAddress(s.address);
    if (!shared.inbox.make(error)) return false;
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
