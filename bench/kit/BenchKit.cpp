#include "bench/kit/BenchKit.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "virt/api/SndApiPipeClient.h"
#include "virt/api/SndServiceMessages.h"

namespace zkbench {

using tessaline_emu::CPipeSession;

namespace {
const std::wstring kServicePipe = std::wstring(L"\\\\.\\pipe\\") + kSndServicePipeName;
const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tessaline Server\\";
const uint32_t kHoldAction = 1;
const DWORD kHoldLimitMs = 60000;  // a bench that forgot to release its server still ends
const DWORD kDefaultWaitMs = 1000;      // what a client's WaitNamedPipeW with the default wait waits
const uint32_t kMaxFrame = 16u << 20;   // a longer announced length ends the connection
}  // namespace

// ---- time and statistics ---------------------------------------------------

double NowUs() {
    static const double perUs = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return double(f.QuadPart) / 1e6;
    }();
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    return double(t.QuadPart) / perUs;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0.0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double Max(const std::vector<double>& values) {
    return values.empty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

// ---- the CPU ---------------------------------------------------------------------

COneCpu::COneCpu() {
    DWORD_PTR system = 0;
    if (!::GetProcessAffinityMask(::GetCurrentProcess(), &m_before, &system) || m_before == 0) return;
    const DWORD_PTR lowest = m_before & (~m_before + 1);
    m_pinned = ::SetProcessAffinityMask(::GetCurrentProcess(), lowest) != FALSE;
}

COneCpu::~COneCpu() {
    if (m_pinned) ::SetProcessAffinityMask(::GetCurrentProcess(), m_before);
}

// ---- the DLL -------------------------------------------------------------------

bool CApi::LoadedOrSay() const {
    if (!m_loaded) std::printf("%ls\n", m_error.c_str());
    return m_loaded;
}

bool ConnectBoth(const CApi& api, CNotifyLog& notes, CRawClient& raw) {
    api.Init(&CNotifyLog::Callback, &notes);
    if (notes.WaitFor(ZKSND_NOTIFY_CONNECTED, 1, 5000) >= 0 && raw.Open(5000)) return true;
    std::printf("no connection\n");
    api.DeInit();
    return false;
}

CApi::CApi() {
    m_loaded = m_library.Load(L"", &m_error);
    if (m_loaded) static_cast<zksndctl::ZkSndApi&>(*this) = m_library.Api();
}

CNotifyLog::CNotifyLog() { ::InitializeConditionVariable(&m_changed); }

void CNotifyLog::Callback(uint32_t code, uintptr_t, void* context) {
    if (context) static_cast<CNotifyLog*>(context)->Arrived(code);
}

void CNotifyLog::Arrived(uint32_t code) {
    if (code >= 512) return;
    double now = NowUs();
    {
        const auto lock = m_lock.lock();
        ++m_counts[code];
        m_lastAt[code] = now;
    }
    // Device records come 2000 at a time: only the codes someone waits for wake.
    if (code != ZKSND_NOTIFY_DEVICE_INFO) ::WakeAllConditionVariable(&m_changed);
}

void CNotifyLog::Reset() {
    const auto lock = m_lock.lock();
    std::memset(m_counts, 0, sizeof(m_counts));
}

double CNotifyLog::WaitFor(uint32_t code, uint32_t count, DWORD timeoutMs) {
    const double deadline = NowUs() + timeoutMs * 1000.0;
    const auto lock = m_lock.lock();
    while (m_counts[code] < count) {
        double left = deadline - NowUs();
        if (left <= 0) return -1.0;
        m_lock.wait(m_changed, DWORD(left / 1000.0) + 1);
    }
    return m_lastAt[code];
}

uint32_t CNotifyLog::Count(uint32_t code) {
    const auto lock = m_lock.lock();
    return m_counts[code];
}

// ---- LogLevel --------------------------------------------------------------------

CLogLevelScope::CLogLevelScope() {
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                          m_key.put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD size = sizeof(m_oldValue), type = 0;
    m_hadValue = ::RegQueryValueExW(m_key.get(), L"LogLevel", nullptr, &type, reinterpret_cast<BYTE*>(&m_oldValue),
                                    &size) == ERROR_SUCCESS && type == REG_DWORD;
}

CLogLevelScope::~CLogLevelScope() {
    if (!m_key.is_valid()) return;
    if (m_hadValue)
        ::RegSetValueExW(m_key.get(), L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_oldValue),
                         sizeof(m_oldValue));
    else
        ::RegDeleteValueW(m_key.get(), L"LogLevel");
}

bool CLogLevelScope::Set(DWORD level) {
    return m_key.is_valid() && ::RegSetValueExW(m_key.get(), L"LogLevel", 0, REG_DWORD,
                                                reinterpret_cast<const BYTE*>(&level), sizeof(level)) == ERROR_SUCCESS;
}

// ---- results ------------------------------------------------------------------------

namespace {

std::string Figure(double value, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof(text), value < 10 ? "%.1f %s" : "%.0f %s", value, unit);
    return text;
}

void Row(const char* what, const std::string& library, const std::string& baseline, const std::string& ratio,
         const char* target, bool met) {
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", what, library.c_str(), baseline.c_str(), ratio.c_str(), target,
                met ? "yes" : "no");
    std::fflush(stdout);
}

}  // namespace

void ReportRatio(const char* what, double library, double baseline, const char* unit, double maxRatio,
                 const char* target) {
    double ratio = baseline > 0 ? library / baseline : 0.0;
    char text[32];
    std::snprintf(text, sizeof(text), "%.2fx", ratio);
    Row(what, Figure(library, unit), Figure(baseline, unit), text, target, baseline > 0 && ratio <= maxRatio);
}

void ReportLimit(const char* what, double library, const char* unit, double limit, const char* target) {
    Row(what, Figure(library, unit), "-", "-", target, library >= 0 && library <= limit);
}

void ReportAgainst(const char* what, double library, double baseline, const char* unit, double limit,
                   const char* target) {
    char ratio[32] = "-";
    if (baseline > 0) std::snprintf(ratio, sizeof(ratio), "%.2fx", library / baseline);
    const std::string met = limit < 0 ? "-" : (library >= 0 && library <= limit ? "yes" : "no");
    // A count (no unit) is shown as a whole number.
    const auto shown = [unit](double value) {
        char text[64];
        std::snprintf(text, sizeof(text), "%.0f", value);
        return *unit ? Figure(value, unit) : std::string(text);
    };
    std::printf("ROW\t%s\t%s\t%s\t%s\t%s\t%s\n", what, shown(library).c_str(), shown(baseline).c_str(), ratio, target,
                met.c_str());
    std::fflush(stdout);
}

void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::printf("  ");
    std::vprintf(format, args);
    std::printf("\n");
    std::fflush(stdout);
    va_end(args);
}

void TraceMark(const wchar_t* name) {
    std::wstring full = std::wstring(L"zkbench:") + name;
    CHandleHolder none(::OpenEventW(SYNCHRONIZE, FALSE, full.c_str()));  // fails: only the request matters
}

// ---- the sampler ------------------------------------------------------------------

bool SamplerAttached() {
    static const bool attached = ::GetEnvironmentVariableW(L"ZK_BENCH_SAMPLER", nullptr, 0) != 0;
    return attached;
}

namespace {

// Waits for the sampler's answer: one line on stdin. End of input (the
// script is gone) ends the wait too.
void AwaitSampler() {
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    char c = 0;
    DWORD n = 0;
    while (::ReadFile(in, &c, 1, &n, nullptr) && n == 1 && c != '\n') {
    }
}

// One SAMPLE line for the script, then its answer; nothing without the script.
void Mark(const char* format, ...) {
    if (!SamplerAttached()) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    AwaitSampler();
}

}  // namespace

void IdleWindow(const char* key, unsigned seconds) {
    if (!SamplerAttached()) {
        ::Sleep(seconds * 1000);
        return;
    }
    Mark("SAMPLE\tIDLE\t%s\t%u\n", key, seconds);
}

void WorkBegin(const char* key, uint64_t units, const char* unit) {
    Mark("SAMPLE\tBEGIN\t%s\t%llu\t%s\n", key, static_cast<unsigned long long>(units), unit);
}

void WorkEnd(const char* key) { Mark("SAMPLE\tEND\t%s\n", key); }

void GroupBegin(const char* group) { Mark("SAMPLE\tGROUP\t%s\tbegin\n", group); }

void GroupEnd(const char* group) { Mark("SAMPLE\tGROUP\t%s\tend\n", group); }

Footprint Footprint::Now() {
    Footprint f;
    const DWORD self = ::GetCurrentProcessId();
    CHandleHolder snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    if (snapshot.is_valid() && ::Thread32First(snapshot.get(), &entry)) {
        do {
            if (entry.th32OwnerProcessID == self) ++f.threads;
        } while (::Thread32Next(snapshot.get(), &entry));
    }
    SYSTEM_INFO system;
    ::GetSystemInfo(&system);
    const uint8_t* at = static_cast<const uint8_t*>(system.lpMinimumApplicationAddress);
    MEMORY_BASIC_INFORMATION region;
    uint64_t committed = 0;
    while (at < system.lpMaximumApplicationAddress && ::VirtualQuery(at, &region, sizeof(region)) == sizeof(region)) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) committed += region.RegionSize;
        at = static_cast<const uint8_t*>(region.BaseAddress) + region.RegionSize;
    }
    f.committedMiB = committed / 1048576.0;
    return f;
}

// ---- requests -----------------------------------------------------------------------

std::vector<uint8_t> GetSettingsRequest(uint32_t requestId) {
    std::vector<uint8_t> m(kSndStandardRequestSize);
    SndBuildGetSettings(m.data(), m.size(), requestId);
    return m;
}

std::vector<uint8_t> GetDeviceListRequest() {
    std::vector<uint8_t> m(kSndStandardRequestSize);
    SndBuildGetDeviceList(m.data(), m.size());
    return m;
}

std::vector<uint8_t> SetDefaultRequest(uint32_t device) {
    std::vector<uint8_t> m(kSndSetDefaultRequestSize);
    SndBuildSetDefaultDevice(m.data(), m.size(), device);
    return m;
}

// ---- the server -----------------------------------------------------------------------

namespace {

tessaline_emu::PipeServerConfig ServiceConfig(DWORD pipeBuffer) {
    tessaline_emu::PipeServerConfig config;
    config.name = kSndServicePipeName;
    config.defaultTimeoutMs = kDefaultWaitMs;
    config.bufferSize = pipeBuffer;
    config.firstInstance = false;  // lifecycle_bench serves the name again while the DLL may still hold the last one
    config.maxFrame = kMaxFrame;
    config.log = [](const std::wstring& text) { Note("server: %ls", text.c_str()); };
    return config;
}

void AppendFrame(std::vector<uint8_t>* stream, const uint8_t* message, size_t size) {
    uint8_t length[kFrameLengthSize];
    StoreFrameLength(length, uint32_t(size));
    stream->insert(stream->end(), length, length + kFrameLengthSize);
    stream->insert(stream->end(), message, message + size);
}

}  // namespace

// One per connection; answers on the connection's own thread, as it reads.
class CServiceServer::Handler : public tessaline_emu::IPipeConnectionHandler {
public:
    explicit Handler(CServiceServer* server) : m_server(server) {}

    bool OnConnected(CPipeSession&) override {
        m_server->Count(&m_server->m_accepted);
        return true;
    }

    bool OnActions(CPipeSession&, uint32_t actions) override {
        if ((actions & kHoldAction) == 0) return true;
        m_server->CountHeld(1);
        ::WaitForSingleObject(m_server->m_released.get(), kHoldLimitMs);
        m_server->CountHeld(-1);
        return true;
    }

    bool OnMessage(CPipeSession& session, const uint8_t* message, uint32_t length) override {
        SndDecodedRequest request;
        if (!SndDecodeRequest(message, length, request)) return true;
        if (request.command < 16) m_server->Count(&m_server->m_received[request.command]);
        switch (request.command) {
        case nCmdGetSettings: {
            uint8_t settings[kSndSettingsSize];
            for (uint32_t i = 0; i < kSndSettingsSize; ++i) settings[i] = uint8_t(i);
            return Reply(session, request, settings);
        }
        case nCmdSetSettings:
            return Reply(session, request, nullptr);
        case nCmdGetDeviceList: {
            if (m_server->m_listInOneWrite)
                return session.Write(m_server->m_deviceStream.data(), m_server->m_deviceStream.size()) &&
                       session.Write(m_server->m_lastFrame.data(), m_server->m_lastFrame.size());
            const uint8_t* p = m_server->m_deviceStream.data();
            for (uint32_t size : m_server->m_deviceFrameSizes) {  // one write per frame, as a service sends them
                if (!session.Write(p, size)) return false;
                p += size;
            }
            return session.Write(m_server->m_lastFrame.data(), m_server->m_lastFrame.size());
        }
        default:
            return true;
        }
    }

private:
    // The reply frame in one write; its buffer is kept, so a reply costs no allocation.
    bool Reply(CPipeSession& session, const SndDecodedRequest& request, const uint8_t* settings) {
        uint8_t reply[kSndSettingsReplySize];
        const size_t size = SndBuildReply(reply, sizeof(reply), request.requestId, request.command, 0, settings);
        m_out.clear();
        AppendFrame(&m_out, reply, size);
        return session.Write(m_out.data(), m_out.size());
    }

    CServiceServer* const m_server;
    std::vector<uint8_t> m_out;
};

CServiceServer::CServiceServer(uint32_t devices, DWORD pipeBuffer)
    : m_released(lumlib::NewEvent()),
      m_server(ServiceConfig(pipeBuffer), [this](const std::shared_ptr<CPipeSession>&) {
          return std::unique_ptr<tessaline_emu::IPipeConnectionHandler>(new Handler(this));
      }) {
    ::InitializeConditionVariable(&m_changed);
    // Built once, so that the server's share of each run is only its writes.
    uint8_t message[512];
    for (uint32_t i = 0; i < devices; ++i) {
        char narrow[64];
        int chars = std::snprintf(narrow, sizeof(narrow), "Tessaline Virtual Speakers %04u (RDP)", i);
        char16_t name[64];
        for (int c = 0; c <= chars; ++c) name[c] = char16_t(narrow[c]);
        size_t size = SndBuildDeviceInfo(message, sizeof(message), i, i == 0, i % 2, 0, name, size_t(chars));
        AppendFrame(&m_deviceStream, message, size);
        m_deviceFrameSizes.push_back(uint32_t(size + kFrameLengthSize));
    }
    size_t size = SndBuildLastDeviceInfo(message, sizeof(message));
    AppendFrame(&m_lastFrame, message, size);
}

CServiceServer::~CServiceServer() {
    ReleaseReads();
    Stop();
}

bool CServiceServer::HoldReads(DWORD timeoutMs) {
    ::ResetEvent(m_released.get());
    const size_t sessions = m_server.Sessions().size();
    m_server.PostToAll(kHoldAction);
    const double deadline = NowUs() + timeoutMs * 1000.0;
    const auto lock = m_lock.lock();
    while (m_held < sessions) {
        const double left = deadline - NowUs();
        if (left <= 0) return false;
        m_lock.wait(m_changed, DWORD(left / 1000.0) + 1);
    }
    return true;
}

void CServiceServer::ReleaseReads() { ::SetEvent(m_released.get()); }

void CServiceServer::CountHeld(int change) {
    {
        const auto lock = m_lock.lock();
        m_held += change;
    }
    ::WakeAllConditionVariable(&m_changed);
}

bool CServiceServer::Start() { return m_server.Start() == ERROR_SUCCESS; }

void CServiceServer::Stop() { m_server.Stop(); }

void CServiceServer::Count(uint64_t* counter) {
    {
        const auto lock = m_lock.lock();
        ++*counter;
    }
    ::WakeAllConditionVariable(&m_changed);
}

uint64_t CServiceServer::Received(uint32_t command) {
    const auto lock = m_lock.lock();
    return command < 16 ? m_received[command] : 0;
}

bool CServiceServer::WaitReceived(uint32_t command, uint64_t count, DWORD timeoutMs) {
    if (command >= 16) return false;
    const double deadline = NowUs() + timeoutMs * 1000.0;
    const auto lock = m_lock.lock();
    while (m_received[command] < count) {
        double left = deadline - NowUs();
        if (left <= 0) break;
        m_lock.wait(m_changed, DWORD(left / 1000.0) + 1);
    }
    return m_received[command] >= count;
}

uint64_t CServiceServer::Accepted() {
    const auto lock = m_lock.lock();
    return m_accepted;
}

// ---- the raw client ------------------------------------------------------------------

CRawClient::CRawClient() : m_readEvent(lumlib::NewEvent()), m_writeEvent(lumlib::NewEvent()) {}

bool CRawClient::Open(DWORD timeoutMs) {
    const double deadline = NowUs() + timeoutMs * 1000.0;
    m_in.resize(kPipeBuffer);
    m_inStart = m_inEnd = 0;
    for (;;) {
        m_pipe.reset(::CreateFileW(kServicePipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        if (m_pipe.is_valid()) return true;
        if (NowUs() > deadline) return false;
        // Busy or between instances: wait a little, bounded (the default wait can be very long).
        if (!::WaitNamedPipeW(kServicePipe.c_str(), 50)) ::Sleep(10);
    }
}

bool CRawClient::Await(OVERLAPPED* ov, DWORD* n) {
    return ::GetOverlappedResult(m_pipe.get(), ov, n, TRUE) != FALSE;
}

bool CRawClient::WriteFrame(const void* message, uint32_t size) {
    m_frame.resize(4 + size_t(size));
    SndStoreU32(m_frame.data(), 0, size);
    std::memcpy(m_frame.data() + 4, message, size);
    OVERLAPPED ov = {};
    ov.hEvent = m_writeEvent.get();
    DWORD n = 0;
    if (!::WriteFile(m_pipe.get(), m_frame.data(), DWORD(m_frame.size()), nullptr, &ov) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return false;
    return Await(&ov, &n) && n == m_frame.size();
}

bool CRawClient::ReadFrame(std::vector<uint8_t>* message) {
    for (;;) {
        size_t have = m_inEnd - m_inStart;
        if (have >= 4) {
            uint32_t length = SndLoadU32(m_in.data(), m_inStart);
            if (have - 4 >= length) {
                const uint8_t* p = m_in.data() + m_inStart + 4;
                message->assign(p, p + length);
                m_inStart += 4 + size_t(length);
                if (m_inStart == m_inEnd) m_inStart = m_inEnd = 0;
                return true;
            }
            if (m_in.size() < 4 + size_t(length)) m_in.resize(4 + size_t(length) + kPipeBuffer);
        }
        if (m_in.size() - m_inEnd < 4096) {  // keep only the partial frame, at the front
            std::memmove(m_in.data(), m_in.data() + m_inStart, have);
            m_inStart = 0;
            m_inEnd = have;
        }
        OVERLAPPED ov = {};
        ov.hEvent = m_readEvent.get();
        DWORD n = 0;
        if ((!::ReadFile(m_pipe.get(), m_in.data() + m_inEnd, DWORD(m_in.size() - m_inEnd), nullptr, &ov) &&
             ::GetLastError() != ERROR_IO_PENDING) ||
            !Await(&ov, &n) || n == 0)
            return false;
        m_inEnd += n;
    }
}

}  // namespace zkbench
