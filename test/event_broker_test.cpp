// The live view's event broker on its own, without HTTP: its streams written
// to the test's sinks while this thread publishes as the run does.
#include "korvanth/outputs/live/event_broker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>

namespace {

using korvanth::EventBroker;
using korvanth::EventSink;
using korvanth::Kept;

// A client that reads everything it is sent.
struct Reader {
    std::string text;
    bool done = false;
    EventSink sink() {
        return {[this](const char* data, std::size_t size) {
                    text.append(data, size);
                    return true;
                },
                [this] { done = true; }};
    }
};

// A stream opened after `lastEventId` and read until the broker calls it done.
std::string readToTheEnd(EventBroker& broker, const std::string& lastEventId) {
    const auto stream = broker.open(lastEventId);
    Reader reader;
    while (stream && !reader.done && broker.next(*stream, reader.sink())) {}
    EXPECT_TRUE(reader.done) << "after " << lastEventId;
    if (stream) broker.close(stream);
    return reader.text;
}

std::size_t framesIn(const std::string& text) {
    std::size_t count = 0;
    for (std::size_t at = text.find("\n\n"); at != std::string::npos; at = text.find("\n\n", at + 2)) ++count;
    return count;
}

TEST(EventBroker, StreamsResumeAfterLastEventIdAndEndAfterTheRun) {
    EventBroker broker(16, 4);
    broker.publish("run", "{\"run\":1}", Kept::Run, "running");
    // Far more than one batch of the backlog.
    const std::string line(4000, 'x');
    for (int i = 0; i < 40; ++i) broker.publish("log", "{\"line\":\"" + std::to_string(i) + line + "\"}", Kept::Log);
    broker.publish("end", "{\"end\":1}", Kept::End, "finished", true);

    const std::string whole = readToTheEnd(broker, "");
    EXPECT_EQ(whole.rfind("id: 1\nevent: run\ndata: {\"run\":1}\n\nid: 2\nevent: log\ndata: {\"line\":\"0x", 0), 0u);
    EXPECT_EQ(framesIn(whole), 42u);
    const std::size_t end = whole.find("id: 42\n");
    EXPECT_EQ(whole.substr(end), "id: 42\nevent: end\ndata: {\"end\":1}\n\n");
    EXPECT_EQ(readToTheEnd(broker, "41"), whole.substr(end));
    EXPECT_EQ(readToTheEnd(broker, "2"), whole.substr(whole.find("id: 3\n")));
    // Not a number, or an id from an earlier server: everything again.
    for (const char* unusable : {"-1", "4x", "43", "99999999999999999999"})
        EXPECT_EQ(readToTheEnd(broker, unusable), whole) << unusable;

    // A client that has gone ends its stream.
    const auto gone = broker.open("");
    EXPECT_FALSE(broker.next(*gone, {[](const char*, std::size_t) { return false; }, [] {}}));
    broker.close(gone);
    EXPECT_EQ(broker.record().clients, 0u);
}

// One client never reads, another is stuck in a write: the run publishes on,
// both are dropped when their queues fill, and a new client gets every event.
TEST(EventBroker, SlowClientsAreDroppedWhileThePublisherGoesOn) {
    EventBroker broker(4, 4);
    const auto idle = broker.open("");
    const auto stuck = broker.open("");
    std::promise<void> writing, release;
    std::shared_future<void> released = release.get_future().share();
    std::string stuckRead;
    bool stuckFirst = false, stuckSecond = true;
    std::thread client([&] {
        const EventSink sink{[&](const char* data, std::size_t size) {
                                 if (stuckRead.empty()) writing.set_value();
                                 stuckRead.append(data, size);
                                 released.wait();
                                 return true;
                             },
                             [] {}};
        stuckFirst = broker.next(*stuck, sink);
        stuckSecond = broker.next(*stuck, sink);
    });

    broker.publish("run", "{}", Kept::Run, "running");
    writing.get_future().wait();
    for (int i = 0; i < 8; ++i) broker.publish("volume", "{\"index\":" + std::to_string(i) + "}", Kept::Volume);
    EXPECT_EQ(broker.droppedClients(), 2);
    EXPECT_EQ(broker.record().clients, 0u);
    release.set_value();
    client.join();
    EXPECT_TRUE(stuckFirst);
    EXPECT_FALSE(stuckSecond);
    EXPECT_EQ(stuckRead, "id: 1\nevent: run\ndata: {}\n\n");
    Reader never;
    EXPECT_FALSE(broker.next(*idle, never.sink()));
    EXPECT_EQ(never.text, "");

    broker.publish("end", "{}", Kept::End, "finished", true);
    const std::string all = readToTheEnd(broker, "");
    EXPECT_EQ(framesIn(all), 10u);
    EXPECT_NE(all.find("id: 9\nevent: volume\ndata: {\"index\":7}\n\nid: 10\nevent: end\n"), std::string::npos);
    EXPECT_EQ(broker.droppedClients(), 2);
}

TEST(EventBroker, RecordKeepsTheStateAndTheEventsOfTheRunAndTheSession) {
    EventBroker broker(8, 4);
    EXPECT_EQ(broker.record().state, "waiting");
    broker.publish("run", "R1", Kept::Run, "running");
    broker.publish("volume", "V1", Kept::Volume);
    broker.publish("log", "L1", Kept::Log);
    broker.publish("end", "E1", Kept::End, "finished");
    broker.publish("session", "S1", Kept::Session);
    korvanth::RunRecord r = broker.record();
    EXPECT_EQ(r.state, "finished");
    ASSERT_TRUE(r.run && r.end && r.session);
    EXPECT_EQ(*r.run + *r.end + *r.session, "R1E1S1");
    ASSERT_EQ(r.volumes.size(), 1u);
    EXPECT_EQ(*r.volumes[0], "V1");
    EXPECT_EQ(r.lastEventId, 5u);

    // A session's next run: its volumes and end go, the log and session stay.
    broker.publish("run", "R2", Kept::Run, "running");
    broker.publish("volume", "V2", Kept::Volume);
    broker.publish("note", "N", Kept::Nothing);
    r = broker.record();
    EXPECT_EQ(r.state, "running");
    EXPECT_EQ(*r.run, "R2");
    EXPECT_FALSE(r.end);
    ASSERT_EQ(r.volumes.size(), 1u);
    EXPECT_EQ(*r.volumes[0], "V2");
    ASSERT_EQ(r.log.size(), 1u);
    EXPECT_EQ(*r.log[0] + *r.session, "L1S1");
    EXPECT_EQ(r.lastEventId, 8u);
}

TEST(EventBroker, StopEndsWaitingStreamsAndOpensNoMore) {
    EventBroker broker(8, 2);
    const auto waiting = broker.open("");
    const auto other = broker.open("");
    EXPECT_EQ(broker.open(""), nullptr);  // at most two streams
    broker.close(other);
    EXPECT_EQ(broker.record().clients, 1u);

    std::promise<bool> result;
    std::future<bool> ended = result.get_future();
    std::thread client([&] {
        Reader reader;
        result.set_value(broker.next(*waiting, reader.sink()));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    broker.stop();
    // Well before the keep-alive interval that would end the wait otherwise.
    EXPECT_EQ(ended.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    client.join();
    EXPECT_FALSE(ended.get());
    EXPECT_EQ(broker.open(""), nullptr);
}

}  // namespace
