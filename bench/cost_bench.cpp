// What the library costs the process it lives in, while it does nothing and
// per unit of work, each against a raw overlapped client in the same run on
// the same in-process server:
// - wake-ups and CPU over idle windows (10 s by default): a bare connected raw
//   client (the baseline); the library connected at LogLevel 0; connected at
//   LogLevel 3 just after a burst of lines; the service absent;
// - the threads and the committed private memory ZkSndVApiInit adds,
//   connected and absent, against what opening the raw client adds;
// - CPU per device record (delivered through the callback) against the raw
//   client reading what has arrived in one read, the list sent in one write so
//   that the server's share is small; CPU per ZkSndGetSettings round trip
//   against the raw ping-pong, and per ZkSndSetDefault one-way call against
//   raw writes of the same frame (each window ends when the server has read
//   them all; the server holds its reads while the calls are made, so that
//   it reads every client's frames in bulk, at the same cost).
// - the same two, side by side: the raw client and the library at work at
//   the same time on threads of their own, each with its own connection, so
//   that whatever load comes and goes on the machine weighs on both alike.
//   The script counts the CPU of the raw client's thread and of its
//   connection's server thread apart from the rest of the process; all the
//   rest but the main thread (which only waits) is charged to the library.
//   These windows cannot split the wineserver's share between the two; the
//   alternating windows above count it. The process is held to one CPU
//   meanwhile, and the same windows with a raw client in the library's place
//   show what the method itself tells apart two equal clients by.
//
// Method: wake-ups (voluntary context switches, per thread, from
// /proc/<pid>/task/*/status; a preempted thread did not sleep) and CPU (/proc/<pid>/task/*/schedstat) of this
// Wine process and of the prefix's wineserver are counted by scripts/bench.sh,
// from outside: this program marks each window on stdout and blocks on stdin
// until the script has taken its snapshot (see SamplerAttached in the kit).
// The script prints those rows; this program prints the thread and memory rows.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/kit/BenchKit.h"
#include "support/WorkerThread.h"
#include "virt/api/SndProtocol.h"

using namespace zkbench;

namespace {

const uint32_t kDevices = 2000;
const uint32_t kListsPerWindow = 8;  // about 40 ms of the library's work: a 10 ms window swung 0.5x to 3x
const uint32_t kRoundTripsPerWindow = 200;
const uint32_t kOneWaysPerWindow = 200;  // 1.6 MB: within the send queue's cap
const uint32_t kBurstLines = 1000;
const uint32_t kBurstChunk = 20;  // calls back to back, within the send queue's spare buffers
// Raw and library windows alternate, in the order raw-lib, lib-raw, raw-lib,
// ..., so that load and drift over the run hit both alike. A window's CPU
// swings by a third on a shared machine: scripts/bench.sh takes the median
// of the pairs' ratios, which needs many short pairs more than long ones.
const int kWorkRounds = 20;
const int kRecordRounds = 12;
const int kSideWindows = 40;  // of each kind: the verdict is their median ratio
// 200 frames of 8 KB from each of two clients, held in the pipes while the server holds its reads.
const DWORD kHeldPipeBuffer = 4 * 1024 * 1024;
const DWORD kSettleMs = 500;    // after a start or a burst, before an idle window
// After a burst at LogLevel 3: the file's idle close, 2 s after the last line,
// is the last work the lines scheduled; the idle window starts after it.
const DWORD kIdleCloseSettleMs = 3000;
const DWORD kAbsentSettleMs = 1500;  // a first failed attempt and its retry schedule

struct Added {
    double threads = 0;
    double committedMiB = 0;
};

Added Between(const Footprint& before, const Footprint& after) {
    return {double(after.threads) - double(before.threads), after.committedMiB - before.committedMiB};
}

// The whole list through the raw client, every record decoded; false on a fault.
bool RawList(CRawClient& raw, const std::vector<uint8_t>& request) {
    std::vector<uint8_t> message;
    uint32_t devices = 0;
    if (!raw.WriteFrame(request.data(), uint32_t(request.size()))) return false;
    for (;;) {
        if (!raw.ReadFrame(&message)) return false;
        SndDecodedMsg msg;
        SndDecodeMessage(message.data(), message.size(), msg);
        if (msg.event == eZkSndRdpVDeviceInfo && msg.device.state == SndDeviceRecordState::Complete) ++devices;
        if (msg.event == eZkSndRdpVLastDeviceInfo) return devices == kDevices;
    }
}

bool LibraryList(const CApi& api, CNotifyLog& notes) {
    notes.Reset();
    return api.GetDeviceList() == ZKSND_STATUS_OK && notes.WaitFor(ZKSND_NOTIFY_DEVICE_LIST_END, 1, 60000) >= 0 &&
           notes.Count(ZKSND_NOTIFY_DEVICE_INFO) == kDevices;
}

// Window w of a pair of rounds goes to the raw client: raw-lib, then lib-raw.
bool RawTurn(int w) { return (w % 4 == 0) || (w % 4 == 3); }

bool RawRoundTrip(CRawClient& raw, uint32_t requestId) {
    thread_local std::vector<uint8_t> reply;
    const std::vector<uint8_t> request = GetSettingsRequest(requestId);
    return raw.WriteFrame(request.data(), uint32_t(request.size())) && raw.ReadFrame(&reply) &&
           reply.size() == kSndSettingsReplySize;
}

// One window of kOneWaysPerWindow ZkSndSetDefault calls, through the library
// or as raw writes, ended when the server has read them; the calls that failed.
uint32_t OneWayWindow(const char* key, const CApi* api, CRawClient& raw, CServiceServer& server) {
    static const std::vector<uint8_t> frame = SetDefaultRequest(2);
    uint32_t failures = 0;
    const uint64_t expected = server.Received(nCmdSetDefaultDevice) + kOneWaysPerWindow;
    failures += !server.HoldReads(10000);
    WorkBegin(key, kOneWaysPerWindow, "call");
    for (uint32_t i = 0; i < kOneWaysPerWindow; ++i)
        failures += api != nullptr ? api->SetDefault(2) != ZKSND_STATUS_OK : !raw.WriteFrame(frame.data(), uint32_t(frame.size()));
    server.ReleaseReads();
    failures += !server.WaitReceived(nCmdSetDefaultDevice, expected, 10000);
    WorkEnd(key);
    return failures;
}

// Two clients at work at once, each on a thread of its own: a second raw
// client, on a connection of its own, and the library. A window's CPU of the
// two is counted apart (see scripts/bench.sh): the raw thread and its
// connection's server thread, against the rest of the process but the main
// thread, which only waits; and each calling thread against the other.
// Whatever disturbs the machine in a window disturbs both alike.
// Calibrated, a third raw client takes the library's place: the method's own
// bias, which a verdict within a per cent must not hide.
class CSideBySide {
public:
    enum Job { kRoundTrips, kOneWays };

    CSideBySide(const CApi& api, bool calibrated) : m_api(api), m_calibrated(calibrated) {}
    ~CSideBySide() { Stop(); }
    CSideBySide(const CSideBySide&) = delete;
    CSideBySide& operator=(const CSideBySide&) = delete;

    // Both threads waiting for work, the raw one connected. Each calling
    // thread is born in a group of its own ("rawcaller", "libcaller"), before
    // it opens anything, so that the script can tell it from the threads of
    // its side; the raw connection's server thread is born in "raw".
    bool Start() {
        GroupBegin("rawcaller");
        bool started = m_raw.Begin(this, &CSideBySide::RawMain);
        GroupEnd("rawcaller");
        GroupBegin("raw");
        started = started && m_raw.Ready();
        GroupEnd("raw");
        GroupBegin("libcaller");
        started = started && m_lib.Begin(this, &CSideBySide::LibMain);
        GroupEnd("libcaller");
        return started && m_lib.Ready();
    }

    // `calls` of the job on both at once, one of them told first; the calls that failed.
    uint32_t Run(Job job, uint32_t calls, bool rawFirst) {
        m_job = job;
        m_calls = calls;
        m_raw.failures = m_lib.failures = 0;
        ::SetEvent(rawFirst ? m_raw.go.get() : m_lib.go.get());
        ::SetEvent(rawFirst ? m_lib.go.get() : m_raw.go.get());
        const uint32_t failures = !m_raw.Await(60000) + !m_lib.Await(60000);
        return failures + m_raw.failures + m_lib.failures;
    }

private:
    struct Worker {
        CHandleHolder go{lumlib::NewEvent(false)};
        CHandleHolder done{lumlib::NewEvent(false)};
        lumlib::CWorkerThread thread;
        uint32_t failures = 0;

        bool Begin(CSideBySide* owner, unsigned(__stdcall* routine)(void*)) {
            return go.is_valid() && done.is_valid() && thread.Start(routine, owner) == ERROR_SUCCESS;
        }
        bool Await(DWORD ms) { return ::WaitForSingleObject(done.get(), ms) == WAIT_OBJECT_0; }
        // Lets the thread connect (its first go) and waits until it has.
        bool Ready() { return ::SetEvent(go.get()) && Await(10000) && failures == 0; }
        // The next job, or false when the thread is to end.
        bool Next() {
            HANDLE waits[2] = {go.get(), thread.StopEvent()};
            return ::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0;
        }
    };

    static unsigned __stdcall RawMain(void* self) {
        CSideBySide& me = *static_cast<CSideBySide*>(self);
        me.RawWork(me.m_raw);
        return 0;
    }

    static unsigned __stdcall LibMain(void* self) {
        CSideBySide& me = *static_cast<CSideBySide*>(self);
        if (me.m_calibrated) {
            me.RawWork(me.m_lib);  // a raw client in the library's place
            return 0;
        }
        SndSettings settings;
        if (!me.m_lib.Next()) return 0;  // the library is connected already: ready at its first go
        ::SetEvent(me.m_lib.done.get());
        while (me.m_lib.Next()) {
            for (uint32_t i = 0; i < me.m_calls; ++i)
                me.m_lib.failures += (me.m_job == kRoundTrips ? me.m_api.GetSettings(&settings) : me.m_api.SetDefault(2)) !=
                                     ZKSND_STATUS_OK;
            ::SetEvent(me.m_lib.done.get());
        }
        return 0;
    }

    // A raw client's jobs on worker's thread, on a connection of its own.
    void RawWork(Worker& worker) {
        CRawClient raw;
        uint32_t requestId = 0;
        if (!worker.Next()) return;  // connects at its first go
        // Connected, and the server's thread for this connection running, before the worker says it is ready.
        worker.failures = !raw.Open(5000) || !RawRoundTrip(raw, ++requestId);
        ::SetEvent(worker.done.get());
        const std::vector<uint8_t> frame = SetDefaultRequest(2);
        while (worker.Next()) {
            for (uint32_t i = 0; i < m_calls; ++i)
                worker.failures += m_job == kRoundTrips ? !RawRoundTrip(raw, ++requestId)
                                                        : !raw.WriteFrame(frame.data(), uint32_t(frame.size()));
            ::SetEvent(worker.done.get());
        }
    }

    void Stop() {
        m_raw.thread.Stop();
        m_lib.thread.Stop();
    }

    const CApi& m_api;
    const bool m_calibrated;
    Worker m_raw, m_lib;
    Job m_job = kRoundTrips;
    uint32_t m_calls = 0;
};

// Side-by-side windows, round trips then one-way calls, under keys
// "rt-side" and "ow-side" ("calib-..." when calibrated); failed calls are counted.
uint32_t SideBySideWindows(const CApi& api, CServiceServer& server, bool calibrated) {
    const std::string rt = std::string(calibrated ? "calib-" : "") + "rt-side";
    const std::string ow = std::string(calibrated ? "calib-" : "") + "ow-side";
    COneCpu oneCpu;
    if (!oneCpu.pinned()) Note("side by side: the process could not be held to one CPU");
    CSideBySide both(api, calibrated);
    if (!both.Start()) {
        Note("side by side: a client's thread could not connect");
        return 1;
    }
    uint32_t failures = both.Run(CSideBySide::kRoundTrips, 40, true);  // warm-up, not counted
    for (int w = 0; w < kSideWindows; ++w) {
        WorkBegin(rt.c_str(), kRoundTripsPerWindow, "round trip");
        failures += both.Run(CSideBySide::kRoundTrips, kRoundTripsPerWindow, w % 2 == 0);
        WorkEnd(rt.c_str());
    }
    for (int w = 0; w < kSideWindows; ++w) {
        // Both write while the server holds its reads, then it reads them all.
        const uint64_t expected = server.Received(nCmdSetDefaultDevice) + 2 * uint64_t(kOneWaysPerWindow);
        failures += !server.HoldReads(10000);
        WorkBegin(ow.c_str(), kOneWaysPerWindow, "call");
        failures += both.Run(CSideBySide::kOneWays, kOneWaysPerWindow, w % 2 == 0);
        server.ReleaseReads();
        failures += !server.WaitReceived(nCmdSetDefaultDevice, expected, 10000);
        WorkEnd(ow.c_str());
    }
    return failures;
}

// CPU windows, connected: round trips, one-way calls, then device records. Failed units are counted.
uint32_t WorkWindows(const CApi& api, CNotifyLog& notes, CRawClient& raw, CServiceServer& server) {
    uint32_t failures = 0, requestId = 0;
    SndSettings settings;
    for (uint32_t i = 0; i < 40; ++i) {  // warm-up, not counted
        failures += !RawRoundTrip(raw, ++requestId);
        failures += api.GetSettings(&settings) != ZKSND_STATUS_OK;
    }
    for (int w = 0; w < 2 * kWorkRounds; ++w) {
        if (RawTurn(w)) {
            WorkBegin("rt-raw", kRoundTripsPerWindow, "round trip");
            for (uint32_t i = 0; i < kRoundTripsPerWindow; ++i) failures += !RawRoundTrip(raw, ++requestId);
            WorkEnd("rt-raw");
        } else {
            WorkBegin("rt-lib", kRoundTripsPerWindow, "round trip");
            for (uint32_t i = 0; i < kRoundTripsPerWindow; ++i) failures += api.GetSettings(&settings) != ZKSND_STATUS_OK;
            WorkEnd("rt-lib");
        }
    }
    server.SetDeviceListInOneWrite(true);
    const std::vector<uint8_t> request = GetDeviceListRequest();
    failures += !RawList(raw, request) + !LibraryList(api, notes);  // warm-up
    for (int w = 0; w < 2 * kRecordRounds; ++w) {
        if (RawTurn(w)) {
            WorkBegin("rec-raw", uint64_t(kListsPerWindow) * kDevices, "record");
            for (uint32_t i = 0; i < kListsPerWindow; ++i) failures += !RawList(raw, request);
            WorkEnd("rec-raw");
        } else {
            WorkBegin("rec-lib", uint64_t(kListsPerWindow) * kDevices, "record");
            for (uint32_t i = 0; i < kListsPerWindow; ++i) failures += !LibraryList(api, notes);
            WorkEnd("rec-lib");
        }
    }
    server.SetDeviceListInOneWrite(false);
    return failures;
}

// One-way windows, alternating, then the side-by-side windows (a raw client
// in the library's place first, then the library), on a server whose pipes
// hold a window's frames while it holds its reads.
uint32_t HeldWindows(const CApi& api, CRawClient& raw, CServiceServer& server) {
    uint32_t failures = 0;
    for (int w = 0; w < 2 * kWorkRounds; ++w)
        failures += RawTurn(w) ? OneWayWindow("ow-raw", nullptr, raw, server) : OneWayWindow("ow-lib", &api, raw, server);
    failures += SideBySideWindows(api, server, true);
    return failures + SideBySideWindows(api, server, false);
}

// The library and the raw client, connected again to a server started anew.
bool Reconnect(const CApi& api, CNotifyLog& notes, CRawClient& raw, CServiceServer& server) {
    if (!server.Start() || !raw.Open(5000) || !RawRoundTrip(raw, 1)) return false;
    api.Init(&CNotifyLog::Callback, &notes);
    return notes.WaitFor(ZKSND_NOTIFY_CONNECTED, 1, 5000) >= 0;
}

// kBurstLines ZkSndSetDefault calls (one log line each at LogLevel 3), in
// chunks that the send queue holds, each chunk received before the next.
uint32_t Burst(const CApi& api, CServiceServer& server) {
    uint32_t failures = 0;
    uint64_t expected = server.Received(nCmdSetDefaultDevice);
    for (uint32_t sent = 0; sent < kBurstLines; sent += kBurstChunk) {
        for (uint32_t k = 0; k < kBurstChunk; ++k) failures += api.SetDefault(2) != ZKSND_STATUS_OK;
        expected += kBurstChunk;
        failures += !server.WaitReceived(nCmdSetDefaultDevice, expected, 5000);
    }
    return failures;
}

void ReportFootprint(const Added& raw, const Added& connected, const Added& absent, double connected3) {
    // Both connected counts include the in-process server's session thread of
    // that connection: the library's own threads are the difference.
    ReportAgainst("library threads added by ZkSndVApiInit, connected (baseline: a raw client's connection, "
                  "the server's session thread; the library's own are the difference)",
                  connected.threads - raw.threads, raw.threads, "", 5, "<= 5");
    ReportAgainst("library threads added by ZkSndVApiInit, service absent", absent.threads, 0, "", 4, "<= 4");
    ReportAgainst("committed private memory added by ZkSndVApiInit, connected (baseline: opening a raw client)",
                  connected.committedMiB, raw.committedMiB, "MiB", -1, "threads x stack");
    Note("threads added: raw client %.0f, library connected %.0f (LogLevel 3 after a burst: %.0f), absent %.0f",
         raw.threads, connected.threads, connected3, absent.threads);
    Note("committed private MiB added: raw client %.1f, library connected %.1f, absent %.1f", raw.committedMiB,
         connected.committedMiB, absent.committedMiB);
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned idleSeconds = argc > 1 ? unsigned(std::atoi(argv[1])) : 10;
    std::printf("cost_bench: idle wake-ups and CPU over %u s, threads and memory added by Init, CPU per record and "
                "per round trip; sampler %s\n",
                idleSeconds, SamplerAttached() ? "attached" : "absent (run through scripts/bench.sh for the counts)");
    CApi api;
    if (!api.LoadedOrSay()) return 1;
    CLogLevelScope level;
    CServiceServer server(kDevices);
    if (!level.Set(0) || !server.Start()) {
        std::printf("cannot set LogLevel or serve the pipe\n");
        return 1;
    }
    uint32_t failures = 0;

    // Baseline: a bare connected raw client, the DLL loaded and not started.
    CRawClient raw;
    Footprint before = Footprint::Now();
    // One round trip before the count: the in-process server's session thread
    // for this connection exists then, as it does when the library's Init returns.
    if (!raw.Open(5000) || !RawRoundTrip(raw, 1)) {
        std::printf("raw client: no connection\n");
        return 1;
    }
    // Counted once settled, as the library's below.
    ::Sleep(kSettleMs);
    const Added rawAdded = Between(before, Footprint::Now());
    IdleWindow("idle-raw", idleSeconds);

    // The library connected at LogLevel 0: footprint, idle, then work.
    CNotifyLog notes;
    before = Footprint::Now();
    api.Init(&CNotifyLog::Callback, &notes);
    if (notes.WaitFor(ZKSND_NOTIFY_CONNECTED, 1, 5000) < 0) {
        std::printf("library: no connection\n");
        api.DeInit();
        return 1;
    }
    // Counted connected and idle: right after the 8, a thread that the
    // connection's start set going (the server's, the library's) may or may not be there yet.
    ::Sleep(kSettleMs);
    const Added connected = Between(before, Footprint::Now());
    IdleWindow("idle-lib0", idleSeconds);
    uint32_t workFailures = WorkWindows(api, notes, raw, server);
    api.DeInit();
    raw.Close();
    server.Stop();
    {
        // The one-way calls on a server whose pipe buffer holds a window's
        // frames (the other rows keep the usual 64 KB: a large buffer would
        // change how the device list reaches the clients).
        CServiceServer held(0, kHeldPipeBuffer);
        CNotifyLog notesHeld;
        workFailures += Reconnect(api, notesHeld, raw, held) ? HeldWindows(api, raw, held) : 1;
        api.DeInit();
        raw.Close();
    }
    if (workFailures) Note("%u failed calls or lists in the CPU windows", workFailures);
    failures += workFailures;
    failures += !server.Start() || !raw.Open(5000) || !RawRoundTrip(raw, 1);

    // LogLevel 3: a burst of lines (every ZkSndSetDefault writes one), then idle.
    CNotifyLog notes3;
    level.Set(3);
    before = Footprint::Now();
    api.Init(&CNotifyLog::Callback, &notes3);
    if (notes3.WaitFor(ZKSND_NOTIFY_CONNECTED, 1, 5000) < 0) ++failures;
    const uint32_t burstFailures = Burst(api, server);
    if (burstFailures) Note("%u failed ZkSndSetDefault calls in the burst", burstFailures);
    failures += burstFailures;
    const Added connected3 = Between(before, Footprint::Now());
    ::Sleep(kIdleCloseSettleMs);
    IdleWindow("idle-lib3", idleSeconds);
    api.DeInit();
    raw.Close();

    // The service absent: no server on the pipe.
    server.Stop();
    level.Set(0);
    CNotifyLog notesAbsent;
    before = Footprint::Now();
    api.Init(&CNotifyLog::Callback, &notesAbsent);
    ::Sleep(kAbsentSettleMs);
    const Added absent = Between(before, Footprint::Now());
    IdleWindow("idle-absent", idleSeconds);
    api.DeInit();

    ReportFootprint(rawAdded, connected, absent, connected3.threads);
    if (failures) Note("%u failed calls or lists", failures);
    return failures ? 2 : 0;
}
