// The live view's Server-Sent Events: every event of the run kept in order
// (its id is its place + 1), each client's stream fed through a bounded queue,
// and the run's record (its state, the run and end events, every volume and
// log event) kept with the events under one lock, so that a state read and an
// event id always agree. The run never waits for a client: one that falls a
// whole queue behind is dropped (a browser reconnects and resumes).
#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvanth {

using SharedText = std::shared_ptr<const std::string>;

// Where an event's data is kept in the run's record. A run event begins a
// new run (a session has several): the volumes and end of the one before go.
enum class Kept { Nothing, Run, Volume, Log, End, Session };

// The run's record as of one moment.
struct RunRecord {
    std::string state = "waiting";  // waiting, running, finished, partial
    SharedText run, end;            // null until sent
    SharedText session;             // the session's record; null unless following a session
    std::vector<SharedText> volumes, log;
    std::size_t lastEventId = 0;
    std::size_t clients = 0;
    int64_t droppedClients = 0;
};

class EventBroker {
public:
    EventBroker(std::size_t clientQueueEvents, int maxClients)
        : clientQueueEvents_(clientQueueEvents), maxClients_(maxClients) {}

    // Appends an event with JSON `data`, keeps its data where `kept` says,
    // sets the record's state (when `newState` is not null) and queues the
    // event for every client. `last`: the run is over; streams end after it.
    void publish(const char* type, const std::string& data, Kept kept, const char* newState = nullptr,
                 bool last = false);

    // Answers GET /events: the events after Last-Event-ID, then each new one.
    void serve(const httplib::Request& request, httplib::Response& response);

    // Ends every stream; no new one is taken.
    void stop();

    RunRecord record() const;
    int64_t droppedClients() const;

private:
    struct Client {
        std::deque<SharedText> queue;  // at most clientQueueEvents_
        bool dropped = false;          // fell too far behind; the stream ends
    };

    bool send(Client& client, const std::vector<SharedText>& backlog, std::size_t& sent, httplib::DataSink& sink);
    void forget(const std::shared_ptr<Client>& client);

    const std::size_t clientQueueEvents_;
    const int maxClients_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<SharedText> events_;  // every event as sent
    RunRecord record_;
    std::vector<std::shared_ptr<Client>> clients_;
    bool ended_ = false;
    bool stopping_ = false;
};

}  // namespace korvanth
