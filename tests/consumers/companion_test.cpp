// The C++ companion header (zksndapi.hpp) linked as an application links it, against a service whose
// lists the test scripts. It serves the service's own pipe: this program never runs beside another that does.

#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <stdexcept>
#include <mutex>
#include <string>
#include <vector>

#include "support/ContractMonitor.h"
#include "support/Watchdog.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/PipeServer.h"
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
using tessaline_emu::CPipeSession;
using Bytes = std::vector<uint8_t>;

ULONGLONG Now() { return ::GetTickCount64(); }

using testkit::Watchdog;

// The service's notifications: a device record, the list's end, the server information.
Bytes Device(uint32_t id, const std::u16string& name) {
    Bytes m(SndDeviceInfoSize(name.size()));
    m.resize(SndBuildDeviceInfo(m.data(), m.size(), id, 0, 1, 0, name.c_str(), name.size()));
    return m;
}
Bytes Notice(bool listEnd) {
    Bytes m(SndNotificationSize(4));
    m.resize(listEnd ? SndBuildLastDeviceInfo(m.data(), m.size()) : SndBuildServerInfo(m.data(), m.size(), "\1\0\0", 4));
    return m;
}

// The service's side: what goes out on connecting and for each device-list request.
struct Script {
    std::vector<Bytes> onSessionId, onList;
    bool endAfterList = false;  // break the connection after the list's messages
};

class ScriptedService : public tessaline_emu::IPipeConnectionHandler {
public:
    explicit ScriptedService(const Script& script) : m_script(script) {}
    bool OnConnected(CPipeSession&) override { return true; }
    bool OnMessage(CPipeSession& session, const uint8_t* message, uint32_t length) override {
        SndDecodedRequest request;
        SndDecodeRequest(message, length, request);
        if (!request.valid) return true;
        // After the session id the client has announced the connection (8).
        if (request.command == nCmdSetSessionId) return Send(session, m_script.onSessionId);
        if (request.command != nCmdGetDeviceList) return true;
        return Send(session, m_script.onList) && !m_script.endAfterList;
    }

private:
    static bool Send(CPipeSession& session, const std::vector<Bytes>& messages) {
        for (const Bytes& m : messages)
            if (!session.SendMessage(m.data(), m.size())) return false;
        return true;
    }
    const Script& m_script;
};

std::unique_ptr<tessaline_emu::CPipeServer> Serve(const Script& script) {
    tessaline_emu::PipeServerConfig config;
    config.name = tessaline_emu::kServicePipeName;
    std::unique_ptr<tessaline_emu::CPipeServer> server(new tessaline_emu::CPipeServer(
        config, [&script](const std::shared_ptr<CPipeSession>&) {
            return std::unique_ptr<tessaline_emu::IPipeConnectionHandler>(new ScriptedService(script));
        }));
    EXPECT_EQ(0u, server->Start());
    return server;
}

// What the handlers saw, for waiting on.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    int connected = 0, lost = 0, infos = 0, lists = 0;
    std::vector<std::vector<zksnd::Device>> unasked;

    zksnd::Handlers Handlers() {
        zksnd::Handlers h;
        h.connected = [this] { Count(&connected); };
        h.connectionLost = [this](uint32_t) { Count(&lost); };
        h.serverInfo = [this](const uint8_t*) { Count(&infos); };
        h.deviceList = [this](const std::vector<zksnd::Device>& devices) {
            std::lock_guard<std::mutex> hold(lock);
            unasked.push_back(devices);
            ++lists;
            changed.notify_all();
        };
        return h;
    }
    void Count(int* counter) {
        std::lock_guard<std::mutex> hold(lock);
        ++*counter;
        changed.notify_all();
    }
    // Waits until `counter` reaches `value` (generously: reconnecting takes about a second).
    bool Reach(const int& counter, int value, seconds limit = seconds(20)) {
        std::unique_lock<std::mutex> hold(lock);
        return changed.wait_for(hold, limit, [&] { return counter >= value; });
    }
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
    Watchdog dog{::testing::UnitTest::GetInstance()->current_test_info()->name(), 60000};
    Seen seen;
    Script script;
    std::unique_ptr<tessaline_emu::CPipeServer> server;
    zksnd::Session session{seen.Handlers()};
};

// One session at a time; without a connection no call waits; a service that
// answers nothing lets a list wait only its time.
TEST_F(Companion, WithoutAConnectionNothingWaitsAndWithoutAnAnswerTheWaitEnds) {
    EXPECT_THROW(zksnd::Session second, std::logic_error) << "a second Session beside the first";
    const ULONGLONG start = Now();
    EXPECT_EQ(zksnd::ListEnd::NotConnected, session.Devices(seconds(10)).end) << "Devices";
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session.Settings().status) << "Settings";
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session.SetDefault(0).status) << "SetDefault";
    EXPECT_LT(Now() - start, 1500u) << "the three calls' time";
    server = Serve(script);  // answers nothing
    ASSERT_TRUE(seen.Reach(seen.connected, 1)) << "not connected";
    EXPECT_EQ(zksnd::ListEnd::TimedOut, session.Devices(milliseconds(1500)).end) << "Devices without an answer";
}

// A list already arriving when the call began goes to the handler, and the
// call takes the next one. Code 9 follows the unasked record on the delivery
// thread: once 9 is in, that record is too.
TEST_F(Companion, AListAlreadyArrivingGoesToTheHandler) {
    script.onSessionId = {Device(9, u"unasked"), Notice(false)};
    script.onList = {Device(10, u"unasked 2"), Notice(true), Device(0, u"A"), Device(1, u"B"), Notice(true)};
    server = Serve(script);
    ASSERT_TRUE(seen.Reach(seen.infos, 1)) << "no server information";
    const zksnd::DeviceList list = session.Devices(seconds(20));
    ASSERT_EQ(zksnd::ListEnd::Complete, list.end) << list.Message();
    EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), Names(list.devices)) << "the list the call returned";
    ASSERT_TRUE(seen.Reach(seen.lists, 1)) << "no list reached the handler";
    std::lock_guard<std::mutex> hold(seen.lock);
    ASSERT_EQ(1u, seen.unasked.size()) << "lists the handler got";
    EXPECT_EQ((std::vector<std::wstring>{L"unasked", L"unasked 2"}), Names(seen.unasked[0])) << "the handler's list";
}

// A list cut by the connection's end: callback 6 ends the wait, not the time,
// and the cut list reaches nobody.
TEST_F(Companion, AListCutByTheConnectionsEndSaysSo) {
    script.onList = {Device(0, u"A"), Device(1, u"B")};
    script.endAfterList = true;
    server = Serve(script);
    ASSERT_TRUE(seen.Reach(seen.connected, 1)) << "not connected";
    const ULONGLONG start = Now();
    const zksnd::DeviceList list = session.Devices(seconds(30));
    EXPECT_EQ(zksnd::ListEnd::ConnectionLost, list.end) << list.Message();
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, list.status) << "the list's status";
    EXPECT_TRUE(list.devices.empty()) << "devices of a cut list";
    EXPECT_LT(Now() - start, 15000u) << "the call's time";
    std::lock_guard<std::mutex> hold(seen.lock);
    EXPECT_TRUE(seen.unasked.empty()) << "the cut list reached the handler";
}

}  // namespace
