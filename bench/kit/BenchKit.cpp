#include "bench/kit/BenchKit.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "virt/api/SndProtocol.h"

namespace zkbench {

namespace {
const wchar_t kServicePipe[] = L"\\\\.\\pipe\\3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";
const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tessaline Server\\";
const DWORD kInstances = 3;             // the DLL, the raw client, and one spare while one relistens
const DWORD kPipeBuffer = 65536;
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

// ---- the DLL -------------------------------------------------------------------

CApi::CApi() : m_module(::LoadLibraryW(L"zksndapi.dll")) {
    if (!m_module.is_valid()) return;
    auto get = [this](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(m_module.get(), name)); };
    Init = reinterpret_cast<PFN_ZkSndVApiInit>(get("ZkSndVApiInit"));
    CleanUp = reinterpret_cast<PFN_ZkSndVoid>(get("ZkSndVCleanUp"));
    GetDeviceList = reinterpret_cast<PFN_ZkSndVoid>(get("ZkSndVGetDeviceList"));
    DeInit = reinterpret_cast<PFN_ZkSndVoid>(get("ZkSndDeInit"));
    SetDefault = reinterpret_cast<PFN_ZkSndSetDefault>(get("ZkSndSetDefault"));
    GetSettings = reinterpret_cast<PFN_ZkSndGetSettings>(get("ZkSndGetSettings"));
    SetSettings = reinterpret_cast<PFN_ZkSndSetSettings>(get("ZkSndSetSettings"));
    m_loaded = Init && CleanUp && GetDeviceList && DeInit && SetDefault && GetSettings && SetSettings;
}

CNotifyLog::CNotifyLog() { ::InitializeConditionVariable(&m_changed); }

void CNotifyLog::Callback(uint32_t code, uintptr_t, void* context) {
    if (context) static_cast<CNotifyLog*>(context)->Arrived(code);
}

void CNotifyLog::Arrived(uint32_t code) {
    if (code >= 512) return;
    double now = NowUs();
    m_lock.lock();
    ++m_counts[code];
    m_lastAt[code] = now;
    m_lock.unlock();
    // Device records come 2000 at a time: only the codes someone waits for wake.
    if (code != ZKSND_NOTIFY_DEVICE_INFO) ::WakeAllConditionVariable(&m_changed);
}

void CNotifyLog::Reset() {
    m_lock.lock();
    std::memset(m_counts, 0, sizeof(m_counts));
    m_lock.unlock();
}

double CNotifyLog::WaitFor(uint32_t code, uint32_t count, DWORD timeoutMs) {
    const double deadline = NowUs() + timeoutMs * 1000.0;
    m_lock.lock();
    while (m_counts[code] < count) {
        double left = deadline - NowUs();
        if (left <= 0) {
            m_lock.unlock();
            return -1.0;
        }
        ::SleepConditionVariableCS(&m_changed, m_lock.get(), DWORD(left / 1000.0) + 1);
    }
    double at = m_lastAt[code];
    m_lock.unlock();
    return at;
}

uint32_t CNotifyLog::Count(uint32_t code) {
    m_lock.lock();
    uint32_t n = m_counts[code];
    m_lock.unlock();
    return n;
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

struct CServiceServer::Instance {
    CServiceServer* server = nullptr;
    CHandleHolder pipe;
    CHandleHolder ioEvent{lumlib::NewEvent()};
    lumlib::CWorkerThread thread;
    std::vector<uint8_t> in = std::vector<uint8_t>(kPipeBuffer);  // bytes read, frames cut from the front
    std::vector<uint8_t> out;                                     // a reply being written
};

namespace {

HANDLE CreateInstance() {
    return ::CreateNamedPipeW(kServicePipe, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, kPipeBuffer,
                              kPipeBuffer, 1000, nullptr);
}

void AppendFrame(std::vector<uint8_t>* stream, const uint8_t* message, size_t size) {
    uint8_t length[4];
    SndStoreU32(length, 0, uint32_t(size));
    stream->insert(stream->end(), length, length + 4);
    stream->insert(stream->end(), message, message + size);
}

}  // namespace

CServiceServer::CServiceServer(uint32_t devices) {
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
        m_deviceFrameSizes.push_back(uint32_t(size + 4));
    }
    size_t size = SndBuildLastDeviceInfo(message, sizeof(message));
    AppendFrame(&m_lastFrame, message, size);
}

CServiceServer::~CServiceServer() { Stop(); }

bool CServiceServer::Start() {
    if (!m_instances.empty()) return true;
    for (DWORD i = 0; i < kInstances; ++i) {
        m_instances.emplace_back(new Instance);
        Instance& in = *m_instances.back();
        in.server = this;
        in.pipe.reset(CreateInstance());
        if (!in.pipe.is_valid() || !in.ioEvent.is_valid()) {
            Stop();
            return false;
        }
    }
    for (auto& in : m_instances) in->thread.Start(&CServiceServer::ServeThread, in.get());
    return true;
}

void CServiceServer::Stop() {
    for (auto& in : m_instances) in->thread.Signal();
    for (auto& in : m_instances) in->thread.Join();
    m_instances.clear();  // closes the instances: a connected client sees a broken pipe
}

unsigned __stdcall CServiceServer::ServeThread(void* param) {
    Instance* in = static_cast<Instance*>(param);
    in->server->Serve(in);
    return 0;
}

namespace {

// Waits for an overlapped operation or the stop event; a stop cancels it and
// waits for the cancellation (the buffer is in use until then).
bool AwaitIo(HANDLE pipe, OVERLAPPED* ov, HANDLE stop, DWORD* n) {
    HANDLE waits[2] = {ov->hEvent, stop};
    if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
        return ::GetOverlappedResult(pipe, ov, n, FALSE) != FALSE;
    ::CancelIoEx(pipe, ov);
    ::GetOverlappedResult(pipe, ov, n, TRUE);
    return false;
}

}  // namespace

void CServiceServer::Serve(Instance* in) {
    HANDLE stop = in->thread.StopEvent();
    while (!lumlib::IsSignalled(stop)) {
        if (!in->pipe.is_valid()) in->pipe.reset(CreateInstance());
        if (!in->pipe.is_valid()) {
            ::WaitForSingleObject(stop, 20);
            continue;
        }
        HANDLE pipe = in->pipe.get();
        OVERLAPPED ov = {};
        ov.hEvent = in->ioEvent.get();
        DWORD n = 0;
        if (!::ConnectNamedPipe(pipe, &ov)) {
            DWORD error = ::GetLastError();
            if (error == ERROR_IO_PENDING) {
                if (!AwaitIo(pipe, &ov, stop, &n)) {
                    in->pipe.reset();
                    continue;
                }
            } else if (error != ERROR_PIPE_CONNECTED) {
                in->pipe.reset();
                continue;
            }
        }
        m_lock.lock();
        ++m_accepted;
        m_lock.unlock();
        ::WakeAllConditionVariable(&m_changed);

        size_t start = 0, end = 0;
        for (bool open = true; open;) {
            if (in->in.size() - end < 4096) {  // make room: move the partial frame to the front, grow if needed
                std::memmove(in->in.data(), in->in.data() + start, end - start);
                end -= start;
                start = 0;
                if (in->in.size() - end < 4096) in->in.resize(in->in.size() * 2);
            }
            ov = {};
            ov.hEvent = in->ioEvent.get();
            if (!::ReadFile(pipe, in->in.data() + end, DWORD(in->in.size() - end), nullptr, &ov) &&
                ::GetLastError() != ERROR_IO_PENDING)
                break;
            if (!AwaitIo(pipe, &ov, stop, &n) || n == 0) break;
            end += n;
            while (open && end - start >= 4) {
                uint32_t length = SndLoadU32(in->in.data(), start);
                if (length > kMaxFrame) open = false;
                else if (end - start - 4 < length) {
                    if (in->in.size() < length + 4) in->in.resize(length + 4 + kPipeBuffer);
                    break;
                } else {
                    open = Answer(in, in->in.data() + start + 4, length);
                    start += 4 + length;
                }
            }
            if (start == end) start = end = 0;
        }
        if (lumlib::IsSignalled(stop)) break;
        ::DisconnectNamedPipe(pipe);  // and listen again
    }
}

bool CServiceServer::Answer(Instance* in, const uint8_t* message, uint32_t length) {
    SndDecodedRequest request;
    if (!SndDecodeRequest(message, length, request)) return true;
    if (request.command < 16) {
        m_lock.lock();
        ++m_received[request.command];
        m_lock.unlock();
        ::WakeAllConditionVariable(&m_changed);
    }
    uint8_t reply[kSndSettingsReplySize];
    switch (request.command) {
    case nCmdGetSettings: {
        uint8_t settings[kSndSettingsSize];
        for (uint32_t i = 0; i < kSndSettingsSize; ++i) settings[i] = uint8_t(i);
        size_t size = SndBuildReply(reply, sizeof(reply), request.requestId, request.command, 0, settings);
        in->out.clear();
        AppendFrame(&in->out, reply, size);
        return WriteAll(in, in->out.data(), uint32_t(in->out.size()));
    }
    case nCmdSetSettings: {
        size_t size = SndBuildReply(reply, sizeof(reply), request.requestId, request.command, 0);
        in->out.clear();
        AppendFrame(&in->out, reply, size);
        return WriteAll(in, in->out.data(), uint32_t(in->out.size()));
    }
    case nCmdGetDeviceList: {
        const uint8_t* p = m_deviceStream.data();
        for (uint32_t size : m_deviceFrameSizes) {  // one write per frame, as a service sends them
            if (!WriteAll(in, p, size)) return false;
            p += size;
        }
        return WriteAll(in, m_lastFrame.data(), uint32_t(m_lastFrame.size()));
    }
    default:
        return true;
    }
}

bool CServiceServer::WriteAll(Instance* in, const uint8_t* data, uint32_t size) {
    while (size) {
        OVERLAPPED ov = {};
        ov.hEvent = in->ioEvent.get();
        DWORD n = 0;
        if (!::WriteFile(in->pipe.get(), data, size, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING)
            return false;
        if (!AwaitIo(in->pipe.get(), &ov, in->thread.StopEvent(), &n) || n == 0) return false;
        data += n;
        size -= n;
    }
    return true;
}

uint64_t CServiceServer::Received(uint32_t command) {
    m_lock.lock();
    uint64_t n = command < 16 ? m_received[command] : 0;
    m_lock.unlock();
    return n;
}

bool CServiceServer::WaitReceived(uint32_t command, uint64_t count, DWORD timeoutMs) {
    if (command >= 16) return false;
    const double deadline = NowUs() + timeoutMs * 1000.0;
    m_lock.lock();
    while (m_received[command] < count) {
        double left = deadline - NowUs();
        if (left <= 0) break;
        ::SleepConditionVariableCS(&m_changed, m_lock.get(), DWORD(left / 1000.0) + 1);
    }
    bool arrived = m_received[command] >= count;
    m_lock.unlock();
    return arrived;
}

uint64_t CServiceServer::Accepted() {
    m_lock.lock();
    uint64_t n = m_accepted;
    m_lock.unlock();
    return n;
}

// ---- the raw client ------------------------------------------------------------------

CRawClient::CRawClient() : m_readEvent(lumlib::NewEvent()), m_writeEvent(lumlib::NewEvent()) {}

bool CRawClient::Open(DWORD timeoutMs) {
    const double deadline = NowUs() + timeoutMs * 1000.0;
    m_in.resize(kPipeBuffer);
    m_inStart = m_inEnd = 0;
    for (;;) {
        m_pipe.reset(::CreateFileW(kServicePipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        if (m_pipe.is_valid()) return true;
        if (NowUs() > deadline) return false;
        // Busy or between instances: wait a little, bounded (the default wait can be very long).
        if (!::WaitNamedPipeW(kServicePipe, 50)) ::Sleep(10);
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
