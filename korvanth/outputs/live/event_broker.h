// The live view's Server-Sent Events: every event of the run kept in order
// (its id is its place + 1), each client's stream fed through a bounded queue,
// and the run's record (its state, the run and end events, every volume and
// log event) kept with the events under one lock, so that a state read and an
// event id always agree. The run never waits for a client: one that falls a
// whole queue behind is dropped (a browser reconnects and resumes). It knows
// no transport: a client's stream is written through the EventSink it is
// given, and the live view adapts its HTTP server's stream to that.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
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

// Where a client's stream is written: `write` sends bytes to the client and
// answers false when it has gone; `done` ends the stream after its last event.
struct EventSink {
    std::function<bool(const char* data, std::size_t size)> write;
    std::function<void()> done;
};

class EventBroker {
public:
    // One client's stream, from open() to close().
    struct Stream;

    EventBroker(std::size_t clientQueueEvents, int maxClients)
        : clientQueueEvents_(clientQueueEvents), maxClients_(maxClients) {}

    // Appends an event with JSON `data`, keeps its data where `kept` says,
    // sets the record's state (when `newState` is not null) and queues the
    // event for every client. `last`: the run is over; streams end after it.
    void publish(const char* type, const std::string& data, Kept kept, const char* newState = nullptr,
                 bool last = false);

    // A client's stream of the events after `lastEventId` (as the client sent
    // it; empty, not a number, or beyond the events so far: from the first),
    // then of each new one. Null (no stream is opened) when the broker is
    // stopping or `maxClients` streams are open.
    std::shared_ptr<Stream> open(const std::string& lastEventId);
    // Writes the stream's next part to `sink`: a batch of the events from
    // before it was opened, else the new ones (waiting up to a keep-alive
    // interval for them, and writing a comment when none came). After the
    // last event of a finished run it calls sink.done(). False ends the
    // stream: the client was dropped or has gone, or the broker stopped.
    bool next(Stream& stream, const EventSink& sink);
    // The stream has ended, however it ended: its client is forgotten.
    void close(const std::shared_ptr<Stream>& stream);

    // Ends every stream; no new one is opened.
    void stop();

    RunRecord record() const;
    int64_t droppedClients() const;

private:
    const std::size_t clientQueueEvents_;
    const int maxClients_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<SharedText> events_;  // every event as sent
    RunRecord record_;
    std::vector<std::shared_ptr<Stream>> clients_;
    bool ended_ = false;
    bool stopping_ = false;
};

}  // namespace korvanth
