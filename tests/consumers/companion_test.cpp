// The C++ companion header (zksndapi.hpp) linked as an application links it, against a service whose
// lists the test scripts, and tessaline-emu's outages (--fault down:SECONDS, --signal NAME down SECONDS).
// Both serve the service's own pipe: this program never runs beside another that does.

#include <windows.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Holders.h"
#include "support/Watchdog.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/PipeServer.h"
#include "virt/api/SndServiceMessages.h"
#include "virt/api/zksndapi.hpp"

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
    ULONGLONG lastConnected = 0, lastLost = 0;
    std::vector<std::vector<zksnd::Device>> unasked;

    zksnd::Handlers Handlers() {
        zksnd::Handlers h;
        h.connected = [this] { Count(&connected, &lastConnected); };
        h.connectionLost = [this](uint32_t) { Count(&lost, &lastLost); };
        h.serverInfo = [this](const uint8_t*) { Count(&infos, nullptr); };
        h.deviceList = [this](const std::vector<zksnd::Device>& devices) {
            std::lock_guard<std::mutex> hold(lock);
            unasked.push_back(devices);
            ++lists;
            changed.notify_all();
        };
        return h;
    }
    void Count(int* counter, ULONGLONG* when) {
        std::lock_guard<std::mutex> hold(lock);
        ++*counter;
        if (when != nullptr) *when = Now();
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

// Devices(timeout) in each way a call can end, on one Session: no connection, a list that was
// already arriving when the call began (it goes to the handler, the call takes the next one), a
// list cut by the connection's end, and no answer at all.
TEST(Companion, DevicesReturnsTheWholeListOrSaysWhy) {
    Watchdog dog("Devices scenarios", 180000);
    Seen seen;
    zksnd::Session session(seen.Handlers());
    EXPECT_THROW(zksnd::Session second, std::logic_error);

    ULONGLONG start = Now();
    EXPECT_EQ(zksnd::ListEnd::NotConnected, session.Devices(seconds(10)).end);
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session.Settings().status);
    EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, session.SetDefault(0).status);
    EXPECT_LT(Now() - start, 1500u) << "without a connection nothing waits";

    // Code 9 follows the unasked record on the delivery thread: once 9 is in, that record is too.
    Script unasked;
    unasked.onSessionId = {Device(9, u"unasked"), Notice(false)};
    unasked.onList = {Device(10, u"unasked 2"), Notice(true), Device(0, u"A"), Device(1, u"B"), Notice(true)};
    Script cut;
    cut.onList = {Device(0, u"A"), Device(1, u"B")};
    cut.endAfterList = true;
    Script silent;

    {
        auto server = Serve(unasked);
        ASSERT_TRUE(seen.Reach(seen.infos, 1));
        const zksnd::DeviceList list = session.Devices(seconds(20));
        ASSERT_EQ(zksnd::ListEnd::Complete, list.end) << list.Message();
        EXPECT_EQ((std::vector<std::wstring>{L"A", L"B"}), Names(list.devices));
        ASSERT_TRUE(seen.Reach(seen.lists, 1));
        std::lock_guard<std::mutex> hold(seen.lock);
        ASSERT_EQ(1u, seen.unasked.size());
        EXPECT_EQ((std::vector<std::wstring>{L"unasked", L"unasked 2"}), Names(seen.unasked[0]));
    }
    ASSERT_TRUE(seen.Reach(seen.lost, 1));
    {
        auto server = Serve(cut);
        ASSERT_TRUE(seen.Reach(seen.connected, 2));
        start = Now();
        const zksnd::DeviceList list = session.Devices(seconds(30));
        EXPECT_EQ(zksnd::ListEnd::ConnectionLost, list.end) << list.Message();
        EXPECT_EQ(ZKSND_STATUS_NOT_CONNECTED, list.status);
        EXPECT_TRUE(list.devices.empty());
        EXPECT_LT(Now() - start, 15000u) << "the 6 ends the wait, not the time";
        ASSERT_TRUE(seen.Reach(seen.lost, 2));
    }
    {
        auto server = Serve(silent);
        ASSERT_TRUE(seen.Reach(seen.connected, 3));
        EXPECT_EQ(zksnd::ListEnd::TimedOut, session.Devices(milliseconds(1500)).end);
    }
    std::lock_guard<std::mutex> hold(seen.lock);
    EXPECT_EQ(1u, seen.unasked.size()) << "no cut or late list reached the handler";
}

// tessaline-emu.exe (beside this program) started with the arguments.
struct EmuProcess {
    explicit EmuProcess(const std::wstring& args) {
        std::wstring line = L"tessaline-emu.exe " + args;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (!::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) return;
        process.reset(info.hProcess);
        CHandleHolder thread(info.hThread);
    }
    // Its exit code, or -1 when it did not start or end in time.
    int Wait() {
        DWORD code = 0;
        const bool ended = process.is_valid() && ::WaitForSingleObject(process.get(), 60000) == WAIT_OBJECT_0;
        return ended && ::GetExitCodeProcess(process.get(), &code) ? static_cast<int>(code) : -1;
    }
    CHandleHolder process;
};

// An outage of the service, from --fault down:3 after the first greeting and from the control command:
// the application sees 6, no connection for about the outage's length, then 8 and a whole service.
TEST(Companion, EmulatorOutagesEndAndTheServiceReturns) {
    Watchdog dog("emulator outages", 180000);
    const std::wstring control = L"zkdown-" + std::to_wstring(::GetCurrentProcessId());
    EmuProcess emu(L"--fault down:3 --quiet --exit-after 150 --control " + control);
    ASSERT_TRUE(emu.process.is_valid());
    Seen seen;
    {
        zksnd::Session session(seen.Handlers());
        for (int outage = 1; outage <= 2; ++outage) {
            SCOPED_TRACE(outage == 1 ? "--fault down:3" : "--signal NAME down 3");
            if (outage == 2) { EXPECT_EQ(0, EmuProcess(L"--signal " + control + L" down 3").Wait()); }
            ASSERT_TRUE(seen.Reach(seen.lost, outage));
            ASSERT_TRUE(seen.Reach(seen.connected, outage + 1));
            std::lock_guard<std::mutex> hold(seen.lock);
            // Lower bound only: load makes an outage look longer, never shorter.
            EXPECT_GE(seen.lastConnected - seen.lastLost, 2000u);
        }
        EXPECT_EQ(zksnd::ListEnd::Complete, session.Devices(seconds(20)).end);
    }
    EXPECT_EQ(0, EmuProcess(L"--signal " + control + L" stop").Wait());
    EXPECT_EQ(0, emu.Wait());
}

}  // namespace
