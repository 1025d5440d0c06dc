#include <gtest/gtest.h>

#include <set>
#include <string>
#include <thread>

#include "client_test_util.h"
#include "pipes/SinglePipeClientEx.h"
#include "support/TestPipeServer.h"

using client_test::Message;
using client_test::Now;
using client_test::U32;
using zk_testkit::CTestPipeServer;

namespace {

class ExProbe : public CSinglePipeClientEx {
public:
    ExProbe() : CSinglePipeClientEx(nullptr) {}
    ~ExProbe() override { Stop(); }
    void OnNotification(const uint8_t* m, uint32_t n) override { rec.Note([&] { notes.emplace_back(m, m + n); }); }
    void OnConnectionLost() override {
        CSinglePipeClientEx::OnConnectionLost();
        rec.Note([&] { ++lost; });
    }
    uint32_t OnInitConnection() override {
        rec.Note([&] { ++inits; });
        return 1;
    }
    void OnConnectFailed(uint32_t count) override { rec.Note([&] { failures = count; }); }

    // Sends one request of `size` bytes; returns the result, the reply in `reply`.
    uint32_t Request(uint32_t size, uint32_t tag, std::vector<uint8_t>* reply = nullptr, uint32_t* id = nullptr) {
        std::vector<uint8_t> request = Message(size, 0, tag);
        uint8_t* answer = nullptr;
        uint32_t result = SendRequest(request.data(), &answer);
        if (id != nullptr) *id = U32(request, 4);
        uint32_t length = 0;
        if (answer != nullptr) memcpy(&length, answer, 4);  // a reply is exactly as long as its length field
        if (reply != nullptr && answer != nullptr) reply->assign(answer, answer + length);
        free(answer);
        return result;
    }

    client_test::Recorder rec;
    std::vector<std::vector<uint8_t>> notes;
    int lost = 0, inits = 0;
    uint32_t failures = 0;
};

void Echo(CTestPipeServer& server, size_t client, const std::vector<uint8_t>& frame) { server.WriteFrame(client, frame); }

struct Connected {
    explicit Connected(bool echo, unsigned workers = 0, bool shuffle = false) {
        if (echo) server.SetResponder(Echo, workers, shuffle);
        EXPECT_TRUE(server.Start());
        EXPECT_EQ(client.Start(), 0u);
        EXPECT_TRUE(server.WaitForClient(2000));
    }
    CTestPipeServer server;
    ExProbe client;
};

}  // namespace

TEST(RequestResponse, RequestsAreNumberedFromOneAndGetTheirReplies) {
    Connected t(true);
    std::vector<uint8_t> reply;
    uint32_t id = 0;
    CSinglePipeClient* base = &t.client;
    uint8_t byte = 0;
    EXPECT_EQ(base->Send(&byte, 1), 0u);  // the virtual sends do nothing here
    EXPECT_EQ(base->Post(&byte, 1), 0u);
    for (uint32_t expected : {1u, 2u}) {
        ASSERT_EQ(t.client.Request(40, expected, &reply, &id), 0u);
        EXPECT_EQ(id, expected);
        EXPECT_EQ(reply, Message(40, expected, expected));
    }
    ASSERT_EQ(t.server.FrameCount(), 2u);
    EXPECT_EQ(U32(t.server.Frame(0), 4), 1u);
    EXPECT_EQ(t.client.GetPendingCount(), 0u);
    uint8_t* out = nullptr;
    EXPECT_EQ(t.client.SendRequest(nullptr, &out), 87u);
    EXPECT_EQ(t.client.SendRequest(Message(11, 0).data(), &out), 87u);
}

TEST(RequestResponse, WithoutServiceRetriesForAboutThreeSeconds) {
    ExProbe c;
    ASSERT_EQ(c.Start(), 0u);
    ULONGLONG start = Now();
    uint32_t id = 0;
    EXPECT_EQ(c.Request(20, 1, nullptr, &id), 2250u);
    EXPECT_GE(Now() - start, 2500u);
    EXPECT_LE(Now() - start, 6000u);
    EXPECT_EQ(id, 16u);  // the first try and 15 renumbered retries
    EXPECT_EQ(c.GetPendingCount(), 0u);
}

TEST(RequestResponse, SilentServiceTimesOutAndALateReplyIsDropped) {
    Connected t(false);
    ULONGLONG start = Now();
    EXPECT_EQ(t.client.Request(20, 1), 1168u);
    EXPECT_GE(Now() - start, 2500u);
    EXPECT_LE(Now() - start, 6000u);
    EXPECT_EQ(t.client.GetPendingCount(), 0u);
    ASSERT_TRUE(t.server.WriteFrame(0, Message(20, 1)));  // too late
    t.server.SetResponder(Echo);
    std::vector<uint8_t> reply;
    EXPECT_EQ(t.client.Request(24, 2, &reply), 0u);
    EXPECT_EQ(reply, Message(24, 2, 2));
    EXPECT_TRUE(t.client.rec.Get(t.client.notes).empty());
}

// The waiting caller is released at once when the client stops or the
// connection is lost.
TEST(RequestResponse, StopOrLossWhileWaitingEndsTheRequestAtOnce) {
    for (bool stop : {true, false}) {
        Connected t(false);
        uint32_t result = 0;
        std::thread caller([&] { result = t.client.Request(20, 1); });
        ASSERT_TRUE(t.server.WaitForFrames(1, 3000));
        ULONGLONG start = Now();
        if (stop) t.client.Stop();
        else t.server.CloseClient(0);
        caller.join();
        EXPECT_EQ(result, 1460u);
        EXPECT_LE(Now() - start, 1500u);
        EXPECT_EQ(t.client.GetPendingCount(), 0u);
    }
    ExProbe stopped;
    stopped.Stop();
    EXPECT_EQ(stopped.Request(20, 1), 1460u);
}

// Notifications of 12 bytes and of more than 65535 bytes arrive whole; a
// length field claiming more than arrived is never copied from (a reply wakes
// its caller without data, a notification is dropped); 11 bytes end the
// connection and the client reconnects.
TEST(RequestResponse, IncomingMessagesAreRoutedOrRefused) {
    Connected t(false);
    EXPECT_EQ(t.client.GetReceiveBufferSize(), 65535u);
    auto notice = Message(12, 0), big = Message(70000, 0, 3), small = Message(100, 0, 4), lying = Message(20, 0);
    client_test::PutU32(notice, 8, 77);
    client_test::PutU32(lying, 0, 5000);
    for (auto* m : {&notice, &big, &lying, &small}) ASSERT_TRUE(t.server.WriteFrame(0, *m));
    ASSERT_TRUE(t.client.rec.WaitFor([&] { return t.client.notes.size() == 3; }, 3000));
    EXPECT_EQ(t.client.rec.Get(t.client.notes), (std::vector<std::vector<uint8_t>>{notice, big, small}));
    EXPECT_EQ(t.client.GetReceiveBufferSize(), 70000u);  // grown once, then reused

    t.server.SetResponder([](CTestPipeServer& s, size_t client, const std::vector<uint8_t>& frame) {
        std::vector<uint8_t> reply = frame;
        client_test::PutU32(reply, 0, 1000);
        s.WriteFrame(client, reply);
    });
    ULONGLONG start = Now();
    EXPECT_EQ(t.client.Request(20, 1), 1168u);
    EXPECT_LE(Now() - start, 2000u);
    EXPECT_EQ(t.client.rec.Get(t.client.inits), 1);  // the connection was kept so far

    ASSERT_TRUE(t.server.WriteFrame(0, Message(11, 0)));
    ASSERT_TRUE(t.server.WaitForClientGone(0, 3000));
    ASSERT_TRUE(t.server.WaitForClients(2, 3000));
    ASSERT_TRUE(t.client.rec.WaitFor([&] { return t.client.inits == 2; }, 2000));
    EXPECT_EQ(t.client.rec.Get(t.client.lost), 0);  // ended from this side
    EXPECT_EQ(t.client.rec.Get(t.client.notes).size(), 3u);
}

TEST(RequestResponse, ConcurrentCallersGetTheirOwnReplies) {
    Connected t(true, 4, true);
    const int kThreads = 8, kRequests = 100;
    std::vector<int> good(kThreads, 0);
    std::vector<std::thread> callers;
    for (int i = 0; i < kThreads; ++i) {
        callers.emplace_back([&, i] {
            for (int r = 0; r < kRequests; ++r) {
                uint32_t tag = i * 1000 + r;
                std::vector<uint8_t> reply;
                if (t.client.Request(32 + i, tag, &reply) == 0 && reply == Message(32 + i, U32(reply, 4), tag)) ++good[i];
            }
        });
    }
    for (auto& c : callers) c.join();
    for (int i = 0; i < kThreads; ++i) EXPECT_EQ(good[i], kRequests) << "caller " << i;
    std::set<uint32_t> ids;
    for (size_t f = 0; f < t.server.FrameCount(); ++f) ids.insert(U32(t.server.Frame(f), 4));
    EXPECT_EQ(ids.size(), size_t(kThreads * kRequests));
    EXPECT_EQ(t.client.GetPendingCount(), 0u);
}

// The failed-attempt counter is process-wide: the check runs in a child
// process of its own, which ends with 42 when every assertion passed.
TEST(RequestResponse, FirstFailedAttemptOfTheProcessRaisesOneNotice) {
    wchar_t exe[MAX_PATH];
    ASSERT_NE(::GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    std::wstring command = L"\"" + std::wstring(exe) +
                           L"\" --gtest_also_run_disabled_tests --gtest_filter=NoticeChild.DISABLED_Run";
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CHandleHolder process(pi.hProcess), thread(pi.hThread);
    ASSERT_EQ(::WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 42u);
}

TEST(NoticeChild, DISABLED_Run) {
    ASSERT_EQ(CSinglePipeClientEx::GetFailedAttempts(), 0);
    {
        ExProbe c;
        ASSERT_EQ(c.Start(), 0u);
        ASSERT_TRUE(c.rec.WaitFor([&] { return c.notes.size() == 1 && c.failures >= 3; }, 6000));
        auto notes = c.rec.Get(c.notes);
        ASSERT_EQ(notes.size(), 1u);
        ASSERT_EQ(notes[0], (std::vector<uint8_t>{12, 0, 0, 0, 0, 0, 0, 0, 0xCA, 0x08, 0, 0}));  // 2250
        ASSERT_EQ(CSinglePipeClientEx::GetFailedAttempts(), -1);
    }
    ExProbe second;
    ASSERT_EQ(second.Start(), 0u);
    ASSERT_TRUE(second.rec.WaitFor([&] { return second.failures >= 2; }, 4000));
    ASSERT_TRUE(second.rec.Get(second.notes).empty());
    second.Stop();
    ::ExitProcess(42);
}
