// The pipe connection over real named pipes, served by the test pipe server.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "pipes/Connection.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/TestPipeServer.h"

using zk_testkit::CTestPipeServer;
using zk_testkit::UniquePipeName;

namespace {

// Records each release; checks that the pipe was already closed by then.
class TestOwner : public CPipeClient {
public:
    void OnConnectionClosed(CConnection* connection) override {
        closed.push_back(connection);
        CPipeConnection* pipe = dynamic_cast<CPipeConnection*>(connection);
        pipeClosedFirst = pipe && !CHandleHolder::IsValidHandle(pipe->GetPipe());
    }
    std::vector<CConnection*> closed;
    bool pipeClosedFirst = false;
};

struct Raised {
    uint32_t error = 0;
    uint32_t line = 0;
    std::wstring module;
    bool raised = false;
};

// Runs f and captures the CLumException it raises (deleting it).
template <class F>
Raised Capture(F f) {
    Raised r;
    try {
        f();
    } catch (CLumException* e) {
        r.raised = true;
        r.error = e->GetError();
        r.line = e->GetLine();
        r.module = e->GetModule();
        delete e;
    }
    return r;
}

void ExpectRaised(const Raised& r, uint32_t error, const wchar_t* module, uint32_t line) {
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(error, r.error);
    EXPECT_EQ(std::wstring(module), r.module);
    EXPECT_EQ(line, r.line);
}

// Deletes through Release, as every holder of a connection does.
struct Releaser {
    void operator()(CConnection* c) const { c->Release(); }
};
using ConnectionPtr = std::unique_ptr<CPipeConnection, Releaser>;

// A started server and one connection to it.
struct Connected {
    explicit Connected(const wchar_t* tag) : server(UniquePipeName(tag)) {}
    bool Open() {
        if (!server.Start()) return false;
        connection.reset(owner.OpenPipe(server.Name().c_str(), nullptr));
        return connection && server.WaitForClient(5000);
    }
    TestOwner owner;
    CTestPipeServer server;
    ConnectionPtr connection;
};

std::vector<uint8_t> Frame(const std::string& text) {
    uint32_t n = static_cast<uint32_t>(text.size());
    std::vector<uint8_t> wire(reinterpret_cast<uint8_t*>(&n), reinterpret_cast<uint8_t*>(&n) + 4);
    wire.insert(wire.end(), text.begin(), text.end());
    return wire;
}

DWORD ElapsedSince(ULONGLONG start) { return static_cast<DWORD>(::GetTickCount64() - start); }

TEST(PipeConnection, ConstructionChecksItsArguments) {
    TestOwner owner;
    ExpectRaised(Capture([] { CPipeConnection c(nullptr, nullptr); }), 87, L"Connection", 17);
    ExpectRaised(Capture([&] { CPipeConnection c(&owner, INVALID_HANDLE_VALUE); }), 87, L"PipeConnection", 20);
    ExpectRaised(Capture([&] { owner.OpenPipe(nullptr, nullptr); }), 87, L"PipeClient", 33);
    EXPECT_TRUE(owner.closed.empty());
}

TEST(PipeConnection, RejectedHandleLeavesNoHandleOpen) {
    TestOwner owner;
    // warm up: the first exception may allocate handles of the runtime's own
    Capture([&] { CPipeConnection c(&owner, INVALID_HANDLE_VALUE); });
    long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    for (int i = 0; i < 20; ++i) Capture([&] { CPipeConnection c(&owner, INVALID_HANDLE_VALUE); });
    EXPECT_EQ(before, testkit::ProcessHandleCount());
}

TEST(PipeConnection, OpenWithoutServerFailsAtOnceWithFileNotFound) {
    TestOwner owner;
    std::wstring name = UniquePipeName(L"conn-absent");
    ULONGLONG start = ::GetTickCount64();
    ExpectRaised(Capture([&] { owner.OpenPipe(name.c_str(), nullptr); }), ERROR_FILE_NOT_FOUND, L"PipeClient", 93);
    EXPECT_LT(ElapsedSince(start), 2000u);

    // A server that appears later is found by the next attempt.
    CTestPipeServer server(name);
    ASSERT_TRUE(server.Start());
    ConnectionPtr c(owner.OpenPipe(name.c_str(), nullptr));
    ASSERT_TRUE(c);
    EXPECT_TRUE(server.WaitForClient(5000));
}

TEST(PipeConnection, OpenRefusedByServerFailsWithAccessDenied) {
    CTestPipeServer::Options o;
    o.name = UniquePipeName(L"conn-refused");
    o.refuseClients = true;
    CTestPipeServer server(o);
    ASSERT_TRUE(server.Start());
    TestOwner owner;
    ExpectRaised(Capture([&] { owner.OpenPipe(o.name.c_str(), nullptr); }), ERROR_ACCESS_DENIED, L"PipeClient", 93);
}

TEST(PipeConnection, OpenWaitsForABusyInstanceAndRetries) {
    CTestPipeServer::Options o;
    o.name = UniquePipeName(L"conn-busy");
    o.instances = 1;
    o.defaultTimeoutMs = 10000;
    CTestPipeServer server(o);
    ASSERT_TRUE(server.Start());
    TestOwner owner;
    ConnectionPtr first(owner.OpenPipe(o.name.c_str(), nullptr));
    ASSERT_TRUE(server.WaitForClient(5000));

    CHandleHolder opened(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ConnectionPtr second;
    Raised raised;
    std::thread opener([&] {
        raised = Capture([&] { second.reset(owner.OpenPipe(o.name.c_str(), nullptr)); });
        ::SetEvent(opened);
    });
    // The only instance is taken: the open keeps waiting...
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(opened, 500));
    // ...until the instance is free again.
    ASSERT_TRUE(server.DisconnectClient(0));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(opened, 8000));
    opener.join();
    EXPECT_FALSE(raised.raised) << raised.error;
    EXPECT_TRUE(second);
    EXPECT_TRUE(server.WaitForClients(2, 5000));
}

TEST(PipeConnection, OpenGivesUpWhenTheBusyWaitTimesOut) {
    CTestPipeServer::Options o;
    o.name = UniquePipeName(L"conn-timeout");
    o.instances = 1;
    o.defaultTimeoutMs = 300;
    CTestPipeServer server(o);
    ASSERT_TRUE(server.Start());
    TestOwner owner;
    ConnectionPtr first(owner.OpenPipe(o.name.c_str(), nullptr));
    ASSERT_TRUE(server.WaitForClient(5000));
    ULONGLONG start = ::GetTickCount64();
    Raised r = Capture([&] { owner.OpenPipe(o.name.c_str(), nullptr); });
    DWORD elapsed = ElapsedSince(start);
    EXPECT_TRUE(r.raised);
    EXPECT_EQ(static_cast<uint32_t>(ERROR_SEM_TIMEOUT), r.error);
    EXPECT_EQ(93u, r.line);
    EXPECT_GE(elapsed, 200u);
    EXPECT_LT(elapsed, 5000u);
}

TEST(PipeConnection, WritesAndReadsWholeFrames) {
    Connected c(L"conn-io");
    ASSERT_TRUE(c.Open());
    std::vector<uint8_t> wire = Frame("ping");
    uint32_t n = static_cast<uint32_t>(wire.size());
    EXPECT_NE(0u, c.connection->Write(wire.data(), &n));
    EXPECT_EQ(wire.size(), n);
    ASSERT_TRUE(c.server.WaitForFrames(1, 5000));
    EXPECT_EQ(std::vector<uint8_t>({'p', 'i', 'n', 'g'}), c.server.Frame(0));

    std::vector<uint8_t> big(100000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i % 251);
    ASSERT_TRUE(c.server.WriteFrame(0, big.data(), 30000));  // fits the pipe's buffer
    uint32_t length = 0;
    ASSERT_TRUE(c.connection->ReadAll(&length, 4));
    ASSERT_EQ(30000u, length);
    std::vector<uint8_t> got(length);
    ASSERT_TRUE(c.connection->ReadAll(got.data(), length));
    EXPECT_TRUE(std::equal(got.begin(), got.end(), big.begin()));
    EXPECT_NE(0u, c.connection->Flush());

    // A payload larger than the pipe's buffer goes out in one Write or several.
    uint32_t bigLength = static_cast<uint32_t>(big.size());
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&bigLength);
    for (uint32_t left = 4; left;) {
        uint32_t k = left;
        c.connection->Write(p + 4 - left, &k);
        left -= k;
    }
    for (uint32_t done = 0; done < big.size();) {
        uint32_t k = static_cast<uint32_t>(big.size()) - done;
        c.connection->Write(big.data() + done, &k);
        done += k;
    }
    ASSERT_TRUE(c.server.WaitForFrames(2, 5000));
    EXPECT_EQ(big, c.server.Frame(1));
}

TEST(PipeConnection, ReadAllOfNothingReturnsAtOnce) {
    Connected c(L"conn-zero");
    ASSERT_TRUE(c.Open());
    EXPECT_TRUE(c.connection->ReadAll(nullptr, 0));  // would block for ever if it read
}

TEST(PipeConnection, CancelEndsAPendingReadAndEveryLaterOperation) {
    Connected c(L"conn-cancel");
    ASSERT_TRUE(c.Open());
    Raised raised;
    CHandleHolder done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    uint8_t buffer[16];
    std::thread reader([&] {
        raised = Capture([&] {
            uint32_t n = sizeof(buffer);
            c.connection->Read(buffer, &n);
        });
        ::SetEvent(done);
    });
    // nothing arrives: the read stays pending
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(done, 200));
    c.connection->Cancel();
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(done, 3000));
    reader.join();
    ExpectRaised(raised, ERROR_CANCELLED, L"PipeConnection", 71);

    // cancelled for good: reads and writes fail from now on
    ExpectRaised(Capture([&] {
        uint32_t n = sizeof(buffer);
        c.connection->Read(buffer, &n);
    }), ERROR_CANCELLED, L"PipeConnection", 71);
    ExpectRaised(Capture([&] {
        uint32_t n = 4;
        c.connection->Write("abcd", &n);
    }), ERROR_CANCELLED, L"PipeConnection", 108);
    // and the connection can still be released
    c.connection.reset();
    EXPECT_EQ(1u, c.owner.closed.size());
    EXPECT_TRUE(c.server.WaitForClientGone(0, 5000));
}

TEST(PipeConnection, DataThatArrivedBeforeCancelIsStillDelivered) {
    Connected c(L"conn-arrived");
    ASSERT_TRUE(c.Open());
    ASSERT_TRUE(c.server.WriteRaw(0, "data", 4));
    c.connection->Cancel();
    // The read completes at once; its event is tested before the abort event.
    // A pipe may hand the bytes over in pieces, so read until all four came.
    char got[4] = {};
    uint32_t total = 0;
    Raised r = Capture([&] {
        while (total < 4) {
            uint32_t n = 4 - total;
            c.connection->Read(got + total, &n);
            total += n;
        }
    });
    EXPECT_FALSE(r.raised) << r.error;
    EXPECT_EQ(4u, total);
    EXPECT_EQ(0, std::memcmp(got, "data", 4));
}

TEST(PipeConnection, ServerEndingTheConnectionFailsThePendingRead) {
    // A plain close is a broken pipe (109); DisconnectNamedPipe is "not connected" (233).
    struct Case {
        bool disconnect;
        uint32_t error;
    } cases[] = {{false, ERROR_BROKEN_PIPE}, {true, ERROR_PIPE_NOT_CONNECTED}};
    for (const Case& k : cases) {
        SCOPED_TRACE(k.disconnect ? "disconnect" : "close");
        Connected c(L"conn-broken");
        ASSERT_TRUE(c.Open());
        Raised raised;
        CHandleHolder done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread reader([&] {
            uint32_t value;
            raised = Capture([&] { c.connection->ReadAll(&value, 4); });
            ::SetEvent(done);
        });
        // let the read become pending (ending first would fail ReadFile itself)
        EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(done, 200));
        ASSERT_TRUE(k.disconnect ? c.server.DisconnectClient(0) : c.server.CloseClient(0));
        reader.join();
        ExpectRaised(raised, k.error, L"PipeConnection", 77);

        // Writing on the dead pipe fails too (at once or on completion).
        Raised w = Capture([&] {
            uint32_t n = 4;
            c.connection->Write("abcd", &n);
        });
        EXPECT_TRUE(w.raised);
        EXPECT_TRUE(w.line == 98 || w.line == 124) << w.line;
        EXPECT_NE(0u, w.error);
    }
}

TEST(PipeConnection, ReleaseClosesThePipeThenTellsTheOwner) {
    Connected c(L"conn-release");
    ASSERT_TRUE(c.Open());
    CConnection* raw = c.connection.get();
    EXPECT_EQ(&c.owner, raw->GetOwner());
    c.connection.reset();
    ASSERT_EQ(1u, c.owner.closed.size());
    EXPECT_EQ(raw, c.owner.closed[0]);
    EXPECT_TRUE(c.owner.pipeClosedFirst);
    EXPECT_TRUE(c.server.WaitForClientGone(0, 5000));
}

// A server end that never reads, so that a large write stays pending.
TEST(PipeConnection, CancelEndsAPendingWrite) {
    std::wstring name = UniquePipeName(L"conn-stuck");
    CHandleHolder server(::CreateNamedPipeW((L"\\\\.\\pipe\\" + name).c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 1000,
                                            nullptr));
    ASSERT_TRUE(server.IsValid());
    TestOwner owner;
    ConnectionPtr c(owner.OpenPipe(name.c_str(), nullptr));
    ASSERT_TRUE(c);
    std::vector<uint8_t> big(1 << 20);
    Raised raised;
    CHandleHolder done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread writer([&] {
        raised = Capture([&] {
            uint32_t n = static_cast<uint32_t>(big.size());
            c->Write(big.data(), &n);
        });
        ::SetEvent(done);
    });
    EXPECT_EQ(static_cast<DWORD>(WAIT_TIMEOUT), ::WaitForSingleObject(done, 300));
    ULONGLONG start = ::GetTickCount64();
    c->Cancel();
    // the write notices within one of its 1000 ms polls
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(done, 5000));
    EXPECT_LT(ElapsedSince(start), 3000u);
    writer.join();
    ExpectRaised(raised, ERROR_CANCELLED, L"PipeConnection", 108);
}

// Owner-less releases: the base class's Release tells the owner and deletes.
class BareConnection : public CConnection {
public:
    explicit BareConnection(CConnectionOwner* owner, bool* destroyed) : CConnection(owner), m_destroyed(destroyed) {}
    ~BareConnection() override { *m_destroyed = true; }
    uint32_t Read(void* buffer, uint32_t* length) override {
        // delivers one byte per call, and 0 bytes every other call
        if (m_calls++ % 2 == 0) {
            *length = 0;
            return 1;
        }
        static_cast<uint8_t*>(buffer)[0] = static_cast<uint8_t>(m_next++);
        *length = 1;
        return 1;
    }
    uint32_t Write(const void*, uint32_t*) override { return 1; }
    uint32_t Flush() override { return 1; }

private:
    bool* m_destroyed;
    int m_calls = 0;
    int m_next = 0;
};

TEST(Connection, ReadAllCollectsPiecesAndReleaseTellsTheOwner) {
    TestOwner owner;
    bool destroyed = false;
    BareConnection* c = new BareConnection(&owner, &destroyed);
    EXPECT_NE(nullptr, c->GetAbortEvent());
    uint8_t got[5] = {};
    EXPECT_TRUE(c->ReadAll(got, 5));
    EXPECT_EQ(0, std::memcmp(got, "\x00\x01\x02\x03\x04", 5));
    c->Release();
    EXPECT_TRUE(destroyed);
    ASSERT_EQ(1u, owner.closed.size());
    EXPECT_EQ(c, owner.closed[0]);
}

}  // namespace
