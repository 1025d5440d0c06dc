// ZkSndGetSettings (8240 bytes out, 368 back) against a raw overlapped
// ping-pong of the same frames on the same in-process server, LogLevel 0,
// the process held to one CPU (see COneCpu).
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/kit/BenchKit.h"
#include "virt/api/SndProtocol.h"

using namespace zkbench;

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 10;
    const int perRound = 40;
    std::printf("roundtrip_bench: ZkSndGetSettings against a raw overlapped ping-pong, %d x %d calls each\n", rounds,
                perRound);
    // Before any thread of either connection exists.
    const COneCpu oneCpu;
    if (!oneCpu.pinned()) Note("the process could not be held to one CPU");
    CApi api;
    if (!api.LoadedOrSay()) return 1;
    CLogLevelScope level;
    CServiceServer server(0);
    CNotifyLog notes;
    if (!level.Set(0) || !server.Start()) {
        std::printf("cannot set LogLevel or serve the pipe\n");
        return 1;
    }
    CRawClient raw;
    if (!ConnectBoth(api, notes, raw)) return 1;

    std::vector<double> lib, base;
    std::vector<uint8_t> reply;
    SndSettings settings;
    uint32_t requestId = 0, failures = 0;
    for (int r = -1; r < rounds; ++r) {  // round -1 warms both up and is not kept
        for (int i = 0; i < perRound; ++i) {  // call by call in turn, so load from other processes hits both alike
            std::vector<uint8_t> request = GetSettingsRequest(++requestId);
            double t0 = NowUs();
            bool ok = raw.WriteFrame(request.data(), uint32_t(request.size())) && raw.ReadFrame(&reply);
            double b = NowUs() - t0;
            if (!ok || reply.size() != kSndSettingsReplySize) ++failures;

            t0 = NowUs();
            uint32_t status = api.GetSettings(&settings);
            double l = NowUs() - t0;
            if (status != ZKSND_STATUS_OK) ++failures;
            if (r < 0) continue;
            base.push_back(b);
            lib.push_back(l);
        }
    }
    // Untimed, for counting wineserver requests a call (see TraceMark).
    TraceMark(L"raw x40 begin");
    for (int i = 0; i < perRound; ++i) {
        std::vector<uint8_t> request = GetSettingsRequest(++requestId);
        raw.WriteFrame(request.data(), uint32_t(request.size()));
        raw.ReadFrame(&reply);
    }
    TraceMark(L"raw x40 end");
    TraceMark(L"GetSettings x40 begin");
    for (int i = 0; i < perRound; ++i) api.GetSettings(&settings);
    TraceMark(L"GetSettings x40 end");
    raw.Close();
    api.DeInit();
    server.Stop();

    ReportRatio("ZkSndGetSettings round trip (8240 B out, 368 B back), median, LogLevel 0, on one CPU", Median(lib),
                Median(base), "us", 1.5, "<= 1.5x");
    Note("library: median %.0f us, max %.0f us; raw: median %.0f us, max %.0f us; %u failed calls", Median(lib),
         Max(lib), Median(base), Max(base), failures);
    return failures ? 2 : 0;
}
