// The C++ companion header (zksndapi.hpp) linked as an application links it, against a service whose
// lists the test scripts. It serves the service's own pipe: this program never runs beside another that does.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/ContractMonitor.h"
#include "support/FaultInjection.h"
#include "support/LumCapture.h"
#include "support/Observed.h"
#include "support/RawPipeClient.h"
#include "support/TestPipeServer.h"
#include "support/Watchdog.h"
#include "virt/api/SndServiceMessages.h"

// The companion calls the exports by name: these two names route its
// ZkSndVApiInit and ZkSndDeInit through the contract monitor, so every callback
// the Session gets passes the monitor first. The header is otherwise compiled
// as an application compiles it. Once a Session's teardown returned, the test
// running it fails for each rule broken since the last one (the monitor stays
// torn down: a later callback fails the next check).
uint32_t MonitoredZkSndVApiInit(ZkSndNotifyCallback cb, void* context) {
    static zk_testkit::MonitoredInit init{&::ZkSndVApiInit, {}, {}};
    return init(cb, context);
}
uint32_t MonitoredZkSndDeInit() {
    const uint32_t result = ::ZkSndDeInit();
    for (const std::string& broken : zk_testkit::Monitor().Reset()) ADD_FAILURE() << "callback contract: " << broken;
    zk_testkit::Monitor().OnLifecycle(false);
    return result;
}
#define ZkSndVApiInit MonitoredZkSndVApiInit
#define ZkSndDeInit MonitoredZkSndDeInit
#include "virt/api/zksndapi.hpp"
#undef ZkSndVApiInit
#undef ZkSndDeInit

namespace {

using namespace std::chrono;
using zk_testkit::CTestPipeServer;
using zk_testkit::Message;
using Bytes = std::vector<uint8_t>;

ULONGLONG Now() { return ::GetTickCount64(); }

// The service's notifications: a device record, the list's end, the server information.
Bytes Device(uint32_t id, const std::u16string& name) { return Message(SndBuildDeviceInfo, id, 0u, 1u, 0u, name.c_str(), name.size()); }
Bytes Notice(bool listEnd) { return listEnd ? Message(SndBuildLastDeviceInfo) : Message(SndBuildServerInfo, "\1\0\0", size_t(4)); }

// The service's side: what goes out after the session id and for each device-list request.
struct Script {
    std::vector<Bytes> onSessionId, onList;
    bool endAfterList = false;  // break the connection after the list's messages

    void Answer(CTestPipeServer& service, size_t client, const Bytes& frame) const {
        SndDecodedRequest request;
        if (!SndDecodeRequest(frame.data(), frame.size(), request)) return;
        // After the session id the client has announced the connection (8).
        if (request.command == nCmdSetSessionId)
            for (const Bytes& m : onSessionId) service.WriteFrame(client, m);
        if (request.command == nCmdGetSettings)  // 2250: the service knows no such session (status 20)
            service.WriteFrame(client, Message(SndBuildReply, request.requestId, nCmdGetSettings, 2250u,
                                               static_cast<const void*>(nullptr)));
        if (request.command == nCmdGetDeviceList) {
            for (const Bytes& m : onList) service.WriteFrame(client, m);
            if (endAfterList) service.EndClient(client);
        }
    }
};

// What the handlers saw, for waiting on.
struct Seen {
    zk_testkit::CObserved observed;
    int connected = 0, lost = 0, infos = 0, lists = 0;
    std::vector<std::vector<zksnd::Device>> unasked;
    std::function<void()> inServerInfo;  // set before the service is served
    std::function<void()> inLost;        // set before the connection can end
    std::function<void()> inConnected;   // set before the service is served

    zksnd::Handlers Handlers() {
        zksnd::Handlers h;
        h.connected = [this] {
            Count(&connected);
            if (inConnected) inConnected();
        };
        h.connectionLost = [this](uint32_t) {
            if (inLost) inLost();
            Count(&lost);
        };
        h.serverInfo = [this](const uint8_t*) {
            if (inServerInfo) inServerInfo();
            Count(&infos);
        };
        h.deviceList = [this](const std::vector<zksnd::Device>& devices) {
            observed.Note([&] {
                unasked.push_back(devices);
                ++lists;
            });
        };
        return h;
    }
    void Count(int* counter) { observed.Note([counter] { ++*counter; }); }
    // Waits until `counter` reaches `value` (generously: reconnecting takes about a second).
    bool Reach(const int& counter, int value) { return observed.WaitFor([&] { return counter >= value; }, 20000); }
};

std::vector<std::wstring> Names(const std::vector<zksnd::Device>& devices) {
    std::vector<std::wstring> names;
    for (const zksnd::Device& d : devices) names.push_back(d.name);
    return names;
}

// One Session, a script for the service's side, and the service once a test
// serves the script: the session ends first (its teardown checks the callback
// contract), then the service, then what the handlers saw.
class Companion : public ::testing::Test {
protected:
    void Serve() {
        service.SetResponder([this](CTestPipeServer& s, size_t client, const Bytes& frame) { script.Answer(s, client, frame); });
        ASSERT_TRUE(service.Start()) << "the service's pipe is not served";
    }
    // Ends the session; how long its destructor took, in ms.
    ULONGLONG End() {
        const ULONGLONG start = Now();
        session.reset();
        return Now() - start;
    }

    testkit::Watchdog dog{::testing::UnitTest::GetInstance()->current_test_info()->name(), 60000};
    Seen seen;
    Script script;
    CTestPipeServer service;
    std::optional<zksnd::Session> session{std::in_place, seen.Handlers()};
};

// One session at a time; without a connection no call waits; a service that
// answers nothing lets a list wait only its time. Then a list cut by the
// connection's end: callback 6 ends the wait, not the time, and the cut list
// reaches nobody; WaitConnected from the 6's handler does not wait (the next 8
// waits for that handler). Last, a call waiting on another thread as the session is
// destroyed is released (RequestFailed), not left waiting on a destroyed session.
TEST_F(Companion, NoCallWaitsForAConnectionAnAnswerACutListOrADestroyedSession) {
    EXPECT_THROW(zksnd::Session second, std::logic_error) << "a second Session beside the first";
    const ULONGLONG start = Now();
    EXPECT_EQ(zksnd::ListEnd::NotConnected, session->Devices(seconds(10)).end) << "Devices";
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session->Settings().status) << "Settings";
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session->SetDefault(0).status) << "SetDefault";
    EXPECT_LT(Now() - start, 1500u) << "the three calls' time";
    bool connected = false;  // a wait "for ever" lasts until the connection
    zk_testkit::Background forever([&] { connected = session->WaitConnected(milliseconds::max()); });
    EXPECT_FALSE(forever.Finished(300)) << "a wait for ever ended at once";
    Serve();  // answers nothing
    ASSERT_TRUE(seen.Reach(seen.connected, 1)) << "not connected";
    ASSERT_TRUE(forever.Finished(20000)) << "the wait for ever outlived the connection";
    EXPECT_TRUE(connected) << "the wait for ever's answer";
    script.onList = {Notice(false)};  // the request came; no list follows
    EXPECT_EQ(zksnd::ListEnd::TimedOut, session->Devices(milliseconds(1500)).end) << "Devices without an answer";
    ASSERT_TRUE(seen.Reach(seen.infos, 1)) << "the request did not reach the service";
    // Read by the service's thread only when the next request comes. The timed-out request is
    // answered late, before this one's list: nobody's answer (the handler gets it).
    script.onList = {Device(9, u"late"), Notice(true), Device(0, u"A"), Notice(true)};
    EXPECT_EQ(std::vector<std::wstring>{L"A"}, Names(session->Devices(seconds(30)).devices)) << "not the late answer";
    ASSERT_TRUE(seen.Reach(seen.lists, 1)) << "the late answer did not reach the handler";
    script.onList = {Device(0, u"A"), Device(1, u"B")};  // then a list the connection's end cuts
    script.endAfterList = true;
    ULONGLONG lostWaitMs = 0;
    seen.inLost = [&] {
        const ULONGLONG begun = Now();
        EXPECT_FALSE(session->WaitConnected(seconds(10))) << "connected inside the 6";
        lostWaitMs = Now() - begun;
        ::Sleep(2000);  // a slow handler, past the library's reconnect pause: its next 8 waits (the monitor checks)
    };
    const ULONGLONG asked = Now();
    const zksnd::DeviceList list = session->Devices(seconds(30));
    EXPECT_EQ(zksnd::ListEnd::ConnectionLost, list.end) << list.Message();
    EXPECT_TRUE(list.devices.empty()) << "devices of a cut list";
    EXPECT_LT(Now() - asked, 15000u) << "the call's time";
    EXPECT_EQ(1, seen.observed.Get(seen.lists)) << "the cut list reached the handler";
    ASSERT_TRUE(seen.Reach(seen.lost, 1)) << "no 6";
    EXPECT_LT(lostWaitMs, 1000u) << "WaitConnected from the 6's handler waited";

    script.onList = {Notice(false)};
    script.endAfterList = false;
    ASSERT_TRUE(session->WaitConnected(seconds(20))) << "not connected again";
    zksnd::DeviceList waiting;
    zk_testkit::Background call([&] { waiting = session->Devices(seconds(30)); });
    ASSERT_TRUE(seen.Reach(seen.infos, 2)) << "the request did not reach the service";
    EXPECT_LT(End(), 10000u) << "the destructor's time";
    ASSERT_TRUE(call.Finished(10000)) << "the call outlived the session";
    EXPECT_EQ(zksnd::ListEnd::RequestFailed, waiting.end) << waiting.Message();
}

// The library answers a call 20 as soon as the connection is gone; its 6 comes
// later (here: once the 8's handler returns). The session takes the 20 for the
// end: WaitConnected() waits for the next connection instead of returning at once.
// A 20 the service answers a settings call with leaves the connection up.
TEST_F(Companion, ACallAnsweredNotConnectedEndsTheConnectionBeforeItsSix) {
    bool release = false;
    seen.inConnected = [&] { seen.observed.WaitFor([&] { return release; }, 20000); };
    Serve();
    ASSERT_TRUE(seen.Reach(seen.connected, 1)) << "not connected";
    ASSERT_TRUE(service.CloseClient(0)) << "the service did not end the connection";
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session->SetDefault(0).status) << "SetDefault on an ended connection";
    EXPECT_FALSE(session->WaitConnected(milliseconds(300))) << "connected after a 20";
    EXPECT_EQ(0, seen.observed.Get(seen.lost)) << "the 6 came before the 8's handler returned";
    seen.observed.Note([&] { release = true; });
    EXPECT_TRUE(session->WaitConnected(seconds(20))) << "not connected again";
    EXPECT_EQ(1, seen.observed.Get(seen.lost)) << "the next 8 without a 6";
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session->Settings().status) << "the service's answer";
    EXPECT_TRUE(session->WaitConnected(milliseconds(0))) << "the service's 20 ended the connection";
}

// A list already arriving when the call began goes to the handler, and the
// call takes the next one. Code 9 follows the unasked record on the delivery
// thread: once 9 is in, that record is too. Devices() from the handler of 9
// returns at once: its answer would wait for that handler.
TEST_F(Companion, AListAlreadyArrivingGoesToTheHandler) {
    zksnd::DeviceList fromHandler;
    ULONGLONG handlerMs = 0;
    seen.inServerInfo = [&] {
        const ULONGLONG begun = Now();
        fromHandler = session->Devices(seconds(10));
        handlerMs = Now() - begun;
    };
    script.onSessionId = {Device(9, u"unasked"), Notice(false)};
    script.onList = {Device(10, u"unasked 2"), Notice(true), Device(0, u"A"), Device(1, u"B"), Notice(true)};
    Serve();
    ASSERT_TRUE(seen.Reach(seen.infos, 1)) << "no server information";
    EXPECT_EQ(zksnd::ListEnd::RequestFailed, fromHandler.end) << fromHandler.Message();
    EXPECT_EQ(ZKSND_STATUS_NOT_READY, fromHandler.status) << "Devices() from a handler";
    EXPECT_LT(handlerMs, 1000u) << "Devices() from a handler waited";
    const zksnd::DeviceList list = session->Devices(seconds(20));
    ASSERT_EQ(zksnd::ListEnd::Complete, list.end) << list.Message();
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), Names(list.devices)) << "the list the call returned";
    ASSERT_TRUE(seen.Reach(seen.lists, 1)) << "no list reached the handler";
    const auto unasked = seen.observed.Get(seen.unasked);
    ASSERT_EQ(1u, unasked.size()) << "lists the handler got";
    EXPECT_EQ((std::vector<std::wstring>{L"unasked", L"unasked 2"}), Names(unasked[0])) << "the handler's list";
}

// The program's own imports (the header's code is compiled into it) fail on request.
// The session's locks take no memory: std::mutex under MinGW allocates on its
// first lock, and one that cannot never returns (a destructor that hung). Nor
// does keeping which threads run a handler: under MinGW GCC a thread_local is
// emulated, and its first use on a thread callocs (and aborts when that
// fails); the first connection's 8 comes inside the constructor, on a new
// thread whose first calloc fails. Under clang (native TLS) this checks the
// same promise.
// Then a record the session has no memory to keep fails its list instead of
// shortening it: the answer ends RequestFailed (NO_MEMORY), an unasked list
// reaches no handler, and the next list is whole. A 9 before a list fails the
// delivery thread's third malloc after it: the second record's name.
TEST_F(Companion, WithoutMemoryTheSessionEndsAndConnectsAndARecordFailsItsList) {
    static const auto unknown = testkit::InstallImportFaults(::GetModuleHandleW(nullptr));
    testkit::FailNthCall("malloc", 1, ::GetCurrentThreadId());  // the session never connected: nothing locked yet
    EXPECT_LT(End(), 10000u) << "the destructor's time without memory";
    testkit::StopFailing();
    Serve();
    std::thread([&] {
        testkit::FailNthCall("calloc", 1, ::GetCurrentThreadId());
        session.emplace(zksnd::Handlers());
        testkit::StopFailing();
    }).join();
    EXPECT_TRUE(session->WaitConnected(seconds(5))) << "the connection was not seen";
    EXPECT_LT(End(), 10000u) << "the destructor's time";

    std::atomic<int> nines{0}, lists{0};
    zksnd::Handlers handlers;
    handlers.serverInfo = [&](const uint8_t*) {  // the 1st before the unasked list, the 2nd after it
        const int nine = ++nines;
        if (nine == 1 || nine == 3) testkit::FailNthCall("malloc", 3, ::GetCurrentThreadId());
        if (nine == 2) seen.Count(&seen.infos);
    };
    handlers.deviceList = [&](const std::vector<zksnd::Device>&) { ++lists; };
    script.onSessionId = {Notice(false), Device(0, u"unasked one"), Device(1, u"unasked two"), Notice(true), Notice(false)};
    script.onList = {Notice(false), Device(2, u"first device"), Device(3, u"second device"), Notice(true)};
    session.emplace(handlers);
    ASSERT_TRUE(seen.Reach(seen.infos, 1)) << "the unasked list did not come";
    EXPECT_EQ(0, lists.load()) << "the unasked list, short of a record, reached the handler";
    const zksnd::DeviceList failed = session->Devices(seconds(20));
    EXPECT_TRUE(testkit::ArmedCallFailed()) << "no allocation failed";
    EXPECT_EQ(zksnd::ListEnd::RequestFailed, failed.end) << failed.Message();
    EXPECT_EQ(ZKSND_STATUS_NO_MEMORY, failed.status) << "the failed list's status";
    const zksnd::DeviceList whole = session->Devices(seconds(20));
    EXPECT_EQ((std::vector<std::wstring>{L"first device", L"second device"}), Names(whole.devices)) << whole.Message();
    testkit::StopFailing();
    End();  // before the counters its handlers use
}

}  // namespace
