// The measurement bed shared by the benchmark programs: a clock, medians, the
// DLL loaded through its exports, the LogLevel registry value held for a run,
// an in-process server on the service's pipe (a handler on the emulator's
// pipe server core), a raw overlapped client that is the baseline, and the
// rows of the result table.
//
// Every program measures the library and its baseline in the same run, on the
// same server and the same frames, so that Wine's and the machine's noise
// cancels in the ratio. Nothing here asserts: benchmarks are not tests.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/Holders.h"
#include "tools/tessaline-emu/PipeServer.h"
#include "tools/zksndctl/CtlRunner.h"
#include "virt/api/zksndapi.h"

namespace zkbench {

// ---- time and statistics ---------------------------------------------------

double NowUs();  // QueryPerformanceCounter in microseconds
double Median(std::vector<double> values);
double Max(const std::vector<double>& values);

// ---- the CPU ---------------------------------------------------------------------

// The process's threads, those it starts meanwhile included, on one CPU
// while it lives. Two clients on two cores did not fare alike, whatever
// their code: side by side, the pair of threads started first (a client and
// its connection's server thread) took 4 to 9 % less CPU, even when both were
// raw clients; taking turns, one run's median round trip came out at 0.5x of
// the other's and the next run's at 1.9x. On one core both share its time and
// its caches alike.
class COneCpu {
public:
    COneCpu();
    ~COneCpu();
    COneCpu(const COneCpu&) = delete;
    COneCpu& operator=(const COneCpu&) = delete;
    bool pinned() const { return m_pinned; }

private:
    DWORD_PTR m_before = 0;
    bool m_pinned = false;
};

// ---- the DLL, through its exports only -----------------------------------------

// zksndapi.dll from the program's folder, loaded by zksndctl's loader; the
// exports are the members.
class CApi : public zksndctl::ZkSndApi {
public:
    CApi();
    // Every export was found, or says on stdout what went wrong.
    bool LoadedOrSay() const;

private:
    zksndctl::CLoadedApi m_library;
    std::wstring m_error;
    bool m_loaded = false;
};

// Callback codes as they arrive, for waiting on one of them. Pass as the
// context of ZkSndVApiInit together with CNotifyLog::Callback.
class CNotifyLog {
public:
    CNotifyLog();
    static void Callback(uint32_t code, uintptr_t param, void* context);

    // Forgets what has arrived so far.
    void Reset();
    // Waits until code has arrived `count` times since the last Reset; the
    // time (NowUs) of its last arrival, or a negative value on time-out.
    double WaitFor(uint32_t code, uint32_t count, DWORD timeoutMs);
    uint32_t Count(uint32_t code);

private:
    void Arrived(uint32_t code);

    lumlib::unique_critical_section m_lock;
    CONDITION_VARIABLE m_changed;
    uint32_t m_counts[512] = {};  // by code; the codes are all below 512
    double m_lastAt[512] = {};
};

// The LogLevel value under HKLM "Software\Zelkor\Tessaline Server\" held at
// `level` from Set on; the value as it was (or its absence) comes back on
// destruction. The library reads it when it starts its logger.
class CLogLevelScope {
public:
    CLogLevelScope();
    ~CLogLevelScope();
    CLogLevelScope(const CLogLevelScope&) = delete;
    CLogLevelScope& operator=(const CLogLevelScope&) = delete;
    bool Set(DWORD level);

private:
    lumlib::unique_hkey m_key;
    bool m_hadValue = false;
    DWORD m_oldValue = 0;
};

// ---- the service's side of the pipe --------------------------------------------

// The pipe buffer the server gives each instance, each direction, unless told otherwise.
constexpr DWORD kPipeBuffer = 65536;

// The service's side of the pipe on the emulator's server core
// (tools/tessaline-emu/PipeServer.h): a listening thread and one thread per
// connected client, so the DLL and the raw client can be connected at once.
// It answers get-settings and set-settings with a reply, get-device-list with
// `devices` device records (one write per frame, as a service sends them)
// and the end-of-list notice, and only counts the other requests.
class CServiceServer {
public:
    // pipeBuffer: each instance's buffer, each direction (HoldReads needs one
    // that holds what the clients write meanwhile).
    explicit CServiceServer(uint32_t devices = 2000, DWORD pipeBuffer = kPipeBuffer);
    ~CServiceServer();
    CServiceServer(const CServiceServer&) = delete;
    CServiceServer& operator=(const CServiceServer&) = delete;

    // The first instance is listening when Start returns; false when it could not be created.
    bool Start();
    // Closes every connection (clients see a broken pipe) and joins the threads.
    void Stop();

    // Requests of this command received so far, from every client.
    uint64_t Received(uint32_t command);
    // Waits until at least `count` requests of this command have arrived.
    bool WaitReceived(uint32_t command, uint64_t count, DWORD timeoutMs);
    // Connections accepted so far.
    uint64_t Accepted();
    // true: the device list goes out in one write (records arrive in bulk, so
    // that a CPU count is the client's, not the server's per-frame writes).
    void SetDeviceListInOneWrite(bool oneWrite) { m_listInOneWrite = oneWrite; }
    // Every connection's thread stops reading until ReleaseReads: what the
    // clients write meanwhile waits in the pipe (within its buffer) and is
    // read in bulk afterwards, at the same cost for every client. True once
    // every thread has stopped.
    bool HoldReads(DWORD timeoutMs);
    void ReleaseReads();

private:
    class Handler;
    void Count(uint64_t* counter);
    void CountHeld(int change);

    std::vector<uint8_t> m_deviceStream;        // every device frame, back to back
    std::vector<uint32_t> m_deviceFrameSizes;   // and where each one ends
    std::vector<uint8_t> m_lastFrame;
    lumlib::unique_critical_section m_lock;     // the counters below
    CONDITION_VARIABLE m_changed;
    uint64_t m_received[16] = {};
    uint64_t m_accepted = 0;
    uint32_t m_held = 0;                        // connections' threads waiting for ReleaseReads
    CHandleHolder m_released;                   // manual-reset: reads may go on
    std::atomic<bool> m_listInOneWrite{false};
    tessaline_emu::CPipeServer m_server;        // last: its threads end before the rest goes
};

// ---- the baseline client -------------------------------------------------------

// A raw overlapped client: one WriteFile per frame, one ReadFile for as much
// as has arrived, frames cut out of what was read. What the library's
// transport could do at best.
class CRawClient {
public:
    CRawClient();
    bool Open(DWORD timeoutMs);
    void Close() { m_pipe.reset(); }
    // Writes the 4-byte length and the message in one WriteFile and waits for it.
    bool WriteFrame(const void* message, uint32_t size);
    // The next whole message; false when the pipe broke.
    bool ReadFrame(std::vector<uint8_t>* message);

private:
    bool Await(OVERLAPPED* ov, DWORD* n);

    CHandleHolder m_pipe;
    CHandleHolder m_readEvent;
    CHandleHolder m_writeEvent;
    std::vector<uint8_t> m_frame;     // write scratch: length and message
    std::vector<uint8_t> m_in;        // m_inStart..m_inEnd: bytes read and not yet handed out
    size_t m_inStart = 0;
    size_t m_inEnd = 0;
};

// ---- results -------------------------------------------------------------------

// One table row, printed as a tab-separated line that starts with "ROW" (for
// scripts/bench.sh) and as a readable line. ratio = library / baseline.
void ReportRatio(const char* what, double library, double baseline, const char* unit, double maxRatio,
                 const char* target);
// A row with no baseline: the figure against an absolute limit.
void ReportLimit(const char* what, double library, const char* unit, double limit, const char* target);
// A figure against an absolute limit, with the baseline beside it (ratio
// shown when the baseline is above 0). limit < 0: information only, no verdict.
void ReportAgainst(const char* what, double library, double baseline, const char* unit, double limit,
                   const char* target);
// A line that is not a table row (details, pieces).
void Note(const char* format, ...);

// Leaves a named mark among the wineserver requests: with WINEDEBUG=+server
// the trace shows open_event( ... name=L"zkbench:<name>"), so the requests of
// the library's threads between two marks can be counted. Costs one request.
void TraceMark(const wchar_t* name);

// ---- what the process costs, counted from outside ------------------------------

// Wake-ups and CPU are counted by scripts/bench.sh from /proc, not from
// inside: under Wine, Z:\proc\self names the wineserver (the server opens
// files), and a count taken by the measured process disturbs what it counts.
// The program marks its windows on stdout ("SAMPLE" lines) and waits, blocked
// on a read of stdin, until the script has taken its snapshot and answers.
// Without the script (ZK_BENCH_SAMPLER unset) an idle window just sleeps and
// nothing is counted.
bool SamplerAttached();
// `seconds` of idle: the script snapshots, sleeps, snapshots again.
void IdleWindow(const char* key, unsigned seconds);
// A window of work: `units` of `unit` are done between Begin and End.
void WorkBegin(const char* key, uint64_t units, const char* unit);
void WorkEnd(const char* key);
// The threads born between GroupBegin and GroupEnd form a group: each work
// window also counts their CPU apart from the rest of the process's (for two
// clients working side by side in one window).
void GroupBegin(const char* group);
void GroupEnd(const char* group);

// The process's footprint at one moment: its threads (a Toolhelp snapshot)
// and its committed private memory (every MEM_COMMIT, MEM_PRIVATE region of a
// VirtualQuery walk; thread stacks are among them). Not PrivateUsage from
// GetProcessMemoryInfo: Wine 8 fills it from resident memory, and it did not
// move when Init added 13 threads.
struct Footprint {
    static Footprint Now();
    uint32_t threads = 0;
    double committedMiB = 0;
};

// Starts the library with notes as its callback's log and opens the raw
// client; both connected, or says so on stdout and leaves the library stopped.
bool ConnectBoth(const CApi& api, CNotifyLog& notes, CRawClient& raw);

// The request builders' output for the raw client: the same bytes the library sends.
std::vector<uint8_t> GetSettingsRequest(uint32_t requestId);
std::vector<uint8_t> GetDeviceListRequest();
std::vector<uint8_t> SetDefaultRequest(uint32_t device);

}  // namespace zkbench
