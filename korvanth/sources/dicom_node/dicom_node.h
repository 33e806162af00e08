// Korvanth as a DICOM node the scanner pushes to: a storage service that
// answers verification (C-ECHO) and stores MR images (C-STORE) into an inbox
// folder, which a live run follows like any folder the scanner writes into.
//
// An instance is received into a staging folder inside the inbox (which the
// watch never looks into), flushed to disk, renamed into the inbox under its
// SOP Instance UID, and only then answered success. What could not be kept
// is answered so that the scanner keeps the image and retries (out of
// resources: a full disk, a failed write, an object over the size bound); a
// data set that cannot be read is answered "cannot understand"; an instance
// already in the inbox is answered success and not written again.
//
// The service runs in threads of its own, never the run's: the listener and
// one worker per association, at most `maxAssociations` at once (more are
// refused, and the scanner retries); the ACSE and DIMSE timeouts end an
// association whose peer went silent. The listener reads each association
// request itself, so a caller silent before its request holds the others
// back for the ACSE timeout at most. DCMTK listens on every address of the
// machine: on a loopback address, callers from elsewhere are refused when
// they ask for an association.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvanth {

struct DicomNodeSettings {
    std::string address = "127.0.0.1";  // loopback: callers from other machines are refused
    int port = 104;
    std::string aeTitle = "KORVANTH";
    std::vector<std::string> allowedCallers;  // calling AE titles accepted; empty: any
    std::string inbox;                        // where the received instances go
    int maxAssociations = 4;
    uint32_t maxPduBytes = 65536;  // the largest PDU received
    uint32_t acseTimeoutSeconds = 10;
    uint32_t dimseTimeoutSeconds = 30;
    uint64_t maxObjectBytes = uint64_t{1} << 30;  // the largest instance kept
    std::function<void(const std::string&)> log;  // associations refused, instances refused; from any thread
};

class DicomNode {
public:
    explicit DicomNode(DicomNodeSettings settings);
    ~DicomNode();  // stops: no new association, the current ones ended within their timeouts
    DicomNode(const DicomNode&) = delete;
    DicomNode& operator=(const DicomNode&) = delete;

    // Makes the inbox and starts listening. False with `error` (the inbox
    // cannot be made, the port cannot be bound).
    bool start(std::string& error);
    void stop();

private:
    struct Service;
    std::unique_ptr<Service> service_;
};

}  // namespace korvanth
