#include "korvanth/outputs/live/event_broker.h"

#include <chrono>
#include <deque>

namespace korvanth {

namespace {
constexpr auto keepAliveInterval = std::chrono::seconds(10);
constexpr std::size_t backlogBatchBytes = 64 * 1024;
}  // namespace

struct EventBroker::Stream {
    // The stream's own thread: the events from before it was opened, and how many of them were written.
    std::vector<SharedText> backlog;
    std::size_t sent = 0;
    // Under the broker's lock.
    std::deque<SharedText> queue;  // at most clientQueueEvents_
    bool dropped = false;          // fell too far behind; the stream ends
};

void EventBroker::publish(const char* type, const std::string& data, Kept kept, const char* newState, bool last) {
    auto json = std::make_shared<const std::string>(data);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto frame = std::make_shared<const std::string>("id: " + std::to_string(events_.size() + 1) +
                                                         "\nevent: " + type + "\ndata: " + data + "\n\n");
        events_.push_back(frame);
        switch (kept) {
            case Kept::Run:
                record_.run = json;
                record_.end = nullptr;
                record_.volumes.clear();
                break;
            case Kept::Session:
                record_.session = json;
                break;
            case Kept::End:
                record_.end = json;
                break;
            case Kept::Volume:
                record_.volumes.push_back(json);
                break;
            case Kept::Log:
                record_.log.push_back(json);
                break;
            case Kept::Nothing:
                break;
        }
        if (newState != nullptr) record_.state = newState;
        ended_ = ended_ || last;
        for (auto it = clients_.begin(); it != clients_.end();) {
            Stream& stream = **it;
            if (stream.queue.size() >= clientQueueEvents_) {
                stream.dropped = true;
                stream.queue.clear();
                ++record_.droppedClients;
                it = clients_.erase(it);
            } else {
                stream.queue.push_back(frame);
                ++it;
            }
        }
    }
    wake_.notify_all();
}

std::shared_ptr<EventBroker::Stream> EventBroker::open(const std::string& lastEventId) {
    std::size_t after = 0;
    if (!lastEventId.empty() && lastEventId.size() < 19 &&
        lastEventId.find_first_not_of("0123456789") == std::string::npos)
        after = static_cast<std::size_t>(std::stoull(lastEventId));
    auto stream = std::make_shared<Stream>();
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || clients_.size() >= static_cast<std::size_t>(maxClients_)) return nullptr;
    // An id beyond this run's events is from an earlier server: everything is sent again.
    if (after > events_.size()) after = 0;
    stream->backlog.assign(events_.begin() + static_cast<std::ptrdiff_t>(after), events_.end());
    clients_.push_back(stream);
    return stream;
}

bool EventBroker::next(Stream& stream, const EventSink& sink) {
    std::string batch;
    if (stream.sent < stream.backlog.size()) {
        while (stream.sent < stream.backlog.size() && batch.size() < backlogBatchBytes)
            batch += *stream.backlog[stream.sent++];
        return sink.write(batch.data(), batch.size());
    }
    std::deque<SharedText> pending;
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, keepAliveInterval,
                       [&] { return !stream.queue.empty() || stream.dropped || stopping_ || ended_; });
        if (stream.dropped || stopping_) return false;
        pending.swap(stream.queue);
        finished = ended_;  // the end event is the last: it is in `pending` or was in the backlog
    }
    for (const SharedText& frame : pending) batch += *frame;
    // A comment when there is nothing to say: it finds a client that has gone.
    if (batch.empty() && !finished) batch = ": waiting\n\n";
    if (!batch.empty() && !sink.write(batch.data(), batch.size())) return false;
    if (finished) sink.done();
    return true;
}

void EventBroker::close(const std::shared_ptr<Stream>& stream) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
        if (*it == stream) {
            clients_.erase(it);
            break;
        }
}

void EventBroker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
}

RunRecord EventBroker::record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    RunRecord now = record_;
    now.lastEventId = events_.size();
    now.clients = clients_.size();
    return now;
}

int64_t EventBroker::droppedClients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return record_.droppedClients;
}

}  // namespace korvanth
