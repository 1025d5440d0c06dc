// Channels over real named pipes, served by the test pipe server.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "pipes/Channel.h"
#include "tests/support/LumCapture.h"
#include "tests/support/TestPipeServer.h"

using namespace zk_testkit;
using Events = std::vector<std::string>;

namespace {

// The connection's owner, and the log of what the owner side saw, in order:
// "data:<size announced>", "piece:<bytes read>", "lost", "released".
class Log : public CPipeClient {
public:
    void OnConnectionClosed(CConnection*) override { Add("released"); }
    void Add(const std::string& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_changed.notify_all();
    }
    // The events so far, once there are at least count of them (or after 5 s).
    Events Get(size_t count = 0) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_events.size() >= count; });
        return m_events;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Events m_events;
};

// Reads every announced message in pieces of up to pieceSize bytes; with hold set,
// stays in its announcement until the gate opens.
class TestChannel : public CChannel {
public:
    TestChannel(CConnection* connection, Log* log) : CChannel(connection), m_log(log) {}
    ~TestChannel() override { ::SetEvent(gate.get()); Shutdown(); }
    void OnDataReceived(uint32_t size) override {
        m_log->Add("data:" + std::to_string(size));
        std::vector<uint8_t> piece(pieceSize);
        uint32_t got = pieceSize;
        if (!ReadData(piece.data(), &got)) return;
        received.insert(received.end(), piece.data(), piece.data() + got);
        m_log->Add("piece:" + std::to_string(got));  // after the bytes: the test waits for it
        if (hold) ::WaitForSingleObject(gate.get(), 10000);
    }
    uint32_t OnDisconnected() override { m_log->Add("lost"); return 1; }
    uint64_t QueuedBytes() {
        lumlib::__auto_locker lock(m_receiveLock.get());
        lock.Lock();
        return m_receivedBytes;
    }
    bool WaitQueued(int ms) {  // the receive queue holds a message the dispatcher has not taken
        for (; ms > 0 && m_receiveQueue->IsEmpty(); ms -= 5) ::Sleep(5);
        return !m_receiveQueue->IsEmpty();
    }
    bool hold = false;
    uint32_t pieceSize = 100;
    std::vector<uint8_t> received;
    CHandleHolder gate{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};

private:
    Log* m_log;
};

// A server, a connection to it (owned by the rig's log) and a channel on that connection.
struct Rig : Log {
    explicit Rig(const wchar_t* tag, bool start = true) : server(UniquePipeName(tag)) {
        if (!server.Start()) return;
        channel.reset(new TestChannel(OpenPipe(server.Name().c_str(), nullptr), this));
        if (start) channel->StartThreads();
        ok = server.WaitForClient(5000);
    }
    CTestPipeServer server;
    std::unique_ptr<TestChannel> channel;
    bool ok = false;
};

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 13 + 5);
    return v;
}

}  // namespace

TEST(Channel, SendsFramesAndAnnouncesWhatArrivesPieceByPiece) {
    Rig rig(L"chan-io");
    ASSERT_TRUE(rig.ok);
    std::vector<uint8_t> big = Pattern(100000);
    rig.channel->SendData("", 0);  // no frame at all
    rig.channel->SendData(big.data(), static_cast<uint32_t>(big.size()));
    EXPECT_TRUE(Capture([&] { rig.channel->SendData(nullptr, 3); }).Is(87, L"Channel", 504));
    ASSERT_TRUE(rig.server.WaitForFrames(1, 5000));
    EXPECT_EQ(big, rig.server.Frame(0));
    EXPECT_EQ(4 + big.size(), rig.server.BytesReceived(0));

    // an empty frame is consumed unannounced
    const uint32_t sizes[] = {0, 250, 5000, 3000};
    Events expected;
    std::vector<uint8_t> sent;
    for (int i = 0; i < 4; ++i) {
        std::vector<uint8_t> frame = Pattern(sizes[i]);
        sent.insert(sent.end(), frame.begin(), frame.end());
        for (uint32_t left = sizes[i], n; left; left -= n) {  // 250: 100, 100, 50
            n = std::min(left, 100u);
            expected.insert(expected.end(), {"data:" + std::to_string(left), "piece:" + std::to_string(n)});
        }
        ASSERT_TRUE(rig.server.WriteFrame(0, frame));
        ASSERT_EQ(expected.size(), rig.Get(expected.size()).size());
    }
    EXPECT_EQ(expected, rig.Get());
    EXPECT_TRUE(sent == rig.channel->received);
}

TEST(Channel, DisconnectReleasesUnreportedAndDropsQueuedMessages) {
    Rig rig(L"chan-disc", false);
    ASSERT_TRUE(rig.ok);
    rig.channel->hold = true;
    rig.channel->StartThreads();
    ASSERT_TRUE(rig.server.WriteFrame(0, "held", 4));
    ASSERT_EQ(2u, rig.Get(2).size());  // "piece:4": the dispatch thread is now held
    ASSERT_TRUE(rig.server.WriteFrame(0, "queued", 6));
    ASSERT_TRUE(rig.channel->WaitQueued(5000));
    rig.channel->Disconnect();
    ::SetEvent(rig.channel->gate.get());
    ASSERT_EQ(3u, rig.Get(3).size());
    EXPECT_TRUE(rig.server.WaitForClientGone(0, 5000));
    rig.channel.reset();
    EXPECT_EQ((Events{"data:4", "piece:4", "released"}), rig.Get());
}

// A dispatcher that falls behind: the receive queue stops at its cap (the
// reading waits and the pipe holds the server's writes), and once the
// dispatcher goes on every byte arrives, in order.
TEST(Channel, TheReceiveQueueStopsAtItsCapAndLosesNothing) {
    Rig rig(L"chan-cap", false);
    ASSERT_TRUE(rig.ok);
    rig.channel->hold = true;
    rig.channel->pieceSize = 60000;  // whole frames
    rig.channel->StartThreads();
    const std::vector<uint8_t> frame = Pattern(60000);
    Background writer([&] { for (int i = 0; i < 40; ++i) EXPECT_TRUE(rig.server.WriteFrame(0, frame)); });  // 2.4 MB
    EXPECT_FALSE(writer.Finished(2000)) << "the channel read on";
    EXPECT_GT(rig.channel->QueuedBytes(), CChannel::kReceiveQueueCap / 2);
    EXPECT_LE(rig.channel->QueuedBytes(), CChannel::kReceiveQueueCap);
    ::SetEvent(rig.channel->gate.get());
    EXPECT_TRUE(writer.Finished(10000));
    rig.Get(2 * 40);
    std::vector<uint8_t> all;
    for (int i = 0; i < 40; ++i) all.insert(all.end(), frame.begin(), frame.end());
    EXPECT_TRUE(all == rig.channel->received);
}
