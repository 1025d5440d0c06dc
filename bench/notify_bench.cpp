// 2000 device records, from the get-device-list request to the end-of-list
// callback (301), against a raw client that sends the same request and reads
// the same frames from the same server; at LogLevel 0 and 3. Library and raw
// runs alternate.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "bench/kit/BenchKit.h"
#include "virt/api/SndProtocol.h"

using namespace zkbench;

namespace {

const uint32_t kDevices = 2000;

// Request to the end-of-list frame; the time in microseconds, negative on failure.
double RawList(CRawClient& raw, const std::vector<uint8_t>& request) {
    std::vector<uint8_t> message;
    uint32_t devices = 0;
    double t0 = NowUs();
    if (!raw.WriteFrame(request.data(), uint32_t(request.size()))) return -1;
    for (;;) {
        if (!raw.ReadFrame(&message)) return -1;
        SndDecodedMsg msg;  // decoded, as the library must
        SndDecodeMessage(message.data(), message.size(), msg);
        if (msg.event == eZkSndRdpVDeviceInfo && msg.device.state == SndDeviceRecordState::Complete) ++devices;
        if (msg.event == eZkSndRdpVLastDeviceInfo) break;
    }
    double t = NowUs() - t0;
    return devices == kDevices ? t : -1;
}

double LibraryList(CApi& api, CNotifyLog& notes) {
    notes.Reset();
    double t0 = NowUs();
    if (api.GetDeviceList() != ZKSND_STATUS_OK) return -1;
    double at = notes.WaitFor(ZKSND_NOTIFY_DEVICE_LIST_END, 1, 60000);
    if (at < 0 || notes.Count(ZKSND_NOTIFY_DEVICE_INFO) != kDevices) return -1;
    return at - t0;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 3;
    std::printf("notify_bench: %u device records, request to the end-of-list callback, %d runs each\n", kDevices,
                rounds);
    CApi api;
    if (!api.LoadedOrSay()) return 1;
    CLogLevelScope level;
    CServiceServer server(kDevices);
    if (!server.Start()) {
        std::printf("cannot serve the pipe\n");
        return 1;
    }
    const std::vector<uint8_t> request = GetDeviceListRequest();
    int failures = 0;
    for (DWORD logLevel : {0u, 3u}) {
        CNotifyLog notes;
        CRawClient raw;
        level.Set(logLevel);
        if (!ConnectBoth(api, notes, raw)) return 1;
        std::vector<double> lib, base;
        for (int r = 0; r < rounds; ++r) {  // 2000 records warm up by themselves: every run is kept
            double b = RawList(raw, request);
            TraceMark(L"DeviceList begin");
            double l = LibraryList(api, notes);
            TraceMark(L"DeviceList end");
            if (b < 0 || l < 0) ++failures;
            if (b >= 0) base.push_back(b / 1000.0);
            if (l >= 0) lib.push_back(l / 1000.0);
        }
        raw.Close();
        api.DeInit();
        if (logLevel == 0)
            ReportRatio("2000 device records, request to the 301 callback, LogLevel 0", Median(lib), Median(base),
                        "ms", 2.0, "<= 2x");
        else
            ReportRatio("2000 device records, request to the 301 callback, LogLevel 3", Median(lib), Median(base),
                        "ms", 3.0, "<= 3x");
        Note("LogLevel %lu: library median %.0f ms (%.0f us a record), raw median %.0f ms (%.0f us a record)",
             static_cast<unsigned long>(logLevel), Median(lib), Median(lib) * 1000.0 / kDevices, Median(base),
             Median(base) * 1000.0 / kDevices);
    }
    server.Stop();
    if (failures) Note("%d failed runs", failures);
    return failures ? 2 : 0;
}
