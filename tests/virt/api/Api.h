// zksndapi.dll loaded with LoadLibraryW and its eight exports resolved with
// GetProcAddress, as an application would use it.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/ContractMonitor.h"
#include "support/HostileService.h"
#include "support/Holders.h"
#include "support/Observed.h"
#include "support/Watchdog.h"

#include "virt/api/zksndapi.h"

// GetProcAddress's generic pointer, cast through void* to the export's type.
template <class T>
T Proc(HMODULE dll, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
}

// The contract monitor of every scenario: Init and the teardowns below go through it.
using zk_testkit::Monitor;

struct Api {
    HMODULE dll = ::LoadLibraryW(L"zksndapi.dll");
    zk_testkit::MonitoredInit Init{Proc<PFN_ZkSndVApiInit>(dll, "ZkSndVApiInit"), {}, {}};
    zk_testkit::MonitoredTeardown CleanUp{Proc<PFN_ZkSndVoid>(dll, "ZkSndVCleanUp")};
    PFN_ZkSndVoid GetDeviceList = Proc<PFN_ZkSndVoid>(dll, "ZkSndVGetDeviceList");
    zk_testkit::MonitoredTeardown DeInit{Proc<PFN_ZkSndVoid>(dll, "ZkSndDeInit")};
    PFN_ZkSndSetDefault SetDefault = Proc<PFN_ZkSndSetDefault>(dll, "ZkSndSetDefault");
    PFN_ZkSndGetSettings GetSettings = Proc<PFN_ZkSndGetSettings>(dll, "ZkSndGetSettings");
    PFN_ZkSndSetSettings SetSettings = Proc<PFN_ZkSndSetSettings>(dll, "ZkSndSetSettings");
    PFN_ZkSndVoid IsLocked = Proc<PFN_ZkSndVoid>(dll, "ZkConfigIsLocked");
    bool Complete() const { return Init.fn && CleanUp.fn && GetDeviceList && DeInit.fn && SetDefault && GetSettings && SetSettings && IsLocked; }
};

// The one loaded copy, shared by every test of the program.
inline Api& Dll() { static Api api; return api; }

inline ULONGLONG Now() { return ::GetTickCount64(); }

// The call's status; a failure when the call took longer than limitMs.
template <class Call>
uint32_t Within(ULONGLONG limitMs, const std::string& what, Call call) {
    const ULONGLONG start = Now();
    const uint32_t status = call();
    EXPECT_LE(Now() - start, limitMs) << what << "'s time";
    return status;
}

// ZkSndDeInit returns 0 within limitMs (also writing the log out); the
// contract monitor checks the 8 and 6 the scenario got.
inline void ExpectTeardown(ULONGLONG limitMs = 3000) {
    EXPECT_EQ(0u, Within(limitMs, "ZkSndDeInit", [] { return Dll().DeInit(); })) << "ZkSndDeInit's status";
}

// A test of the loaded library, torn down after each test, and the emulated
// service it serves (which outlives the test's own callbacks' recorder).
class DllTest : public ::testing::Test {
protected:
    // Every scenario's bound, the teardown after it included (90 s: the storms and the 3000 lists).
    testkit::Watchdog dog{::testing::UnitTest::GetInstance()->current_test_info()->name(), 90000};
    std::optional<zk_testkit::CHostileService> service;
    // Serves the service's pipe with that fault (the hostile-service kit's); a fatal failure when it cannot.
    void Serve(zk_testkit::EmuFault fault = zk_testkit::EmuFault::kNone, bool busyOnlyInstance = false) {
        service.emplace(fault, busyOnlyInstance);
        ASSERT_TRUE(service->Start()) << "the service's pipe could not be served";
    }
    void SetUp() override { ASSERT_TRUE(Dll().Complete()) << "zksndapi.dll did not load or lacks an export"; }
    // The contract held through the scenario, its teardown included.
    void TearDown() override {
        Dll().DeInit();
        for (const std::string& broken : Monitor().Reset()) ADD_FAILURE() << "callback contract: " << broken;
    }
};

// One callback, with the thread it ran on (devName and def for 300, copied
// during the call). Code 0 marks a teardown.
struct Notice {
    uint32_t code; uintptr_t param; void* context; DWORD thread;
    std::wstring devName = L""; uint32_t def = 0;
};

// Everything a callback was told, waited on by the test.
struct Notices {
    zk_testkit::CObserved observed;
    std::vector<Notice> notices;  // under observed

    void Record(uint32_t code, uintptr_t param, void* context) {
        Notice n{code, param, context, ::GetCurrentThreadId()};
        if (code == ZKSND_NOTIFY_DEVICE_INFO) {
            const auto* device = reinterpret_cast<const SndDeviceInfo*>(param);
            n.devName = device->devName;
            n.def = device->def;
        }
        Add(n);
    }
    void Add(const Notice& n) { observed.Note([&] { notices.push_back(n); }); }
    void Touch() { observed.Note([] {}); }  // a waiter looks again
    std::vector<Notice> Snapshot() { return observed.Get(notices); }
    static size_t CountOf(const std::vector<Notice>& v, uint32_t code) {
        return size_t(std::count_if(v.begin(), v.end(), [code](const Notice& n) { return n.code == code; }));
    }
    size_t Count(uint32_t code) { return CountOf(Snapshot(), code); }
    bool WaitForCount(uint32_t code, size_t count, DWORD ms = 5000) {
        return WaitUntil([&] { return CountOf(notices, code) >= count; }, ms);
    }
    // done is looked at under the lock, whenever a callback is recorded or Touch is called.
    bool WaitUntil(const std::function<bool()>& done, DWORD ms = 5000) { return observed.WaitFor(done, ms); }
};

// The exports' callback recorded; on request it tears the library down from
// inside a chosen code (and initialises it again there), and runs inside in
// every callback.
struct Recorder : Notices {
    static inline Recorder* current = nullptr;
    std::atomic<uint32_t> teardownOn{0};  // call teardown from inside this code, once
    std::atomic<bool> withDeInit{true};   // ZkSndDeInit, else ZkSndVCleanUp
    std::atomic<bool> initAfter{false};   // then ZkSndVApiInit there
    std::atomic<int> initResult{-1};
    std::atomic<ULONGLONG> teardownMs{0};
    std::function<void(uint32_t code)> inside;  // set before Init; last, so it may throw

    Recorder() { current = this; }
    // The library is torn down before the state its callback uses: a test that
    // returns early (a failed ASSERT) or declares its service after the
    // recorder still gets no callback into a dead recorder.
    ~Recorder() { Dll().DeInit(); current = nullptr; }
    static void Callback(uint32_t code, uintptr_t param, void* context) {
        Recorder& r = *current;
        r.Record(code, param, context);
        if (uint32_t want = code; r.teardownOn.compare_exchange_strong(want, 0)) {
            ULONGLONG start = ::GetTickCount64();
            r.withDeInit ? Dll().DeInit() : Dll().CleanUp();
            r.teardownMs = ::GetTickCount64() - start;
            r.Add(Notice{0, 0, nullptr, 0});  // the connection it ended gets no 6
            if (r.initAfter) {
                r.initResult = int(Dll().Init(&Recorder::Callback, nullptr));
                r.Touch();
            }
        }
        if (r.inside) r.inside(code);
    }
};
