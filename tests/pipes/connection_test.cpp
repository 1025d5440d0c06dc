// The pipe connection over real named pipes, served by the test pipe server.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "pipes/Connection.h"
#include "tests/support/LumCapture.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/TestPipeServer.h"

using namespace zk_testkit;

namespace {

// Records, per release, whether the pipe was already closed when it was told.
class TestOwner : public CPipeClient {
public:
    void OnConnectionClosed(CConnection* connection) override {
        CPipeConnection* pipe = dynamic_cast<CPipeConnection*>(connection);
        closed.push_back(pipe && !CHandleHolder::IsValidHandle(pipe->GetPipe()));
    }
    std::vector<bool> closed;
};

struct Releaser {
    void operator()(CConnection* c) const { c->Release(); }
};
using ConnectionPtr = std::unique_ptr<CPipeConnection, Releaser>;

CTestPipeServer::Options Server(const wchar_t* tag, DWORD instances = 4, DWORD timeoutMs = 2000) {
    CTestPipeServer::Options o;
    o.name = UniquePipeName(tag);
    o.instances = instances;
    o.defaultTimeoutMs = timeoutMs;
    return o;
}

// A started server and one connection to it.
struct Connected {
    explicit Connected(const wchar_t* tag) : server(Server(tag)) {
        if (server.Start()) connection.reset(owner.OpenPipe(server.Name().c_str(), nullptr));
        ok = connection && server.WaitForClient(5000);
    }
    TestOwner owner;
    CTestPipeServer server;
    ConnectionPtr connection;
    bool ok = false;
};

DWORD Since(ULONGLONG start) { return static_cast<DWORD>(::GetTickCount64() - start); }

uint32_t ReadOnce(CConnection* c, void* buffer, uint32_t size) {
    c->Read(buffer, &size);
    return size;
}

TEST(PipeConnection, ArgumentsAreChecked) {
    TestOwner owner;
    EXPECT_TRUE(Capture([] { CPipeConnection c(nullptr, nullptr); }).Is(87, L"Connection", 17));
    EXPECT_TRUE(Capture([&] { owner.OpenPipe(nullptr, nullptr); }).Is(87, L"PipeClient", 33));
    EXPECT_TRUE(Capture([&] { CPipeConnection c(&owner, INVALID_HANDLE_VALUE); }).Is(87, L"PipeConnection", 20));
    EXPECT_TRUE(owner.closed.empty());
    // the rejected handle leaves nothing open (the abort event is closed again)
    long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    for (int i = 0; i < 20; ++i) Capture([&] { CPipeConnection c(&owner, INVALID_HANDLE_VALUE); });
    EXPECT_EQ(before, testkit::ProcessHandleCount());
}

TEST(PipeConnection, OpenFailsAtOnceWithoutServerAndSucceedsOnceItExists) {
    TestOwner owner;
    CTestPipeServer server(UniquePipeName(L"conn-late"));
    ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(Capture([&] { owner.OpenPipe(server.Name().c_str(), nullptr); }).Is(2, L"PipeClient", 93));
    EXPECT_LT(Since(start), 2000u);  // one failed wait, no loop
    ASSERT_TRUE(server.Start());
    ConnectionPtr c(owner.OpenPipe(server.Name().c_str(), nullptr));
    EXPECT_TRUE(c && server.WaitForClient(5000));
}

TEST(PipeConnection, OpenRefusedByTheServerGivesAccessDenied) {
    CTestPipeServer::Options o = Server(L"conn-refused");
    o.refuseClients = true;
    CTestPipeServer server(o);
    ASSERT_TRUE(server.Start());
    TestOwner owner;
    EXPECT_TRUE(Capture([&] { owner.OpenPipe(o.name.c_str(), nullptr); }).Is(5, L"PipeClient", 93));
}

TEST(PipeConnection, OpenWaitsForABusyInstanceUpToTheServersTimeout) {
    // a free instance ends the wait and the open is retried; a time-out ends the open
    for (bool freed : {true, false}) {
        SCOPED_TRACE(freed ? "freed" : "timed out");
        CTestPipeServer server(Server(L"conn-busy", 1, freed ? 10000 : 300));
        ASSERT_TRUE(server.Start());
        TestOwner owner;
        ConnectionPtr first(owner.OpenPipe(server.Name().c_str(), nullptr));
        ASSERT_TRUE(server.WaitForClient(5000));
        ConnectionPtr second;
        Raised raised;
        ULONGLONG start = ::GetTickCount64();
        {
            Background opener([&] { raised = Capture([&] { second.reset(owner.OpenPipe(server.Name().c_str(), nullptr)); }); });
            if (freed) {
                EXPECT_FALSE(opener.Finished(500));  // still waiting for the instance
                ASSERT_TRUE(server.DisconnectClient(0));
            }
            EXPECT_TRUE(opener.Finished(8000));
        }
        if (freed) {
            EXPECT_FALSE(raised.raised) << raised.error;
            EXPECT_TRUE(second && server.WaitForClients(2, 5000));
        } else {
            EXPECT_TRUE(raised.Is(ERROR_SEM_TIMEOUT, L"PipeClient", 93)) << raised.error;
            EXPECT_GE(Since(start), 250u);
        }
    }
}

TEST(PipeConnection, ReadsAndWritesAcrossThePipe) {
    Connected c(L"conn-io");
    ASSERT_TRUE(c.ok);
    uint32_t n = 0;
    EXPECT_TRUE(c.connection->ReadAll(nullptr, 0));  // would block for ever if it read

    // a frame larger than the pipe's buffer, written in as many Writes as it takes
    std::vector<uint8_t> wire(4 + 100000);
    uint32_t length = 100000;
    std::memcpy(wire.data(), &length, 4);
    for (size_t i = 4; i < wire.size(); ++i) wire[i] = static_cast<uint8_t>(i % 251);
    for (size_t done = 0; done < wire.size(); done += n) {
        n = static_cast<uint32_t>(wire.size() - done);
        EXPECT_NE(0u, c.connection->Write(wire.data() + done, &n));
    }
    ASSERT_TRUE(c.server.WaitForFrames(1, 5000));
    EXPECT_TRUE(std::equal(wire.begin() + 4, wire.end(), c.server.Frame(0).begin()));

    ASSERT_TRUE(c.server.WriteFrame(0, wire.data() + 4, 30000));  // fits the pipe's buffer
    std::vector<uint8_t> got(4 + 30000);
    ASSERT_TRUE(c.connection->ReadAll(got.data(), static_cast<uint32_t>(got.size())));
    std::memcpy(&length, got.data(), 4);
    EXPECT_EQ(30000u, length);
    EXPECT_TRUE(std::equal(got.begin() + 4, got.end(), wire.begin() + 4));
    EXPECT_NE(0u, c.connection->Flush());
}

TEST(PipeConnection, CancelEndsAPendingReadAndEveryLaterOperation) {
    Connected c(L"conn-cancel");
    ASSERT_TRUE(c.ok);
    uint8_t buffer[16];
    Raised raised;
    {
        Background reader([&] { raised = Capture([&] { ReadOnce(c.connection.get(), buffer, 16); }); });
        EXPECT_FALSE(reader.Finished(200));  // nothing arrives: the read is pending
        ULONGLONG start = ::GetTickCount64();
        c.connection->Cancel();
        EXPECT_TRUE(reader.Finished(3000));
        EXPECT_LT(Since(start), 1000u);
    }
    EXPECT_TRUE(raised.Is(ERROR_CANCELLED, L"PipeConnection", 71));
    EXPECT_TRUE(Capture([&] { ReadOnce(c.connection.get(), buffer, 16); }).Is(ERROR_CANCELLED, L"PipeConnection", 71));
    EXPECT_TRUE(Capture([&] {
        uint32_t n = 4;
        c.connection->Write("abcd", &n);
    }).Is(ERROR_CANCELLED, L"PipeConnection", 108));
    c.connection.reset();  // a cancelled connection is still released normally
    EXPECT_EQ(std::vector<bool>{true}, c.owner.closed);
    EXPECT_TRUE(c.server.WaitForClientGone(0, 5000));
}

TEST(PipeConnection, DataThatArrivedBeforeCancelIsStillDelivered) {
    Connected c(L"conn-arrived");
    ASSERT_TRUE(c.ok);
    ASSERT_TRUE(c.server.WriteRaw(0, "data", 4));
    c.connection->Cancel();
    // the completed read's event is tested before the abort event
    char got[4] = {};
    uint32_t total = 0;
    Raised r = Capture([&] {
        while (total < 4) total += ReadOnce(c.connection.get(), got + total, 4 - total);
    });
    EXPECT_FALSE(r.raised) << r.error;
    EXPECT_EQ(0, std::memcmp(got, "data", 4));
}

TEST(PipeConnection, ServerEndingTheConnectionFailsThePendingRead) {
    // a plain close is a broken pipe (109); DisconnectNamedPipe is "not connected" (233)
    for (bool disconnect : {false, true}) {
        SCOPED_TRACE(disconnect ? "disconnect" : "close");
        Connected c(L"conn-broken");
        ASSERT_TRUE(c.ok);
        Raised raised;
        {
            uint32_t value;
            Background reader([&] { raised = Capture([&] { c.connection->ReadAll(&value, 4); }); });
            EXPECT_FALSE(reader.Finished(200));  // pending before the server acts
            ASSERT_TRUE(disconnect ? c.server.DisconnectClient(0) : c.server.CloseClient(0));
        }
        EXPECT_TRUE(raised.Is(disconnect ? 233 : 109, L"PipeConnection", 77)) << raised.error << " " << raised.line;
        Raised w = Capture([&] {
            uint32_t n = 4;
            c.connection->Write("abcd", &n);
        });
        EXPECT_TRUE(w.raised && w.error != 0 && (w.line == 98 || w.line == 124)) << w.line;
    }
}

TEST(PipeConnection, ReleaseClosesThePipeBeforeTellingTheOwner) {
    Connected c(L"conn-release");
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(&c.owner, c.connection->GetOwner());
    c.connection.reset();
    EXPECT_EQ(std::vector<bool>{true}, c.owner.closed);
    EXPECT_TRUE(c.server.WaitForClientGone(0, 5000));
}

TEST(PipeConnection, CancelEndsAPendingWriteWithinAPoll) {
    // a server end that never reads, so that a large write stays pending
    std::wstring name = UniquePipeName(L"conn-stuck");
    CHandleHolder server(::CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 1000, nullptr));
    ASSERT_TRUE(server.IsValid());
    TestOwner owner;
    ConnectionPtr c(owner.OpenPipe(name.c_str(), nullptr));
    std::vector<uint8_t> big(1 << 20);
    Raised raised;
    {
        Background writer([&] {
            raised = Capture([&] {
                uint32_t n = static_cast<uint32_t>(big.size());
                c->Write(big.data(), &n);
            });
        });
        EXPECT_FALSE(writer.Finished(300));
        ULONGLONG start = ::GetTickCount64();
        c->Cancel();
        EXPECT_TRUE(writer.Finished(5000));
        EXPECT_LT(Since(start), 3000u);  // checked once a second
    }
    EXPECT_TRUE(raised.Is(ERROR_CANCELLED, L"PipeConnection", 108));
}

TEST(TestPipeServer, AnswersSeveralClientsFromShuffledResponders) {
    CTestPipeServer server(Server(L"srv-many"));
    server.SetResponder([](CTestPipeServer& s, size_t client, const std::vector<uint8_t>& frame) {
        s.WriteFrame(client, frame);
    }, 3, true);
    ASSERT_TRUE(server.Start());
    TestOwner owner;
    ConnectionPtr clients[3];
    for (ConnectionPtr& c : clients) c.reset(owner.OpenPipe(server.Name().c_str(), nullptr));
    ASSERT_TRUE(server.WaitForClients(3, 5000));
    for (int i = 0; i < 3; ++i) {
        for (uint8_t k = 0; k < 4; ++k) {
            uint8_t frame[5] = {1, 0, 0, 0, static_cast<uint8_t>(i * 10 + k)};
            uint32_t n = 5;
            clients[i]->Write(frame, &n);
        }
    }
    for (int i = 0; i < 3; ++i) {
        std::vector<int> answers;
        for (int k = 0; k < 4; ++k) {
            uint8_t frame[5];
            ASSERT_TRUE(clients[i]->ReadAll(frame, 5));
            answers.push_back(frame[4]);
        }
        std::sort(answers.begin(), answers.end());
        EXPECT_EQ((std::vector<int>{i * 10, i * 10 + 1, i * 10 + 2, i * 10 + 3}), answers);  // each to its asker
    }
    server.Stop();
    uint8_t x;
    EXPECT_TRUE(Capture([&] { ReadOnce(clients[0].get(), &x, 1); }).raised);  // Stop ended every connection
}

}  // namespace
