// The pipe connection over real named pipes, served by the test pipe server.
#include <windows.h>

#include <gtest/gtest.h>

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
        closed.push_back(pipe && !lumlib::HandleTraits::is_valid(pipe->GetPipe()));
    }
    Raised Open(const std::wstring& name) { return Capture([&] { OpenPipe(name.c_str(), nullptr)->Release(); }); }
    std::vector<bool> closed;
};

}  // namespace

TEST(PipeConnection, BadArgumentsAndFailedOpensRaiseAtOnce) {
    TestOwner owner;
    EXPECT_TRUE(Capture([] { CPipeConnection c(nullptr, CHandleHolder()); }).Is(87, L"Connection", 17));
    EXPECT_TRUE(Capture([&] { owner.OpenPipe(nullptr, nullptr); }).Is(87, L"PipeClient", 33));
    ULONGLONG start = ::GetTickCount64();
    EXPECT_TRUE(owner.Open(UniquePipeName(L"conn-none")).Is(2, L"PipeClient", 93));
    EXPECT_LT(::GetTickCount64() - start, 2000u);  // one failed wait, no retries
    {
        CTestPipeServer server(UniquePipeName(L"conn-refused"), true);  // refuses clients
        ASSERT_TRUE(server.Start());
        EXPECT_TRUE(owner.Open(server.Name()).Is(5, L"PipeClient", 93));
    }
    // an invalid handle is refused, and the abort event made before it is closed again
    long before = testkit::ProcessHandleCount();
    for (int i = 0; i < 20; ++i)
        EXPECT_TRUE(Capture([&] { CPipeConnection c(&owner, CHandleHolder(INVALID_HANDLE_VALUE)); }).Is(87, L"PipeConnection", 20));
    EXPECT_TRUE(owner.closed.empty());
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    EXPECT_EQ(before, testkit::ProcessHandleCount());
}

// Cancel ends a pending read with 1223; the server closing its end gives a
// broken pipe (109), DisconnectNamedPipe "not connected" (233). Every later
// operation fails too, and the connection is still released normally.
TEST(PipeConnection, PendingReadEndsOnCancelOrWhenTheServerEndsTheConnection) {
    const struct { int how; uint32_t error, line; } cases[] = {{0, ERROR_CANCELLED, 71}, {1, 109, 77}, {2, 233, 77}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "error " << c.error);
        TestOwner owner;
        CTestPipeServer server(UniquePipeName(L"conn-end"));
        ASSERT_TRUE(server.Start());
        CPipeConnection* pipe = owner.OpenPipe(server.Name().c_str(), nullptr);
        ASSERT_TRUE(server.WaitForClient(5000));
        Raised read;
        {
            uint32_t value;
            Background reader([&] { read = Capture([&] { pipe->ReadAll(&value, 4); }); });
            EXPECT_FALSE(reader.Finished(200));  // nothing sent: the read is pending
            if (c.how == 0) pipe->Cancel();
            else EXPECT_TRUE(c.how == 1 ? server.CloseClient(0) : server.DisconnectClient(0));
            EXPECT_TRUE(reader.Finished(2000));
        }
        EXPECT_TRUE(read.Is(c.error, L"PipeConnection", c.line)) << read.error << " line " << read.line;
        uint32_t n = 4;
        Raised write = Capture([&] { pipe->Write("abcd", &n); });
        EXPECT_TRUE(c.how ? write.raised && write.error != 0 : write.Is(ERROR_CANCELLED, L"PipeConnection", 108));
        pipe->Release();
        EXPECT_EQ(std::vector<bool>{true}, owner.closed);  // told after the pipe was closed
        EXPECT_TRUE(server.WaitForClientGone(0, 5000));
    }
}
