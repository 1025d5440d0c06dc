// The caller's cost of a one-way request and of one enabled DEBUG line.
// ZkSndSetDefault (8244 bytes, no reply) against a raw overlapped WriteFile of
// the same 8248-byte frame, at LogLevel 0 and 3; at LogLevel 3 the call writes
// one DEBUG line more, so the difference between the levels is that line's
// cost to the caller. Its baseline is a line of spdlog's async logger
// (header-only, file sink) in the same run.
// Two ways, both printed: calls alone, each on an idle library (the next one
// waits until the server has the frame and the threads settle), and calls in
// bursts of 1000, as spdlog is timed (its worker awake, a line is a queue
// push). The line's row compares bursts with bursts, made with the service
// away: the call then writes its line and fails at once, so the difference is
// the line's, not that of two 8 KB writes whose times, connected, swing by
// more than a line costs. Alone, the line's code runs with cold caches after
// each pause, and spdlog's line wakes its idle worker.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/kit/BenchKit.h"
#include "virt/api/SndProtocol.h"

#ifdef ZK_BENCH_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

using namespace zkbench;

namespace {

const DWORD kSettleMs = 1;  // lets the library's threads (and the log writer) go idle between calls
const int kBurstCalls = 1000;  // calls or lines back to back

// One spdlog line in the library's layout; the caller's time in microseconds, 0 without spdlog.
class CSpdlogLine {
public:
    CSpdlogLine() {
#ifdef ZK_BENCH_HAVE_SPDLOG
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        char path[MAX_PATH * 3];
        ::WideCharToMultiByte(CP_UTF8, 0, temp, -1, path, sizeof(path), nullptr, nullptr);
        m_path = std::string(path) + "zksndapi-bench-spdlog.txt";
        spdlog::init_thread_pool(8192, 1);
        m_logger = spdlog::create_async<spdlog::sinks::basic_file_sink_mt>("bench", m_path, true);
        m_logger->set_level(spdlog::level::debug);
        m_logger->set_pattern("%Y.%m.%d %H:%M:%S.%e %z [%P] [%t] [%l]: %v");
#endif
    }
    ~CSpdlogLine() {
#ifdef ZK_BENCH_HAVE_SPDLOG
        m_logger.reset();
        spdlog::shutdown();
        ::DeleteFileA(m_path.c_str());
#endif
    }
    // `lines` lines back to back; the caller's time a line.
    double Time(unsigned lines) {
#ifdef ZK_BENCH_HAVE_SPDLOG
        double t0 = NowUs();
        for (unsigned i = 0; i < lines; ++i)
            m_logger->debug("sndapi: CSndApiPipeClient::ApiSetDefaultDevice: ({}): Set default device...", i);
        return (NowUs() - t0) / lines;
#else
        (void)lines;
        return 0.0;
#endif
    }
    // Waits until the worker has written everything queued, so the next burst starts idle.
    void Settle() {
#ifdef ZK_BENCH_HAVE_SPDLOG
        m_logger->flush();
#endif
        ::Sleep(10);
    }

private:
#ifdef ZK_BENCH_HAVE_SPDLOG
    std::string m_path;
    std::shared_ptr<spdlog::logger> m_logger;
#endif
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int perRound = 100;
    std::printf("oneway_bench: ZkSndSetDefault against a raw WriteFile, %d x %d calls at each LogLevel\n", rounds,
                perRound);
    CApi api;
    if (!api.LoadedOrSay()) return 1;
    CLogLevelScope level;
    CServiceServer server(0);
    if (!server.Start()) {
        std::printf("cannot serve the pipe\n");
        return 1;
    }
    CSpdlogLine spdlogLine;
    const std::vector<uint8_t> request = SetDefaultRequest(2);
    std::vector<double> lib[4], burst[4], base, spd;
    uint64_t expected = 0;
    int failures = 0;
    for (int r = 0; r < rounds; ++r) {
        for (DWORD logLevel : {0u, 3u}) {  // alternate, so drift in the load hits both levels
            CNotifyLog notes;
            CRawClient raw;
            level.Set(logLevel);
            if (!ConnectBoth(api, notes, raw)) return 1;
            for (int i = -5; i < perRound; ++i) {  // the first five warm up and are not kept
                double t0 = NowUs();
                bool ok = raw.WriteFrame(request.data(), uint32_t(request.size()));
                double b = NowUs() - t0;
                if (!ok || !server.WaitReceived(nCmdSetDefaultDevice, ++expected, 5000)) ++failures;
                ::Sleep(kSettleMs);

                if (i == perRound - 1) TraceMark(L"SetDefault begin");
                t0 = NowUs();
                uint32_t status = api.SetDefault(2);
                double l = NowUs() - t0;
                if (status != ZKSND_STATUS_OK || !server.WaitReceived(nCmdSetDefaultDevice, ++expected, 5000))
                    ++failures;
                ::Sleep(kSettleMs);
                if (i == perRound - 1) TraceMark(L"SetDefault end");

                double s = spdlogLine.Time(1);
                ::Sleep(kSettleMs);
                if (i < 0) continue;
                base.push_back(b);
                lib[logLevel].push_back(l);
                spd.push_back(s);
            }
            raw.Close();
            api.DeInit();
        }
    }
    server.Stop();
    // Bursts with the service away: the mean call of kBurstCalls back to back.
    for (int r = 0; r < rounds; ++r) {
        for (DWORD logLevel : {0u, 3u}) {
            CNotifyLog notes;
            level.Set(logLevel);
            api.Init(&CNotifyLog::Callback, &notes);
            for (int b = -1; b < 10; ++b) {  // the first warms up
                double t0 = NowUs();
                uint32_t answered = 0;  // a call some service answered: not the line alone
                for (int k = 0; k < kBurstCalls; ++k) answered += api.SetDefault(2) == ZKSND_STATUS_OK;
                const double mean = (NowUs() - t0) / kBurstCalls;
                failures += answered != 0;
                ::Sleep(kSettleMs);
                if (b >= 0) burst[logLevel].push_back(mean);
            }
            api.DeInit();
        }
    }
    std::vector<double> bursts;
    for (int i = 0; i < 10; ++i) {
        bursts.push_back(spdlogLine.Time(kBurstCalls));
        spdlogLine.Settle();
    }

    const double l0 = Median(lib[0]), l3 = Median(lib[3]), b = Median(base), s = Median(bursts);
    const double b0 = Median(burst[0]), b3 = Median(burst[3]);
    ReportRatio("ZkSndSetDefault, caller's time, LogLevel 0 (baseline: raw overlapped WriteFile of 8248 B)", l0, b,
                "us", 1.5, "<= 1.5x");
    ReportRatio("one DEBUG line, caller's time, in bursts (SetDefault with the service away, LogLevel 3 minus 0; "
                "baseline: spdlog async line in bursts)",
                b3 - b0, s, "us", 3.0, "<= 3x");
    Note("SetDefault alone, median: LogLevel 0 %.1f us, LogLevel 3 %.1f us (the line alone: %.1f us); raw WriteFile "
         "%.0f us", l0, l3, l3 - l0, b);
    Note("SetDefault with the service away, in bursts of %d, median of the mean call: LogLevel 0 %.2f us, LogLevel 3 "
         "%.2f us", kBurstCalls, b0, b3);
    Note("spdlog line: %.2f us in bursts of %d, %.0f us alone (its idle worker woken each time)%s", s, kBurstCalls,
         Median(spd),
#ifdef ZK_BENCH_HAVE_SPDLOG
         ""
#else
         " (spdlog headers were not found at configure time)"
#endif
    );
    if (failures) Note("%d failed calls", failures);
    return failures ? 2 : 0;
}
