// The fault sweep: every import of zksndapi.dll that a session calls is made
// to fail once, at its 1st, 2nd, ... N-th call (tests/support/FaultInjection.h),
// and the library's promises are checked after each such point. Points run in
// child processes, several to a child, so a crash or a hang ends that point,
// not the sweep; a new child takes the points after it.
//
//   fault_sweep --sampled      the first calls of every import and a spread beyond (CI)
//   fault_sweep --all          every call of every import (scripts/fault_sweep.sh)
//   fault_sweep --points FILE NAME N [NAME N ...]   points in order, each's result a line of FILE (a child;
//                              one point: rerun it alone)
//   fault_sweep --count FILE   two clean sessions: each import's calls, fresh and warm, into FILE (a child)
//
// A point's scenario, against the emulated service in the same process:
// ZkSndVApiInit, callback 8, the device list until 301 or 6, ZkSndSetDefault,
// ZkSndGetSettings, ZkSndSetSettings, ZkConfigIsLocked, ZkSndDeInit; then the
// same with nothing failing, which must fully work.
#include <windows.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
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
    kLeak = 32,         // handles, threads, heap blocks or committed memory kept (CheckGrowth)
    kLog = 64,          // a torn line, no line from the round, or zksndapi.txt in the current folder
};
const char* const kBrokenNames[] = {"exception", "status", "time", "callbacks", "recovery", "leak", "log"};
const int kHang = 0x200, kNoChild = 0x201, kNotReached = 0x202, kPointBits = 0x100;

const DWORD kSlackMs = 1500;  // two shared cores under Wine: the docs' bounds plus scheduling
const DWORD kConnectMs = 8000, kListMs = 5000, kPointMs = 90000;
const uint32_t kThrew = 0xFFFFFFFFu;     // the status of a call that threw (broken already)
const int kCppException = 0x20474343;    // the code GCC's runtime raises a C++ exception with
const wchar_t kStrayLog[] = L"zksndapi.txt";

struct Point {
    std::string name;  // "malloc #4"
    unsigned broken = 0;
    void Break(unsigned kind, const std::string& what) {
        broken |= kind;
        std::fprintf(stderr, "  %s: %s\n", name.c_str(), what.c_str());
    }
    void Expect(unsigned kind, bool ok, const std::string& what) { if (!ok) Break(kind, what); }
};

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
    p.Expect(kStatus, status == kThrew || allowed.count(status) == 1, std::string(name) + " returned " + std::to_string(status));
    return status;
}

// One round of the scenario; failing: an import may fail in it. Returns ZkSndVApiInit's status.
uint32_t Round(Point& p, Recorder& rec, bool failing) {
    const std::set<uint32_t> sent = failing ? std::set<uint32_t>{0, 1, 2, 20} : std::set<uint32_t>{0};
    const std::set<uint32_t> answered = failing ? std::set<uint32_t>{0, 1, 2, 3, 5, 6, 7, 8, 10, 11, 20} : sent;
    const size_t eights = rec.Count(ZKSND_NOTIFY_CONNECTED);
    const uint32_t init = Call(p, "ZkSndVApiInit", 1500, failing ? std::set<uint32_t>{0, 1} : sent,
                               [&] { return Dll().Init(&Recorder::Callback, &rec); });
    // Callback 8 after ZkSndVApiInit returned 0: the library connects by itself once the calls work again.
    if (init == 0) p.Expect(kRecovery, rec.WaitForCount(ZKSND_NOTIFY_CONNECTED, eights + 1, kConnectMs), "no callback 8");
    // The device list ends with 301 or 6 (docs/api.md gives the one-way calls
    // no bound of their own: 3 s, as a settings call's wait).
    const size_t ends = rec.Count(ZKSND_NOTIFY_DEVICE_LIST_END), losses = rec.Count(ZKSND_NOTIFY_CONNECTION_LOST);
    const size_t devices = rec.Count(ZKSND_NOTIFY_DEVICE_INFO);
    if (Call(p, "ZkSndVGetDeviceList", 3000, sent, [] { return Dll().GetDeviceList(); }) == 0) {
        const bool ended = rec.WaitUntil([&] {
            return Recorder::CountOf(rec.notices, ZKSND_NOTIFY_DEVICE_LIST_END) > ends ||
                   Recorder::CountOf(rec.notices, ZKSND_NOTIFY_CONNECTION_LOST) > losses;
        }, kListMs);
        p.Expect(failing ? kCallbacks : kRecovery, ended, "the device list ended neither with 301 nor with 6");
        if (!failing) p.Expect(kRecovery, rec.Count(ZKSND_NOTIFY_DEVICE_INFO) == devices + 3, "not the 3 devices");
    }
    Call(p, "ZkSndSetDefault", 3000, sent, [] { return Dll().SetDefault(1); });
    SndSettings settings = {};
    Call(p, "ZkSndGetSettings", 6000, answered, [&] { return Dll().GetSettings(&settings); });
    Call(p, "ZkSndSetSettings", 6000, answered, [&] { return Dll().SetSettings(&settings); });
    Call(p, "ZkConfigIsLocked", 100, {1}, [] { return Dll().IsLocked(); });
    Call(p, "ZkSndDeInit", 3000, {0}, [] { return Dll().DeInit(); });
    return init;
}

// The lines a round added to the log: each whole. A round whose
// ZkSndVApiInit returned 0 wrote lines (1 may mean the log could not start).
void CheckLog(Point& p, const std::wstring& added, const char* round, bool started) {
    const std::wregex line(LR"(\d{4}\.\d\d\.\d\d \d\d:\d\d:\d\d\.\d{3} \([+-]\d\d:\d\d\) \[\d+\] \[\d+\] \[[A-Z]+\]:? .*)");
    for (const std::wstring& text : zk_testkit::SplitLines(added))
        p.Expect(kLog, text.empty() || std::regex_match(text, line), std::string("a torn log line in ") + round);
    const bool whole = added.empty() || (added.size() >= 2 && added.compare(added.size() - 2, 2, L"\r\n") == 0);
    p.Expect(kLog, whole, std::string("the log ends inside a line after ") + round);
    const std::wstring mine = L") [" + std::to_wstring(::GetCurrentProcessId()) + L"] ";
    p.Expect(kLog, !started || added.find(mine) != std::wstring::npos, std::string("no log line of ") + round);
    p.Expect(kLog, ::GetFileAttributesW(kStrayLog) == INVALID_FILE_ATTRIBUTES, std::string("zksndapi.txt in the current folder after ") + round);
    ::DeleteFileW(kStrayLog);
}

// What a point may leave behind, measured in the child itself around the
// point (never against another process: the shared log grows from point to
// point, and anything the test itself reads grows with it): handles,
// threads, the library's heap blocks (bytes), the process's committed memory (KiB).
using Growth = std::array<long long, 4>;
const char* const kGrowthUnits[] = {" handles, ", " threads, ", " bytes of the library's heap, ", " KiB committed"};
const size_t kThreads = 1;

Growth Counters() {
    return Growth{testkit::ProcessHandleCount(), testkit::ProcessThreadCount(), testkit::ModuleHeapBytes(),
                  (long long)(testkit::CommittedPrivateBytes() / 1024)};
}

// Nothing kept, and what a process varies by with nothing kept: Wine's handle
// count by one; committed memory by the heap's growth steps (the library's own
// blocks are counted exactly, in heap).
const Growth kNothing{0, 0, 0, 1024}, kNoise{1, 0, 0, 1024};

// after - before, described when any part of it is above limit (else empty).
std::string Above(Growth after, Growth before, Growth limit) {
    std::string text;
    bool above = false;
    for (size_t i = 0; i < 4; ++i) {
        above = above || after[i] - before[i] > limit[i];
        text += std::to_string(after[i] - before[i]) + kGrowthUnits[i];
    }
    return above ? text : std::string();
}

// The state after a round: the library's threads gone (Wine ends them a little late).
Growth Settled(const Growth& before) {
    testkit::WaitForThreadCountAtMost(long(before[kThreads]), 5000);
    return Counters();
}

// The process-wide pieces a point runs against: the library, the emulated service, the callbacks' recorder.
struct Bench {
    Recorder rec;
    zk_testkit::CHostileService service;
    unsigned long long logAt = 0;  // the shared log's bytes read so far
    std::wstring TheRound() { return zk_testkit::ReadUtf16File(zk_testkit::SharedLogPath(), nullptr, &logAt); }
};

// One round and its log check.
void CheckedRound(Point& p, Bench& bench, bool failing) {
    bench.TheRound();
    const bool started = Round(p, bench.rec, failing) == 0;
    CheckLog(p, bench.TheRound(), failing ? "the failing round" : "the second round", started || !failing);
}

// The point again, failing then clean, `times` times.
void Repeat(Point& p, Bench& bench, const std::string& import, long n, int times) {
    for (int again = 0; again < times; ++again) {
        testkit::FailNthCall(import, n);
        Round(p, bench.rec, true);
        testkit::StopFailing();
        Round(p, bench.rec, false);
    }
}

// Leaks: what the point (the failing round, then a clean one) left above the
// child's own state before it. A first failure may pay once what nothing pays
// again (the C++ runtime's first raised exception keeps a few handles and
// blocks under Wine; a fresh process sets itself up); so a point that kept
// anything runs once more, then three times, and again three times: it leaks
// when each three kept more than the noise, as a leak comes back with every
// failure (one handle each: 3), while a one-time cost shows in one of them.
void CheckGrowth(Point& p, Bench& bench, const std::string& import, long n, const Growth& before) {
    const std::string once = Above(Settled(before), before, kNothing);
    if (once.empty()) return;
    Repeat(p, bench, import, n, 1);
    std::string repeated;
    for (int window = 0; window < 2; ++window) {
        const Growth settled = Settled(before);
        Repeat(p, bench, import, n, 3);
        repeated = Above(Settled(before), settled, kNoise);
        if (repeated.empty()) return;
    }
    p.Expect(kLeak, false, "kept " + once + ", and " + repeated + " more each time the point repeated three times");
}

// Runs one point (import "" = none) in this process; returns the broken kinds.
// counts: each import's calls in the failing round.
unsigned RunPoint(Bench& bench, const std::string& import, long n, std::map<std::string, long>* counts, bool* reached) {
    Point p{import.empty() ? "clean run" : import + " #" + std::to_string(n)};
    ::DeleteFileW(kStrayLog);
    const Growth before = Counters();
    testkit::FailNthCall(import, n);
    CheckedRound(p, bench, true);
    testkit::StopFailing();
    *reached = *reached || testkit::ArmedCallFailed();  // else this session made fewer calls: nothing failed
    *counts = testkit::ImportCalls();
    CheckedRound(p, bench, false);
    // The contract monitor saw every callback of both rounds (8/6 alternating
    // from 8, lists whole, aligned records, nothing after ZkSndDeInit).
    for (const std::string& broken : Monitor().Reset()) p.Expect(kCallbacks, false, "callback contract: " + broken);
    CheckGrowth(p, bench, import, n, before);
    if (p.broken) std::fprintf(stderr, "  %s failed at%s\n", p.name.c_str(), testkit::FailedCallStack().c_str());
    return p.broken;
}

// ---- the driver ----

// A crash ends the child with its exception code; where, and where the failed call was made, go to stderr.
LONG WINAPI EndWithTheExceptionCode(EXCEPTION_POINTERS* e) {
    std::fprintf(stderr, "  exception 0x%lx at %p; the failed call at%s\n", e->ExceptionRecord->ExceptionCode,
                 e->ExceptionRecord->ExceptionAddress, testkit::FailedCallStack().c_str());
    std::fflush(stderr);
    ::TerminateProcess(::GetCurrentProcess(), e->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Runs this program with arguments; its exit code, or kHang when it outlived
// kPointMs for each of its points. Its output goes to stderr once it ended.
int RunChild(const std::string& arguments, size_t points) {
    wchar_t self[MAX_PATH] = {};
    ::GetModuleFileNameW(nullptr, self, MAX_PATH);
    zk_testkit::CChildProcess child;  // a child still running is ended with it
    const std::wstring line = L"\"" + std::wstring(self) + L"\" " + std::wstring(arguments.begin(), arguments.end());
    if (!child.Start(line)) return kNoChild;
    const int code = child.Wait(DWORD(kPointMs * points));
    std::fputs(child.Output().c_str(), stderr);
    return code == -1 ? kHang : code;
}

struct PointId {
    std::string name;
    long n;
};
struct Outcome {
    PointId point;
    int code;
};

// Runs a batch of points, in order, in as few children as it takes: a child
// that crashed, hung or stopped at a broken point leaves the points after it
// to a new child. (A batch of one: that point in a fresh process.)
void RunBatch(const std::vector<PointId>& batch, std::vector<Outcome>& outcomes) {
    const char* const results = "fault_sweep_results.txt";
    for (size_t done = 0; done < batch.size();) {
        std::string arguments = std::string("--points ") + results;
        for (size_t i = done; i < batch.size(); ++i) arguments += " " + batch[i].name + " " + std::to_string(batch[i].n);
        ::DeleteFileA(results);
        const int code = RunChild(arguments, batch.size() - done);
        std::ifstream in(results);
        std::string name;
        long n = 0;
        int pointCode = 0;
        int last = 0;  // the child's last point: one that broke a promise ended the child
        while (done < batch.size() && in >> name >> n >> pointCode) outcomes.push_back(Outcome{batch[done++], last = pointCode});
        // else the child ended inside the next point: a crash or a hang of that point
        if (done < batch.size() && (code != 0 || last == 0 || last == kNotReached))
            outcomes.push_back(Outcome{batch[done++], code == 0 ? kNoChild : code});
    }
}

// A clean child's calls of each import: in its first session (a fresh
// process) and in a later one (a warm process: one-time set-up done).
// Empty when that child broke a promise.
struct CleanRun {
    std::map<std::string, long> fresh, warm;
};

CleanRun CountCalls() {
    CleanRun run;
    const char* const file = "fault_sweep_counts.txt";
    ::DeleteFileA(file);
    if (RunChild(std::string("--count ") + file, 2) != 0) return run;
    std::ifstream in(file);
    std::string which, name;
    long calls = 0;
    while (in >> which >> name >> calls) (which == "fresh" ? run.fresh : run.warm)[name] = calls;
    return run;
}

// The sampled calls of an import that a session calls count times: every
// one when it is called at most six times (each thread start of an Init, say),
// else the first three and every quarter up to the last; every call when all.
std::vector<long> Calls(long count, bool all) {
    std::vector<long> picked;
    for (long n = 1; n <= count; ++n) {
        const bool spread = n == count || (count > 6 && n % (count / 4) == 0);
        if (all || n <= 3 || count <= 6 || spread) picked.push_back(n);
    }
    return picked;
}

// The batches. Sampled: one child per import, its first call failed in a
// fresh process, then the sampled calls of a warm session in the same child.
// All: every call of a fresh session, a child each, then every call of a warm
// session, one child per import.
std::vector<std::vector<PointId>> Batches(const CleanRun& clean, bool all) {
    std::vector<std::vector<PointId>> batches;
    for (const auto& [name, count] : clean.fresh) {
        if (count == 0) continue;
        std::vector<PointId> batch;
        for (long n : all ? Calls(count, true) : std::vector<long>{1}) {
            batch.push_back(PointId{name, n});
            if (all) batches.push_back(batch), batch.clear();
        }
        const auto warm = clean.warm.find(name);
        for (long n : Calls(warm == clean.warm.end() ? 0 : warm->second, all)) batch.push_back(PointId{name, n});
        if (!batch.empty()) batches.push_back(batch);
    }
    return batches;
}

std::string KindOf(int code) {
    if (code == kHang) return "hang";
    if (code == kNoChild) return "not started";
    if (code == 3) return "abort";
    if (code == int(EXCEPTION_ACCESS_VIOLATION)) return "access violation";
    if (code == kCppException) return "uncaught C++ exception";
    if ((code & ~0xFF) != kPointBits) return "exit " + std::to_string(code);
    std::string kinds;
    for (unsigned k = 0; k < std::size(kBrokenNames); ++k) {
        if (code & (1u << k)) kinds += std::string(kinds.empty() ? "" : "+") + kBrokenNames[k];
    }
    return kinds;
}

int Sweep(bool all) {
    testkit::Watchdog dog("fault sweep", all ? 14400000 : 900000);
    zk_testkit::CSavedSettingsKey key;  // at LogLevel 2 (INFO), so that every round writes lines; the value before comes back
    key.SetLevel(2);
    const ULONGLONG start = ::GetTickCount64();
    const CleanRun clean = CountCalls();
    if (clean.fresh.empty()) return std::fprintf(stderr, "the clean run broke a promise\n"), 1;
    std::vector<Outcome> outcomes;
    const std::vector<std::vector<PointId>> batches = Batches(clean, all);
    for (const std::vector<PointId>& batch : batches) {
        std::fprintf(stderr, "%s: %zu points from #%ld\n", batch[0].name.c_str(), batch.size(), batch[0].n);
        RunBatch(batch, outcomes);
    }
    std::set<std::string> imports;
    int failed = 0, unreached = 0;
    for (const Outcome& o : outcomes) {
        imports.insert(o.point.name);
        unreached += o.code == kNotReached;
        if (o.code == 0 || o.code == kNotReached) continue;
        ++failed;
        std::printf("FAILED %s #%ld: %s\n", o.point.name.c_str(), o.point.n, KindOf(o.code).c_str());
    }
    std::printf("%zu points over %zu imports in %zu children, %llu s: %d broke a promise; %d not reached (fewer calls that run)\n",
                outcomes.size(), imports.size(), batches.size(), (::GetTickCount64() - start) / 1000, failed, unreached);
    return failed == 0 ? 0 : 1;
}

// The child's side: the library loaded and its imports redirected, the
// emulated service served; then points, in order. One that broke a promise
// ends the child (what followed would start from a broken state).
int PointsChild(int argc, char** argv, bool counting) {
    ::SetUnhandledExceptionFilter(&EndWithTheExceptionCode);
    if (!Dll().Complete()) return std::fprintf(stderr, "zksndapi.dll did not load\n"), kNoChild;
    const std::vector<std::string> unknown = testkit::InstallImportFaults(Dll().dll);
    if (!unknown.empty()) return std::fprintf(stderr, "an import the kit does not know: %s\n", unknown[0].c_str()), kPointBits | kStatus;
    Bench bench;
    if (!bench.service.Start()) return std::fprintf(stderr, "the service's pipe could not be served\n"), kNoChild;
    std::ofstream out(argv[2], std::ios::app);
    for (int i = 3; counting ? i < 7 : i + 1 < argc; i += 2) {
        std::map<std::string, long> counts;
        bool reached = counting;
        const unsigned broken = RunPoint(bench, counting ? "" : argv[i], counting ? 0 : atol(argv[i + 1]), &counts, &reached);
        if (counting) {
            for (const auto& [name, calls] : counts) out << (i == 3 ? "fresh " : "warm ") << name << " " << calls << "\n";
        } else {
            out << argv[i] << " " << argv[i + 1] << " " << (broken ? int(kPointBits | broken) : reached ? 0 : kNotReached) << "\n";
        }
        out.flush();
        if (broken) return counting ? int(kPointBits | broken) : 0;
    }
    std::fflush(nullptr);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "--points" && argc >= 5 && argc % 2 == 1) return PointsChild(argc, argv, false);
    if (mode == "--count" && argc == 3) return PointsChild(argc, argv, true);
    if (mode == "--sampled" || mode == "--all") return Sweep(mode == "--all");
    std::fprintf(stderr, "usage: fault_sweep --sampled | --all | --points FILE NAME N [NAME N ...] | --count FILE\n");
    return 2;
}
