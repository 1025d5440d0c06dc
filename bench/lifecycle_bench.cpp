// Start, stop and reconnection times, with the service up: ZkSndVApiInit
// until it returns (the first connection is made inside it), ZkSndDeInit of a
// healthy, used connection, and the time from the service's return to the
// library's "connected" callback after the service went away for 1.5 s.
// These have absolute targets; there is no baseline.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/kit/BenchKit.h"
#include "virt/api/SndProtocol.h"

using namespace zkbench;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int reconnects = argc > 2 ? std::atoi(argv[2]) : 3;
    std::printf("lifecycle_bench: %d starts and stops, %d reconnections\n", rounds, reconnects);
    CApi api;
    if (!api.LoadedOrSay()) return 1;
    CLogLevelScope level;
    CServiceServer server(0);
    if (!level.Set(0) || !server.Start()) {
        std::printf("cannot set LogLevel or serve the pipe\n");
        return 1;
    }
    int failures = 0;
    std::vector<double> init, deinit, reconnect;
    SndSettings settings;
    for (int r = 0; r < rounds; ++r) {
        CNotifyLog notes;
        TraceMark(L"Init begin");
        double t0 = NowUs();
        uint32_t status = api.Init(&CNotifyLog::Callback, &notes);
        double t1 = NowUs();
        TraceMark(L"Init end");
        if (status != 0 || notes.Count(ZKSND_NOTIFY_CONNECTED) != 1) ++failures;  // code 8 comes inside Init
        if (api.GetSettings(&settings) != ZKSND_STATUS_OK) ++failures;             // a used connection
        TraceMark(L"DeInit begin");
        double t2 = NowUs();
        api.DeInit();
        double t3 = NowUs();
        TraceMark(L"DeInit end");
        init.push_back((t1 - t0) / 1000.0);
        deinit.push_back((t3 - t2) / 1000.0);
    }

    CNotifyLog notes;
    api.Init(&CNotifyLog::Callback, &notes);
    for (int r = 0; r < reconnects; ++r) {
        if (notes.WaitFor(ZKSND_NOTIFY_CONNECTED, uint32_t(r + 1), 5000) < 0) ++failures;
        server.Stop();  // the service goes away
        if (notes.WaitFor(ZKSND_NOTIFY_CONNECTION_LOST, uint32_t(r + 1), 5000) < 0) ++failures;
        ::Sleep(1500);
        double t0 = NowUs();
        server.Start();  // and comes back
        double at = notes.WaitFor(ZKSND_NOTIFY_CONNECTED, uint32_t(r + 2), 10000);
        if (at < 0) {
            ++failures;
            continue;
        }
        reconnect.push_back((at - t0) / 1000.0);
    }
    api.DeInit();
    server.Stop();

    ReportLimit("ZkSndVApiInit, service up", Median(init), "ms", 100, "<= 100 ms");
    ReportLimit("ZkSndDeInit, healthy service", Median(deinit), "ms", 300, "<= 300 ms");
    ReportLimit("reconnect after the service returns (worst of the runs)", Max(reconnect), "ms", 2200, "<= 2.2 s");
    Note("Init: median %.1f ms, max %.1f ms; DeInit: median %.0f ms, max %.0f ms; reconnect: median %.0f ms, max %.0f ms",
         Median(init), Max(init), Median(deinit), Max(deinit), Median(reconnect), Max(reconnect));
    if (failures) Note("%d failed steps", failures);
    return failures ? 2 : 0;
}
