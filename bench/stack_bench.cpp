// The caller's stack that logging takes: one log call through a started
// logger (a DEBUG line, an ERROR line written through, a line cut at the
// length limit), and one ZkSndSetDefault at LogLevel 3 through the DLL, for
// the whole export path it sits in. Measured by painting: a block below the
// measuring frame is filled with a pattern, the call runs, and the deepest
// byte it changed gives the depth. Bytes, not time: the figure is the same on
// a busy machine.
#include <malloc.h>

#include <cstdio>
#include <memory>
#include <string>

#include "bench/kit/BenchKit.h"
#include "log/ZkLogger.h"
#include "virt/api/SndProtocol.h"

using namespace zkbench;

namespace {

const size_t kPaintBytes = 256 * 1024;
const uint8_t kPaint = 0xA5;
const double kLogCallLimitKB = 8.0;

// Paints a block in its own frame, so the block lies just below the frame of
// its caller, and returns its lowest address. Written from the top down, so
// that on Windows the stack guard page moves down one page at a time.
__attribute__((noinline)) uintptr_t PaintBelow() {
    volatile uint8_t* block = static_cast<volatile uint8_t*>(_alloca(kPaintBytes));
    for (size_t i = kPaintBytes; i-- > 0;) block[i] = kPaint;
    return reinterpret_cast<uintptr_t>(block);
}

// Bytes of stack below this frame that call() changed.
template <typename Call>
__attribute__((noinline)) size_t StackUsed(Call call) {
    const uintptr_t top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    const uintptr_t low = PaintBelow();
    call();
    const volatile uint8_t* painted = reinterpret_cast<const volatile uint8_t*>(low);
    size_t untouched = 0;
    while (untouched < kPaintBytes && painted[untouched] == kPaint) ++untouched;
    return top - (low + untouched);
}

// The deepest of a few calls of the same kind.
template <typename Call>
double MaxKB(Call call) {
    size_t most = 0;
    for (int i = 0; i < 5; ++i) {
        const size_t used = StackUsed(call);
        if (used > most) most = used;
    }
    return most / 1024.0;
}

// A logger as the library starts it (no registry), in a private temporary folder.
struct CBenchLogger {
    CBenchLogger() {
        wchar_t temp[MAX_PATH];
        ::GetTempPathW(MAX_PATH, temp);
        dir = std::wstring(temp) + L"zksndapi-stack-bench-" + std::to_wstring(::GetCurrentProcessId()) + L"\\";
        logger.reset(CZkLogger::New(dir.c_str()));
        if (!logger) return;
        logger->SetAsyncWrite(1);
        logger->SetFormatFlags(kLogDefaultFormat);
        logger->BuildHeader();
        logger->AddFileBuffer();
        logger->SetThreshold(LOG_DEBUG);
    }
    ~CBenchLogger() {
        logger.reset();
        ::DeleteFileW((dir + L"zksndapi.txt").c_str());
        ::RemoveDirectoryW(dir.c_str());
    }
    std::wstring dir;
    std::unique_ptr<CZkLogger> logger;
};

}  // namespace

int main() {
    std::printf("stack_bench: the caller's stack one log call takes, and one export at LogLevel 3\n");
    double debugKB = 0, errorKB = 0, longKB = 0;
    {
        CBenchLogger bench;
        if (!bench.logger) {
            std::printf("cannot start a logger\n");
            return 1;
        }
        IZkLogger* logger = bench.logger.get();
        const std::wstring name(5000, L'n');
        uint32_t line = 0;
        debugKB = MaxKB([&] {
            LogPrint(logger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::ApiSetDefaultDevice: (%u): Set default device %u",
                     ++line, 2u);
        });
        errorKB = MaxKB([&] { LogPrint(logger, LOG_ERROR, L"sndapi: CBench::Error: (%u): error %u", ++line, 87u); });
        longKB = MaxKB([&] { LogPrint(logger, LOG_DEBUG, L"sndapi: CBench::Device: (%u): %s", ++line, name.c_str()); });
    }
    const double logKB = debugKB > errorKB ? (debugKB > longKB ? debugKB : longKB) : (errorKB > longKB ? errorKB : longKB);
    ReportLimit("stack of one log call (deepest of a DEBUG line, an ERROR line, a cut 5000-character line)", logKB,
                "KB", kLogCallLimitKB, "<= 8 KB");
    Note("log call stack: DEBUG line %.1f KB, ERROR line (written through) %.1f KB, cut long line %.1f KB", debugKB,
         errorKB, longKB);

    CApi api;
    if (!api.LoadedOrSay()) return 1;
    CLogLevelScope level;
    CServiceServer server(0);
    if (!server.Start() || !level.Set(3)) {
        std::printf("cannot serve the pipe or set the LogLevel\n");
        return 1;
    }
    CNotifyLog notes;
    CRawClient raw;
    if (!ConnectBoth(api, notes, raw)) return 1;
    uint32_t failures = 0;
    const double exportKB = MaxKB([&] { failures += api.SetDefault(2) != ZKSND_STATUS_OK; });
    raw.Close();
    api.DeInit();
    server.Stop();
    Note("ZkSndSetDefault at LogLevel 3, the caller's stack: %.1f KB (the log calls in it included)", exportKB);
    if (failures) Note("%u failed calls", failures);
    return failures ? 2 : 0;
}
