#include "korvanth/outputs/live/event_broker.h"

#include <chrono>

namespace korvanth {

namespace {
constexpr auto keepAliveInterval = std::chrono::seconds(10);
constexpr std::size_t backlogBatchBytes = 64 * 1024;
}  // namespace

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
            Client& client = **it;
            if (client.queue.size() >= clientQueueEvents_) {
                client.dropped = true;
                client.queue.clear();
                ++record_.droppedClients;
                it = clients_.erase(it);
            } else {
                client.queue.push_back(frame);
                ++it;
            }
        }
    }
    wake_.notify_all();
}

void EventBroker::serve(const httplib::Request& request, httplib::Response& response) {
    std::size_t after = 0;
    const std::string lastId = request.get_header_value("Last-Event-ID");
    if (!lastId.empty() && lastId.size() < 19 && lastId.find_first_not_of("0123456789") == std::string::npos)
        after = static_cast<std::size_t>(std::stoull(lastId));
    auto client = std::make_shared<Client>();
    std::vector<SharedText> backlog;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || clients_.size() >= static_cast<std::size_t>(maxClients_)) {
            response.status = 503;
            response.set_header("Retry-After", "5");
            response.set_content("too many event streams\n", "text/plain");
            return;
        }
        // An id beyond this run's events is from an earlier server: everything is sent again.
        if (after > events_.size()) after = 0;
        backlog.assign(events_.begin() + static_cast<std::ptrdiff_t>(after), events_.end());
        clients_.push_back(client);
    }
    response.set_chunked_content_provider(
        "text/event-stream",
        [this, client, backlog = std::move(backlog), sent = std::size_t{0}](
            std::size_t, httplib::DataSink& sink) mutable { return send(*client, backlog, sent, sink); },
        [this, client](bool) { forget(client); });
}

// Writes the events from before the connection, then waits for new ones;
// false ends the stream.
bool EventBroker::send(Client& client, const std::vector<SharedText>& backlog, std::size_t& sent,
                       httplib::DataSink& sink) {
    std::string batch;
    if (sent < backlog.size()) {
        while (sent < backlog.size() && batch.size() < backlogBatchBytes) batch += *backlog[sent++];
        return sink.write(batch.data(), batch.size());
    }
    std::deque<SharedText> pending;
    bool finished = false;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, keepAliveInterval,
                       [&] { return !client.queue.empty() || client.dropped || stopping_ || ended_; });
        if (client.dropped || stopping_) return false;
        pending.swap(client.queue);
        finished = ended_;  // the end event is the last: it is in `pending` or was in the backlog
    }
    for (const SharedText& frame : pending) batch += *frame;
    // A comment when there is nothing to say: it finds a client that has gone.
    if (batch.empty() && !finished) batch = ": waiting\n\n";
    if (!batch.empty() && !sink.write(batch.data(), batch.size())) return false;
    if (finished) sink.done();
    return true;
}

void EventBroker::forget(const std::shared_ptr<Client>& client) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = clients_.begin(); it != clients_.end(); ++it)
        if (*it == client) {
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
