// The fault sweep: every import of zksndapi.dll that a session calls is made
// to fail once, at its 1st, 2nd, ... N-th call (tests/support/FaultInjection.h),
// and the library's promises are checked after each such point. One child
// process runs one point, so a crash or a hang ends that point, not the sweep.
//
//   fault_sweep --sampled      the first calls of every import and a spread beyond (CI)
//   fault_sweep --all          every call of every import (scripts/fault_sweep.sh)
//   fault_sweep --point NAME N HANDLES THREADS KIB    one point (a child; the last three: a clean run's growth)
//   fault_sweep --count FILE   a clean run: each import's calls and the run's growth, into FILE (a child)
//
// A point's scenario, against the emulated service in the same process:
// ZkSndVApiInit, callback 8, the device list until 301 or 6, ZkSndSetDefault,
// ZkSndGetSettings, ZkSndSetSettings, ZkConfigIsLocked, ZkSndDeInit; then the
// same with nothing failing, which must fully work.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/FaultInjection.h"
#include "tests/support/HostileService.h"
#include "tests/support/ProcessCounters.h"
#include "tests/support/SharedLog.h"
#include "tests/support/Watchdog.h"
#include "tests/virt/api/Api.h"

namespace {

// What a point broke: one bit each, in the child's exit code (0x100 | bits).
enum Broken : unsigned {
    kException = 1,     // a C++ exception left an export
    kStatus = 2,        // a status docs/api.md does not allow
    kSlow = 4,          // an export outlived its bound
    kCallbacks = 8,     // 8 and 6 unbalanced, or a callback after ZkSndDeInit returned
    kRecovery = 16,     // the failing round never connected, or the second round did not fully work
    kLeak = 32,         // handles, threads or committed memory above a clean run's
    kLog = 64,          // a torn line, no line from the round, or zksndapi.txt in the current folder
};
const char* const kBrokenNames[] = {"exception", "status", "time", "callbacks", "recovery", "leak", "log"};
const unsigned kKinds = 7;
const int kHang = 0x200, kNoChild = 0x201, kNotReached = 0x202, kPointBits = 0x100;

const DWORD kSlackMs = 1500;  // two shared cores under Wine: the docs' bounds plus scheduling
const DWORD kConnectMs = 8000, kListMs = 5000, kPointMs = 90000;
const uint32_t kThrew = 0xFFFFFFFFu;     // the status of a call that threw (broken already)
const int kCppException = 0x20474343;    // the code GCC's runtime raises a C++ exception with
const wchar_t kStrayLog[] = L"zksndapi.txt";

struct Growth { long handles = 0, threads = 0; long long kib = 0; };

struct Point {
    std::string name;  // "malloc #4"
    unsigned broken = 0;
    void Break(unsigned kind, const std::string& what) {
        broken |= kind;
        std::fprintf(stderr, "  %s: %s\n", name.c_str(), what.c_str());
    }
};

void Expect(Point& p, unsigned kind, bool ok, const std::string& what) {
    if (!ok) p.Break(kind, what);
}

// One export call: its status, and a broken promise when it threw, was slow or returned a status not allowed.
uint32_t Call(Point& p, const char* name, DWORD boundMs, const std::set<uint32_t>& allowed,
              const std::function<uint32_t()>& call) {
    const ULONGLONG start = ::GetTickCount64();
    uint32_t status = kThrew;
    try {
        status = call();
    } catch (...) {
        p.Break(kException, std::string("an exception left ") + name);
    }
    const ULONGLONG ms = ::GetTickCount64() - start;
    if (ms > boundMs + kSlackMs) p.Break(kSlow, std::string(name) + " took " + std::to_string(ms) + " ms");
    Expect(p, kStatus, status == kThrew || allowed.count(status) == 1, std::string(name) + " returned " + std::to_string(status));
    return status;
}

// Callback 8 after ZkSndVApiInit returned 0: the library connects by itself once the calls work again.
void WaitForConnection(Point& p, Recorder& rec, size_t eights) {
    Expect(p, kRecovery, rec.WaitForCount(ZKSND_NOTIFY_CONNECTED, eights + 1, kConnectMs), "no callback 8");
}

void AskForTheList(Point& p, Recorder& rec, bool failing) {
    const size_t ends = rec.Count(ZKSND_NOTIFY_DEVICE_LIST_END), losses = rec.Count(ZKSND_NOTIFY_CONNECTION_LOST);
    const size_t devices = rec.Count(ZKSND_NOTIFY_DEVICE_INFO);
    // (docs/api.md gives the one-way calls no bound of their own: 3 s, as a settings call's wait)
    const uint32_t status = Call(p, "ZkSndVGetDeviceList", 3000, failing ? std::set<uint32_t>{0, 1, 2, 20} : std::set<uint32_t>{0},
                                 [] { return Dll().GetDeviceList(); });
    if (status != 0) return;
    const bool ended = rec.WaitUntil([&] {
        return Recorder::CountOf(rec.notices, ZKSND_NOTIFY_DEVICE_LIST_END) > ends ||
               Recorder::CountOf(rec.notices, ZKSND_NOTIFY_CONNECTION_LOST) > losses;
    }, kListMs);
    Expect(p, failing ? kCallbacks : kRecovery, ended, "the device list ended neither with 301 nor with 6");
    if (!failing) Expect(p, kRecovery, rec.Count(ZKSND_NOTIFY_DEVICE_INFO) == devices + 3, "not the 3 devices");
}

// One round of the scenario; failing: an import may fail in it. Returns ZkSndVApiInit's status.
uint32_t Round(Point& p, Recorder& rec, bool failing) {
    const std::set<uint32_t> sent = failing ? std::set<uint32_t>{0, 1, 2, 20} : std::set<uint32_t>{0};
    const std::set<uint32_t> answered = failing ? std::set<uint32_t>{0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 20} : sent;
    const size_t eights = rec.Count(ZKSND_NOTIFY_CONNECTED);
    const uint32_t init = Call(p, "ZkSndVApiInit", 1500, failing ? std::set<uint32_t>{0, 1} : sent,
                               [&] { return Dll().Init(&Recorder::Callback, &rec); });
    if (init == 0) WaitForConnection(p, rec, eights);
    AskForTheList(p, rec, failing);
    Call(p, "ZkSndSetDefault", 3000, sent, [] { return Dll().SetDefault(1); });
    SndSettings settings = {};
    Call(p, "ZkSndGetSettings", 6000, answered, [&] { return Dll().GetSettings(&settings); });
    Call(p, "ZkSndSetSettings", 6000, answered, [&] { return Dll().SetSettings(&settings); });
    Call(p, "ZkConfigIsLocked", 100, {1}, [] { return Dll().IsLocked(); });
    Call(p, "ZkSndDeInit", 3000, {0}, [] { return Dll().DeInit(); });
    return init;
}

// The contract monitor saw every callback of both rounds (8/6 alternating
// from 8, lists whole, aligned records, nothing after ZkSndDeInit).
void CheckCallbacks(Point& p) {
    for (const std::string& broken : Monitor().Reset()) Expect(p, kCallbacks, false, "callback contract: " + broken);
}

// The lines written since the log held `before` (all of it when it was rotated meanwhile): each whole.
// A round whose ZkSndVApiInit returned 0 wrote lines (1 may mean the log could not start).
void CheckLog(Point& p, const std::wstring& before, const std::wstring& after, const char* round, bool started) {
    const std::wstring added = after.compare(0, before.size(), before) == 0 ? after.substr(before.size()) : after;
    const std::wregex line(LR"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} \([+-]\d\d:\d\d\) \[\d+\] \[\d+\] \[[A-Z]+\]:? .*)");
    for (const std::wstring& text : zk_testkit::SplitLines(added))
        Expect(p, kLog, text.empty() || std::regex_match(text, line), std::string("a torn log line in ") + round);
    const bool whole = added.empty() || (added.size() >= 2 && added.compare(added.size() - 2, 2, L"\r\n") == 0);
    Expect(p, kLog, whole, std::string("the log ends inside a line after ") + round);
    const std::wstring mine = L") [" + std::to_wstring(::GetCurrentProcessId()) + L"] ";
    Expect(p, kLog, !started || added.find(mine) != std::wstring::npos, std::string("no log line of ") + round);
    Expect(p, kLog, ::GetFileAttributesW(kStrayLog) == INVALID_FILE_ATTRIBUTES, std::string("zksndapi.txt in the current folder after ") + round);
    ::DeleteFileW(kStrayLog);
}

Growth Counters() {
    return Growth{testkit::ProcessHandleCount(), testkit::ProcessThreadCount(),
                  (long long)(testkit::CommittedPrivateBytes() / 1024)};
}

// The resources the point left above what a clean run leaves. Wine counts
// handles through the system table and commits each thread's whole stack:
// the memory allowance is one thread's stack.
// repeatAdded: the handles the same point twice more (failing, then clean) added, when it ran.
void CheckGrowth(Point& p, const Growth& before, const Growth& clean, const long* repeatAdded) {
    testkit::WaitForThreadCountAtMost(before.threads + clean.threads, 5000);
    const Growth now = Counters();
    Expect(p, kLeak, before.handles < 0 || now.handles - before.handles <= clean.handles || (repeatAdded && *repeatAdded <= 1),
           "handles grew by " + std::to_string(now.handles - before.handles) +
               (repeatAdded ? ", by " + std::to_string(*repeatAdded) + " more when the point repeated twice" : std::string()));
    Expect(p, kLeak, now.threads - before.threads <= clean.threads, "threads grew by " + std::to_string(now.threads - before.threads));
    Expect(p, kLeak, now.kib - before.kib <= clean.kib + 2048, "committed memory grew by " + std::to_string(now.kib - before.kib) + " KiB");
}

// Runs one point (import "" = none) in this process; returns the broken kinds.
unsigned RunPoint(const std::string& import, long n, const Growth& clean, Growth* grew, std::string* counts) {
    Point p{import.empty() ? "clean run" : import + " #" + std::to_string(n)};
    ::DeleteFileW(kStrayLog);
    Expect(p, kRecovery, Dll().Complete(), "zksndapi.dll did not load");
    if (p.broken) return p.broken;
    for (const std::string& unknown : testkit::InstallImportFaults(Dll().dll)) p.Break(kStatus, "an import the kit does not know: " + unknown);
    zk_testkit::CHostileService service(zk_testkit::ServiceFault::kNone);
    Recorder rec;
    const Growth before = Counters();
    Expect(p, kRecovery, service.Start(), "the service's pipe could not be served");
    std::wstring log = zk_testkit::ReadSharedLogText();
    testkit::FailNthCall(import, n);
    const bool started = Round(p, rec, true) == 0;
    testkit::StopFailing();
    for (const testkit::ImportCount& c : testkit::ImportCalls()) *counts += c.name + " " + std::to_string(c.calls) + "\n";
    CheckLog(p, log, zk_testkit::ReadSharedLogText(), "the failing round", started);
    log = zk_testkit::ReadSharedLogText();
    Round(p, rec, false);
    CheckLog(p, log, zk_testkit::ReadSharedLogText(), "the second round", true);
    // The first failure in a process may pay once what a clean run never pays
    // (the C++ runtime's first raised exception keeps a few handles for the
    // process under Wine); what a failure itself keeps comes again each time it
    // repeats: twice, at most one handle in all (Wine's count varies by one).
    long repeatAdded = 0;
    testkit::WaitForThreadCountAtMost(before.threads + clean.threads, 5000);
    const bool repeat = !import.empty() && Counters().handles - before.handles > clean.handles;
    if (repeat) {
        const long settled = Counters().handles;
        for (int again = 0; again < 2; ++again) {
            testkit::FailNthCall(import, n);
            Round(p, rec, true);
            testkit::StopFailing();
            Round(p, rec, false);
        }
        testkit::WaitForThreadCountAtMost(before.threads + clean.threads, 5000);
        repeatAdded = Counters().handles - settled;
    }
    CheckCallbacks(p);
    service.Stop();
    CheckGrowth(p, before, clean, repeat ? &repeatAdded : nullptr);
    const Growth now = Counters();
    *grew = Growth{now.handles - before.handles, now.threads - before.threads, now.kib - before.kib};
    return p.broken;
}

// ---- the driver ----

LONG WINAPI EndWithTheExceptionCode(EXCEPTION_POINTERS* e) {
    ::TerminateProcess(::GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Runs this program with arguments; its exit code, or kHang when it outlived kPointMs.
int RunChild(const std::string& arguments) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + std::wstring(arguments.begin(), arguments.end());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION child = {};
    if (!::CreateProcessW(self, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) return kNoChild;
    CHandleHolder process(child.hProcess), thread(child.hThread);
    DWORD code = kHang;
    if (::WaitForSingleObject(child.hProcess, kPointMs) == WAIT_TIMEOUT) ::TerminateProcess(child.hProcess, kHang);
    else ::GetExitCodeProcess(child.hProcess, &code);
    return int(code);
}

struct CleanRun {
    std::map<std::string, long> calls;
    Growth grew;
    bool ok = false;
};

// Two clean runs: the calls and the growth of either, whichever is larger
// (Wine's handle count varies by one from run to run).
CleanRun CountCalls() {
    CleanRun run;
    run.ok = true;
    for (int i = 0; i < 2; ++i) {
        const std::string file = "fault_sweep_counts.txt";
        run.ok = RunChild("--count " + file) == 0 && run.ok;
        std::ifstream in(file);
        Growth g;
        std::string name;
        long calls = 0;
        in >> g.handles >> g.threads >> g.kib;
        run.grew = Growth{std::max(g.handles, run.grew.handles), std::max(g.threads, run.grew.threads), std::max(g.kib, run.grew.kib)};
        while (in >> name >> calls) run.calls[name] = std::max(calls, run.calls[name]);
    }
    return run;
}

// Every call, or the first three and a spread of four beyond.
std::vector<long> Calls(long count, bool sampled) {
    std::set<long> picked;
    for (long n = 1; n <= count; ++n) {
        const bool spread = n == count || (count > 6 && n % (count / 4) == 0);
        if (!sampled || n <= 3 || spread) picked.insert(n);
    }
    return std::vector<long>(picked.begin(), picked.end());
}

std::string KindOf(int code) {
    if (code == kHang) return "hang";
    if (code == kNoChild) return "not started";
    if (code == 3) return "abort";
    if (code == int(EXCEPTION_ACCESS_VIOLATION)) return "access violation";
    if (code == kCppException) return "uncaught C++ exception";
    if ((code & ~0xFF) != kPointBits) return "exit " + std::to_string(code);
    std::string kinds;
    for (unsigned k = 0; k < kKinds; ++k) {
        if (code & (1u << k)) kinds += std::string(kinds.empty() ? "" : "+") + kBrokenNames[k];
    }
    return kinds;
}

// The sweep runs at LogLevel 2 (INFO), so that every round writes lines; the value before comes back.
struct InfoLevel {
    const wchar_t* key = L"Software\\Zelkor\\Tessaline Server";
    DWORD before = 0, size = sizeof(before);
    const bool had = ::RegGetValueW(HKEY_LOCAL_MACHINE, key, L"LogLevel", RRF_RT_REG_DWORD, nullptr, &before, &size) == 0;
    InfoLevel() { Set(2); }
    ~InfoLevel() { had ? Set(before) : void(::RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, key, L"LogLevel")); }
    void Set(DWORD level) { ::RegSetKeyValueW(HKEY_LOCAL_MACHINE, key, L"LogLevel", REG_DWORD, &level, sizeof(level)); }
};

int Sweep(bool sampled) {
    testkit::Watchdog dog("fault sweep", sampled ? 1500000 : 14400000);
    InfoLevel level;
    const CleanRun clean = CountCalls();
    if (!clean.ok || clean.calls.empty()) return std::fprintf(stderr, "the clean run broke a promise\n"), 1;
    std::map<std::string, int> byKind;
    int points = 0, imports = 0, failed = 0, unreached = 0;
    for (const auto& [name, count] : clean.calls) {
        imports += count > 0;
        for (long n : Calls(count, sampled)) {
            std::fprintf(stderr, "%s #%ld\n", name.c_str(), n);
            const int code = RunChild("--point " + name + " " + std::to_string(n) + " " + std::to_string(clean.grew.handles) +
                                      " " + std::to_string(clean.grew.threads) + " " + std::to_string(clean.grew.kib));
            ++points;
            unreached += code == kNotReached;
            if (code == 0 || code == kNotReached) continue;
            ++failed;
            ++byKind[KindOf(code)];
            std::printf("FAILED %s #%ld: %s\n", name.c_str(), n, KindOf(code).c_str());
        }
    }
    std::printf("%d points over %d imports: %d broke a promise; %d not reached (fewer calls that run)\n", points, imports,
                failed, unreached);
    for (const auto& [kind, count] : byKind) std::printf("  %s: %d\n", kind.c_str(), count);
    return failed == 0 ? 0 : 1;
}

int PointChild(char** argv, bool counting) {
    ::SetUnhandledExceptionFilter(&EndWithTheExceptionCode);
    const Growth clean = counting ? Growth{1 << 20, 1 << 20, 1 << 30} :  // a clean run sets the measure
                                   Growth{atol(argv[4]), atol(argv[5]), atoll(argv[6])};
    Growth grew;
    std::string counts;
    const unsigned broken = RunPoint(counting ? "" : argv[2], counting ? 0 : atol(argv[3]), clean, &grew, &counts);
    const bool reached = counting || testkit::ArmedCallFailed();  // else this run made fewer calls: nothing failed
    if (counting) std::ofstream(argv[2]) << grew.handles << " " << grew.threads << " " << grew.kib << "\n" << counts;
    std::fflush(nullptr);
    return broken != 0 ? int(kPointBits | broken) : reached ? 0 : kNotReached;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--point" && argc == 7) return PointChild(argv, false);
    if (mode == "--count" && argc == 3) return PointChild(argv, true);
    if (mode == "--sampled" || mode == "--all") return Sweep(mode == "--sampled");
    std::fprintf(stderr, "usage: fault_sweep --sampled | --all | --point NAME N HANDLES THREADS KIB | --count FILE\n");
    return 2;
}
