// Channels over real named pipes, served by the test pipe server.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "pipes/Channel.h"
#include "pipes/SinglePipeClient.h"
#include "tests/support/LumCapture.h"
#include "tests/support/TestPipeServer.h"

using namespace zk_testkit;
using Events = std::vector<std::string>;

namespace {

// What the owner side saw, in order: "data:<size>", "msg:<text>",
// "piece:<n>", "lost", "released".
class EventLog {
public:
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_changed.notify_all();
    }
    Events Get() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    // Waits until count events start with prefix.
    bool WaitFor(const std::string& prefix, size_t count = 1) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(5), [&] {
            size_t n = 0;
            for (const std::string& e : m_events) n += e.compare(0, prefix.size(), prefix) == 0;
            return n >= count;
        });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Events m_events;
};

class TestOwner : public CPipeClient {
public:
    explicit TestOwner(EventLog* log) : m_log(log) {}
    void OnConnectionClosed(CConnection*) override { m_log->Add("released"); }

private:
    EventLog* m_log;
};

std::string Take(CChannel* channel, uint32_t size) {
    std::string message(size, '\0');
    uint8_t* p = reinterpret_cast<uint8_t*>(&message[0]);
    uint32_t got = 0;
    return channel->Receive(&p, &got) ? "msg:" + message.substr(0, got) : "none";
}

// A channel whose owner side the test scripts.
class TestChannel : public CChannel {
public:
    enum Mode { kReceive, kPieces, kHold };
    TestChannel(CConnection* connection, EventLog* log) : CChannel(connection), m_log(log) {}
    ~TestChannel() override {
        ::SetEvent(gate);
        Shutdown();
    }
    void OnDataReceived(uint32_t size) override {
        m_log->Add("data:" + std::to_string(size));
        if (mode == kPieces) {
            uint8_t piece[100];
            uint32_t got = sizeof(piece);
            if (!ReadData(piece, &got)) return;
            pieces.insert(pieces.end(), piece, piece + got);
            m_log->Add("piece:" + std::to_string(got));  // after the bytes: the test waits for this
            return;
        }
        m_log->Add(Take(this, size));
        if (mode == kHold) ::WaitForSingleObject(gate, 10000);  // until the test opens the gate
    }
    uint32_t OnDisconnected() override {
        m_log->Add("lost");
        return stopWaiting;
    }
    Mode mode = kReceive;
    uint32_t stopWaiting = 1;
    std::vector<uint8_t> pieces;
    CHandleHolder gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

private:
    EventLog* m_log;
};

// A server, a connection to it and a channel on that connection.
struct Rig {
    explicit Rig(const wchar_t* tag, bool start = true) : owner(&log), server(UniquePipeName(tag)) {
        if (!server.Start()) return;
        channel.reset(new TestChannel(owner.OpenPipe(server.Name().c_str(), nullptr), &log));
        if (start) channel->StartThreads();
        ok = server.WaitForClient(5000);
    }
    EventLog log;
    TestOwner owner;
    CTestPipeServer server;
    std::unique_ptr<TestChannel> channel;
    bool ok = false;
};

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5);
    return v;
}

TEST(Channel, WithoutConnectionRaisesInvalidParameter) {
    EventLog log;
    EXPECT_TRUE(Capture([&] { TestChannel channel(nullptr, &log); }).Is(87, L"Channel", 228));
}

TEST(Channel, NeverStartedChannelStopsAtOnceAndShutdownReleasesOnce) {
    Rig rig(L"chan-idle", false);
    ASSERT_TRUE(rig.ok);
    EXPECT_EQ(1u, rig.channel->RequestStop());
    rig.channel->Shutdown();
    EXPECT_EQ(Events{"released"}, rig.log.Get());
    EXPECT_TRUE(rig.server.WaitForClientGone(0, 5000));
    rig.channel.reset();
    EXPECT_EQ(Events{"released"}, rig.log.Get());
}

TEST(Channel, SendsEachMessageAsOneFrameInOrder) {
    Rig rig(L"chan-send");
    ASSERT_TRUE(rig.ok);
    std::vector<uint8_t> big = Pattern(100000);
    rig.channel->SendData("first", 5);
    rig.channel->SendData("", 0);  // queued, never written
    rig.channel->SendData(big.data(), static_cast<uint32_t>(big.size()));
    rig.channel->SendData("last", 4);
    EXPECT_TRUE(Capture([&] { rig.channel->SendData(nullptr, 3); }).Is(87, L"Channel", 504));
    ASSERT_TRUE(rig.server.WaitForFrames(3, 5000));
    EXPECT_EQ(std::vector<uint8_t>({'f', 'i', 'r', 's', 't'}), rig.server.Frame(0));
    EXPECT_EQ(big, rig.server.Frame(1));
    EXPECT_EQ(std::vector<uint8_t>({'l', 'a', 's', 't'}), rig.server.Frame(2));
    EXPECT_EQ(3 * 4 + 5 + big.size() + 4, rig.server.BytesReceived(0));  // nothing for the empty one
}

TEST(Channel, AnnouncesEveryMessageAndSkipsEmptyFrames) {
    Rig rig(L"chan-recv");
    ASSERT_TRUE(rig.ok);
    std::vector<uint8_t> big = Pattern(70000);  // above 65535
    ASSERT_TRUE(rig.server.WriteFrame(0, nullptr, 0));
    ASSERT_TRUE(rig.server.WriteFrame(0, "eleven byte", 11));
    ASSERT_TRUE(rig.server.WriteFrame(0, big));
    ASSERT_TRUE(rig.log.WaitFor("msg:", 2));
    EXPECT_EQ((Events{"data:11", "msg:eleven byte", "data:70000", "msg:" + std::string(big.begin(), big.end())}),
              rig.log.Get());
    EXPECT_TRUE(rig.channel->GetReceiveQueue()->IsEmpty());
    EXPECT_NE(WAIT_OBJECT_0, ::WaitForSingleObject(rig.channel->GetReceivedEvent(), 0));
}

TEST(Channel, ReceiveBufferGrowsToTheLargestFrameOnly) {
    Rig rig(L"chan-grow");
    ASSERT_TRUE(rig.ok);
    EXPECT_EQ(1024u, rig.channel->GetReceiveBufferSize());
    const size_t sizes[] = {1000, 5000, 3000, 5001};
    const uint64_t capacities[] = {1024, 5000, 5000, 5001};
    for (size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(rig.server.WriteFrame(0, Pattern(sizes[i])));
        ASSERT_TRUE(rig.log.WaitFor("msg:", i + 1));
        EXPECT_EQ(capacities[i], rig.channel->GetReceiveBufferSize()) << sizes[i];
    }
}

TEST(Channel, ReadDataTakesAMessageInPieces) {
    Rig rig(L"chan-pieces", false);
    ASSERT_TRUE(rig.ok);
    rig.channel->mode = TestChannel::kPieces;
    rig.channel->StartThreads();
    ASSERT_TRUE(rig.server.WriteFrame(0, Pattern(250)));
    ASSERT_TRUE(rig.log.WaitFor("piece:", 3));
    EXPECT_EQ((Events{"data:250", "piece:100", "data:150", "piece:100", "data:50", "piece:50"}), rig.log.Get());
    EXPECT_EQ(Pattern(250), rig.channel->pieces);
    EXPECT_TRUE(rig.channel->GetReceiveQueue()->IsEmpty());
}

TEST(Channel, ReadsCheckArgumentsAndKeepMessagesApart) {
    Rig rig(L"chan-reads", false);  // no threads: messages are queued by hand
    ASSERT_TRUE(rig.ok);
    CChannel* c = rig.channel.get();
    uint8_t buffer[16] = {};
    uint8_t* p = buffer;
    uint8_t* allocated = nullptr;
    uint32_t size = sizeof(buffer), zero = 0;
    EXPECT_EQ(0u, c->ReadData(buffer, &size));  // empty queue
    EXPECT_EQ(0u, c->Receive(&p, &size));
    EXPECT_EQ(0u, c->ReceiveAlloc(&allocated, &size));
    c->GetReceiveQueue()->Write(6, "abcdef");
    c->GetReceiveQueue()->Write(3, "xyz");
    EXPECT_EQ(0u, c->ReadData(nullptr, &size) + c->ReadData(buffer, nullptr) + c->ReadData(buffer, &zero));
    EXPECT_EQ(0u, c->Receive(nullptr, &size) + c->Receive(&p, nullptr));
    EXPECT_EQ(0u, c->ReceiveAlloc(nullptr, &size) + c->ReceiveAlloc(&allocated, nullptr));

    size = 2;  // begin the first message in pieces, then take it whole
    ASSERT_EQ(1u, c->ReadData(buffer, &size));
    EXPECT_EQ(0, std::memcmp(buffer, "ab", 2));
    ASSERT_EQ(1u, c->Receive(&p, &size));
    EXPECT_EQ(6u, size);
    EXPECT_EQ(0, std::memcmp(buffer, "abcdef", 6));
    ASSERT_EQ(1u, c->ReceiveAlloc(&allocated, &size));  // the next one starts at its beginning
    EXPECT_EQ(3u, size);
    EXPECT_EQ(0, std::memcmp(allocated, "xyz", 3));
    std::free(allocated);
    EXPECT_TRUE(c->GetReceiveQueue()->IsEmpty());
}

TEST(Channel, LossIsReportedAfterEveryReceivedMessageThenReleased) {
    // two frames, then the server closes (DisconnectNamedPipe would discard
    // what the client has not read); with the frames already waiting in the
    // pipe when the threads start, and read as they come
    for (bool startFirst : {false, true}) {
        SCOPED_TRACE(startFirst ? "read as they come" : "already waiting");
        Rig rig(L"chan-loss", startFirst);
        ASSERT_TRUE(rig.ok);
        ASSERT_TRUE(rig.server.WriteFrame(0, "one", 3) && rig.server.WriteFrame(0, "two", 3));
        ASSERT_TRUE(rig.server.CloseClient(0));
        rig.channel->StartThreads();
        ASSERT_TRUE(rig.log.WaitFor("released"));
        EXPECT_EQ((Events{"data:3", "msg:one", "data:3", "msg:two", "lost", "released"}), rig.log.Get());
        EXPECT_TRUE(Capture([&] { rig.channel->SendData("late", 4); }).Is(1236, L"Channel", 506));
        rig.channel.reset();
        EXPECT_EQ(6u, rig.log.Get().size());  // released once only
    }
}

TEST(Channel, FrameCutShortIsNotAnnounced) {
    Rig rig(L"chan-cut");
    ASSERT_TRUE(rig.ok);
    ASSERT_TRUE(rig.server.WriteCutFrame(0, 100, "abc", 3));
    ASSERT_TRUE(rig.log.WaitFor("released"));
    EXPECT_EQ((Events{"lost", "released"}), rig.log.Get());
}

TEST(Channel, OwnerThatKeepsWaitingIsAskedAgainUntilStopped) {
    Rig rig(L"chan-wait", false);
    ASSERT_TRUE(rig.ok);
    rig.channel->stopWaiting = 0;
    rig.channel->StartThreads();
    ASSERT_TRUE(rig.server.CloseClient(0));
    ULONGLONG start = ::GetTickCount64();
    ASSERT_TRUE(rig.log.WaitFor("lost", 3));
    EXPECT_GE(::GetTickCount64() - start, 150u);  // every 100 ms
    EXPECT_EQ("lost", rig.log.Get().front());  // nothing else meanwhile
    rig.channel->RequestStop();
    ASSERT_TRUE(rig.log.WaitFor("released"));
}

TEST(Channel, DisconnectReleasesWithoutReportingAndDropsQueuedMessages) {
    Rig rig(L"chan-disc", false);
    ASSERT_TRUE(rig.ok);
    rig.channel->mode = TestChannel::kHold;
    rig.channel->StartThreads();
    ASSERT_TRUE(rig.server.WriteFrame(0, "held", 4));
    ASSERT_TRUE(rig.log.WaitFor("msg:"));  // the dispatch thread is now held
    ASSERT_TRUE(rig.server.WriteFrame(0, "queued", 6));
    // the queue was empty, so the received event tells when "queued" arrived
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(rig.channel->GetReceivedEvent(), 5000));
    rig.channel->Disconnect();
    ::SetEvent(rig.channel->gate);
    ASSERT_TRUE(rig.log.WaitFor("released"));
    EXPECT_TRUE(rig.server.WaitForClientGone(0, 5000));
    rig.channel.reset();
    EXPECT_EQ((Events{"data:4", "msg:held", "released"}), rig.log.Get());
}

TEST(Channel, ShutdownOfARunningChannelReleasesWithoutReporting) {
    Rig rig(L"chan-shutdown");
    ASSERT_TRUE(rig.ok);
    rig.channel->SendData("bye", 3);
    ASSERT_TRUE(rig.server.WaitForFrames(1, 5000));
    EXPECT_EQ(0u, rig.channel->RequestStop());  // threads still running
    rig.channel->Shutdown();
    EXPECT_EQ(1u, rig.channel->RequestStop());
    EXPECT_EQ(Events{"released"}, rig.log.Get());
    EXPECT_TRUE(rig.server.WaitForClientGone(0, 5000));
}

// The single pipe channel forwards to its client; this one leaves each
// message unread twice (it is announced again), then takes it.
class ForwardingClient : public CSinglePipeClient {
public:
    explicit ForwardingClient(EventLog* log) : CSinglePipeClient(nullptr), m_log(log) {}
    void OnDataAvailable(uint32_t size) override {
        m_log->Add("available:" + std::to_string(size));
        if (++m_announced % 3 == 0) m_log->Add(Take(channel, size));
    }
    void OnConnectionLost() override { m_log->Add("lost"); }
    void OnConnectionClosed(CConnection*) override { m_log->Add("released"); }
    CSinglePipeChannel* channel = nullptr;

private:
    EventLog* m_log;
    int m_announced = 0;
};

TEST(SinglePipeChannel, ForwardsAnnouncementsAndLossToItsClient) {
    EventLog log;
    ForwardingClient client(&log);
    CTestPipeServer server(UniquePipeName(L"chan-single"));
    ASSERT_TRUE(server.Start());
    client.channel = new CSinglePipeChannel(client.OpenPipe(server.Name().c_str(), nullptr), &client);
    ASSERT_TRUE(server.WaitForClient(5000));
    ASSERT_TRUE(server.WriteFrame(0, "12345", 5));
    ASSERT_TRUE(log.WaitFor("msg:"));
    ASSERT_TRUE(server.CloseClient(0));
    ASSERT_TRUE(log.WaitFor("released"));
    delete client.channel;
    EXPECT_EQ((Events{"available:5", "available:5", "available:5", "msg:12345", "lost", "released"}), log.Get());
}

}  // namespace
