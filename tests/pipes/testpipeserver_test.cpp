// The shared test pipe server, checked with a bare overlapped client so that
// the other pipe tests can trust what it records and does.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/support/TestPipeServer.h"

using zk_testkit::CTestPipeServer;
using zk_testkit::UniquePipeName;

namespace {

// Minimal client end: blocking reads and writes with a time-out.
class RawClient {
public:
    explicit RawClient(const std::wstring& path)
        : m_pipe(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr)),
          m_error(m_pipe.IsValid() ? 0 : ::GetLastError()),
          m_event(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    bool IsOpen() const { return m_pipe.IsValid(); }
    DWORD OpenError() const { return m_error; }

    // 0 when all bytes moved, else the error (WAIT_TIMEOUT after timeoutMs).
    DWORD Transfer(bool write, void* buffer, DWORD count, DWORD timeoutMs = 5000) {
        uint8_t* p = static_cast<uint8_t*>(buffer);
        while (count) {
            OVERLAPPED ov = {};
            ov.hEvent = m_event;
            DWORD n = 0;
            BOOL ok = write ? ::WriteFile(m_pipe, p, count, nullptr, &ov) : ::ReadFile(m_pipe, p, count, nullptr, &ov);
            if (!ok && ::GetLastError() != ERROR_IO_PENDING) return ::GetLastError();
            if (::WaitForSingleObject(m_event, timeoutMs) != WAIT_OBJECT_0) {
                ::CancelIoEx(m_pipe, &ov);
                ::GetOverlappedResult(m_pipe, &ov, &n, TRUE);
                return WAIT_TIMEOUT;
            }
            if (!::GetOverlappedResult(m_pipe, &ov, &n, FALSE)) return ::GetLastError();
            p += n;
            count -= n;
        }
        return 0;
    }

    DWORD SendFrame(const std::vector<uint8_t>& payload) {
        uint32_t n = static_cast<uint32_t>(payload.size());
        std::vector<uint8_t> wire(reinterpret_cast<uint8_t*>(&n), reinterpret_cast<uint8_t*>(&n) + 4);
        wire.insert(wire.end(), payload.begin(), payload.end());
        return Transfer(true, wire.data(), static_cast<DWORD>(wire.size()));
    }

    DWORD ReadFrame(std::vector<uint8_t>* payload) {
        uint32_t n = 0;
        DWORD err = Transfer(false, &n, 4);
        if (err) return err;
        payload->assign(n, 0);
        return n ? Transfer(false, payload->data(), n) : 0;
    }

private:
    CHandleHolder m_pipe;
    DWORD m_error;
    CHandleHolder m_event;
};

std::vector<uint8_t> Bytes(const char* text) { return std::vector<uint8_t>(text, text + std::strlen(text)); }

TEST(TestPipeServer, RecordsFramesAndWritesFramesBack) {
    CTestPipeServer server(UniquePipeName(L"srv-roundtrip"));
    ASSERT_TRUE(server.Start());
    RawClient client(server.Path());
    ASSERT_TRUE(client.IsOpen()) << client.OpenError();
    ASSERT_TRUE(server.WaitForClient(5000));

    ASSERT_EQ(0u, client.SendFrame(Bytes("hello")));
    ASSERT_EQ(0u, client.SendFrame({}));
    ASSERT_TRUE(server.WaitForFrames(2, 5000));
    EXPECT_EQ(Bytes("hello"), server.Frame(0));
    EXPECT_TRUE(server.Frame(1).empty());
    EXPECT_EQ(0u, server.FrameClient(1));
    EXPECT_EQ(4u + 5u + 4u, server.BytesReceived(0));

    std::vector<uint8_t> big(70000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 7);
    // Larger than the pipe's buffer: the write completes only while the client reads.
    bool written = false;
    std::thread writer([&] { written = server.WriteFrame(0, big); });
    std::vector<uint8_t> got;
    EXPECT_EQ(0u, client.ReadFrame(&got));
    writer.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(big, got);
}

TEST(TestPipeServer, EndsAClientConnectionEitherWay) {
    // DisconnectNamedPipe shows as "pipe not connected", a bare close as "broken pipe".
    struct Case {
        bool disconnect;
        DWORD clientError;
    } cases[] = {{true, ERROR_PIPE_NOT_CONNECTED}, {false, ERROR_BROKEN_PIPE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.disconnect ? "DisconnectClient" : "CloseClient");
        CTestPipeServer server(UniquePipeName(L"srv-end"));
        ASSERT_TRUE(server.Start());
        RawClient client(server.Path());
        ASSERT_TRUE(client.IsOpen());
        ASSERT_TRUE(server.WaitForClient(5000));
        ASSERT_TRUE(c.disconnect ? server.DisconnectClient(0) : server.CloseClient(0));
        EXPECT_FALSE(server.IsClientConnected(0));
        uint8_t b;
        EXPECT_EQ(c.clientError, client.Transfer(false, &b, 1));
        EXPECT_FALSE(server.WriteFrame(0, "x", 1));

        // The server listens again: a second client is accepted.
        RawClient again(server.Path());
        ASSERT_TRUE(again.IsOpen()) << again.OpenError();
        EXPECT_TRUE(server.WaitForClients(2, 5000));
    }
}

TEST(TestPipeServer, CutFrameAndClientGoneAreSeen) {
    CTestPipeServer server(UniquePipeName(L"srv-cut"));
    ASSERT_TRUE(server.Start());
    {
        RawClient client(server.Path());
        ASSERT_TRUE(server.WaitForClient(5000));
        ASSERT_TRUE(server.WriteCutFrame(0, 100, "abc", 3));
        uint8_t got[7] = {};
        ASSERT_EQ(0u, client.Transfer(false, got, 7));
        uint32_t length;
        std::memcpy(&length, got, 4);
        EXPECT_EQ(100u, length);
        EXPECT_EQ(0, std::memcmp(got + 4, "abc", 3));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), client.Transfer(false, got, 1));
    }
    {
        RawClient second(server.Path());
        ASSERT_TRUE(server.WaitForClients(2, 5000));
        EXPECT_TRUE(server.IsClientConnected(1));
    }
    // the client closed its end: the server notices on its own
    EXPECT_TRUE(server.WaitForClientGone(1, 5000));
}

TEST(TestPipeServer, SeveralClientsAndShuffledResponders) {
    CTestPipeServer server(UniquePipeName(L"srv-many"));
    // Echo each frame back from one of three threads, oldest-first not guaranteed.
    server.SetResponder([](CTestPipeServer& s, size_t client, const std::vector<uint8_t>& frame) {
        s.WriteFrame(client, frame);
    }, 3, true);
    ASSERT_TRUE(server.Start());
    // Clients are numbered in accept order: open them one at a time.
    RawClient a(server.Path());
    ASSERT_TRUE(server.WaitForClients(1, 5000));
    RawClient b(server.Path());
    ASSERT_TRUE(server.WaitForClients(2, 5000));
    RawClient c(server.Path());
    ASSERT_TRUE(server.WaitForClients(3, 5000));
    RawClient* clients[] = {&a, &b, &c};
    for (int i = 0; i < 3; ++i) {
        for (int k = 0; k < 4; ++k) ASSERT_EQ(0u, clients[i]->SendFrame({static_cast<uint8_t>(i * 10 + k)}));
    }
    ASSERT_TRUE(server.WaitForFrames(12, 5000));
    for (int i = 0; i < 3; ++i) {
        std::vector<int> seen;
        for (int k = 0; k < 4; ++k) {
            std::vector<uint8_t> got;
            ASSERT_EQ(0u, clients[i]->ReadFrame(&got));
            ASSERT_EQ(1u, got.size());
            seen.push_back(got[0]);
        }
        std::sort(seen.begin(), seen.end());
        // each answer went back to the client that asked
        EXPECT_EQ((std::vector<int>{i * 10, i * 10 + 1, i * 10 + 2, i * 10 + 3}), seen);
    }
    // the frames are attributed to the right client
    for (size_t k = 0; k < server.FrameCount(); ++k) {
        size_t client = server.FrameClient(k);
        ASSERT_LT(client, 3u);
        std::vector<uint8_t> frame = server.Frame(k);
        ASSERT_EQ(1u, frame.size());
        EXPECT_EQ(static_cast<size_t>(frame[0] / 10), client) << k;
    }
    server.Stop();
    uint8_t x;
    EXPECT_NE(0u, a.Transfer(false, &x, 1));  // Stop ended every connection
}

TEST(TestPipeServer, BusySingleInstanceFreesForAWaitingClient) {
    CTestPipeServer::Options o;
    o.name = UniquePipeName(L"srv-busy");
    o.instances = 1;
    o.defaultTimeoutMs = 5000;
    CTestPipeServer server(o);
    ASSERT_TRUE(server.Start());
    RawClient first(server.Path());
    ASSERT_TRUE(first.IsOpen());
    ASSERT_TRUE(server.WaitForClient(5000));
    RawClient refused(server.Path());
    EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), refused.OpenError());
    ASSERT_TRUE(server.DisconnectClient(0));
    EXPECT_TRUE(::WaitNamedPipeW(server.Path().c_str(), NMPWAIT_USE_DEFAULT_WAIT));
    RawClient second(server.Path());
    EXPECT_TRUE(second.IsOpen()) << second.OpenError();
}

}  // namespace

namespace {

TEST(TestPipeServer, RefusingServerDeniesAccess) {
    CTestPipeServer::Options o;
    o.name = UniquePipeName(L"srv-deny");
    o.refuseClients = true;
    CTestPipeServer server(o);
    ASSERT_TRUE(server.Start());
    RawClient client(server.Path());
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), client.OpenError());
}

}  // namespace
