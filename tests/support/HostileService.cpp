#include "tests/support/HostileService.h"

#include "tools/tessaline-emu/DeviceFile.h"
#include "virt/api/SndServiceMessages.h"

namespace zk_testkit {

using tessaline_emu::EmuFault;

namespace {

const DWORD kHoldTimeoutMs = 10000;  // for the kit's own client to be accepted

// Indexed by ServiceFault.
const EmuFault kEmuFaults[] = {EmuFault::kNone,      EmuFault::kStopReading,       EmuFault::kShortFrames,
                               EmuFault::kNone,      EmuFault::kRawLength,         EmuFault::kHugeNotification,
                               EmuFault::kSlowReplies, EmuFault::kChurn};

}  // namespace

// The emulator's session, noting each request before it answers it.
class CHostileService::CRecordingSession : public tessaline_emu::CEmuSession {
public:
    explicit CRecordingSession(CHostileService& kit) : CEmuSession(kit.m_server.get()), m_kit(kit) {}
    bool OnMessage(tessaline_emu::CPipeSession& session, const uint8_t* message, uint32_t length) override {
        m_kit.Note(message, length);
        return CEmuSession::OnMessage(session, message, length);  // counts it: a waiter looks again
    }

private:
    CHostileService& m_kit;
};

CHostileService::CHostileService(ServiceFault fault) : m_fault(fault) {
    m_options.pipeName = kServicePipeName;
    m_options.quiet = true;
    m_options.fault = kEmuFaults[int(fault)];
    m_options.faultDelayMs = kSlowReplyMs;
    if (fault == ServiceFault::kBusyOnlyInstance) {
        m_options.maxInstances = 1;
        m_options.defaultTimeoutMs = 24u * 24 * 60 * 60 * 1000;  // 24 days
    }
    if (fault == ServiceFault::kStopReading) m_options.bufferSize = 4096;  // a client blocks after a few messages
}

CHostileService::~CHostileService() { Stop(); }

bool CHostileService::Start() {
    if (m_server) return true;
    m_received.clear();  // no session runs yet to note a request
    m_state.reset(new tessaline_emu::CEmuState(tessaline_emu::DefaultDevices(), std::wstring()));
    m_server.reset(new tessaline_emu::CEmuServer(m_options, *m_state));
    tessaline_emu::PipeServerConfig config;  // the emulator's, without its pipe security and printing
    config.name = m_options.pipeName;
    config.maxInstances = m_options.maxInstances;
    config.defaultTimeoutMs = m_options.defaultTimeoutMs;
    config.bufferSize = m_options.bufferSize;
    config.readMessages = m_options.fault != EmuFault::kStopReading;
    m_pipe.reset(new tessaline_emu::CPipeServer(config, [this](const std::shared_ptr<tessaline_emu::CPipeSession>& session) {
        const std::lock_guard<std::mutex> lock(m_lock);
        if (!m_first) m_first = session;
        return std::unique_ptr<tessaline_emu::IPipeConnectionHandler>(new CRecordingSession(*this));
    }));
    if (m_pipe->Start() != ERROR_SUCCESS) {
        Stop();
        return false;
    }
    if (m_fault == ServiceFault::kBusyOnlyInstance) {
        const std::wstring path = L"\\\\.\\pipe\\" + m_options.pipeName;
        m_held.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        // Taken once the server has accepted it (and greeted it: the greeting waits unread in the pipe).
        if (!m_held.is_valid() || !WaitForTraffic([&] { return m_server->Connections() >= 1; }, kHoldTimeoutMs)) {
            Stop();
            return false;
        }
    }
    return true;
}

void CHostileService::Stop() {
    m_held.reset();
    m_pipe.reset();  // ends every connection and joins every thread
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_first.reset();
    }
    m_server.reset();
    m_state.reset();
}

bool CHostileService::Write(const void* bytes, size_t size) {
    std::shared_ptr<tessaline_emu::CPipeSession> first;
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        first = m_first;
    }
    return first && first->Write(bytes, size);
}

bool CHostileService::WaitForConnections(uint32_t count, DWORD timeoutMs) const {
    const uint32_t held = m_held.is_valid() ? 1 : 0;  // the kit's own client of kBusyOnlyInstance
    return WaitForTraffic([&] { return m_server->Connections() >= count + held; }, timeoutMs);
}

void CHostileService::Note(const uint8_t* message, uint32_t length) {
    SndDecodedRequest request;
    if (!SndDecodeRequest(message, length, request)) return;
    const std::lock_guard<std::mutex> lock(m_lock);
    m_received.push_back(ReceivedRequest{request.command, request.requestId,
                                         request.hasArgument ? request.argument : 0, request.wellFormed});
}

std::vector<ReceivedRequest> CHostileService::Requests(uint32_t command, size_t count, DWORD timeoutMs) const {
    std::vector<ReceivedRequest> found;
    const auto look = [&] {
        found.clear();
        const std::lock_guard<std::mutex> lock(m_lock);
        for (const ReceivedRequest& r : m_received) {
            if (r.command == command) found.push_back(r);
        }
        return found.size() >= count;
    };
    WaitForTraffic(look, timeoutMs);
    return found;
}

bool CHostileService::WaitForTraffic(const std::function<bool()>& done, DWORD timeoutMs) const {
    if (!m_server) return false;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (done()) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        // Set whenever a traffic counter grows; it may be the other one, so look again.
        ::WaitForSingleObject(m_server->TrafficEvent(), static_cast<DWORD>(deadline - now));
    }
}

}  // namespace zk_testkit
