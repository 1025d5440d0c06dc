#include "tests/support/HostileService.h"

#include "tools/tessaline-emu/DeviceFile.h"
#include "tools/tessaline-emu/EmuServer.h"
#include "tools/tessaline-emu/EmuState.h"

namespace zk_testkit {

using tessaline_emu::EmuFault;

namespace {

const DWORD kHoldTimeoutMs = 10000;  // for the kit's own client to be accepted

struct FaultRow {
    ServiceFault fault;
    const char* name;
    EmuFault emuFault;
};
const FaultRow kFaults[] = {
    {ServiceFault::kNone, "none", EmuFault::kNone},
    {ServiceFault::kStopReading, "stop-reading", EmuFault::kStopReading},
    {ServiceFault::kShortFrame, "short-frames", EmuFault::kShortFrames},
    {ServiceFault::kBusyOnlyInstance, "busy-only-instance", EmuFault::kNone},
    {ServiceFault::kRawLength, "raw-length", EmuFault::kRawLength},
    {ServiceFault::kHugeNotification, "huge-notification", EmuFault::kHugeNotification},
    {ServiceFault::kSlowReply, "slow-replies", EmuFault::kSlowReplies},
    {ServiceFault::kChurn, "churn", EmuFault::kChurn},
};

const FaultRow& RowOf(ServiceFault fault) {
    for (const FaultRow& row : kFaults)
        if (row.fault == fault) return row;
    return kFaults[0];
}

}  // namespace

const char* FaultName(ServiceFault fault) { return RowOf(fault).name; }

CHostileService::CHostileService(ServiceFault fault, std::wstring pipeName) : m_fault(fault) {
    m_options.pipeName = std::move(pipeName);
    m_options.quiet = true;
    m_options.fault = RowOf(fault).emuFault;
    m_options.faultDelayMs = kSlowReplyMs;
    if (fault == ServiceFault::kBusyOnlyInstance) {
        m_options.maxInstances = 1;
        m_options.defaultTimeoutMs = kHugeDefaultTimeoutMs;
    }
    if (fault == ServiceFault::kStopReading) m_options.bufferSize = kSmallBufferSize;
}

CHostileService::~CHostileService() { Stop(); }

bool CHostileService::Start() {
    if (m_server) return true;
    m_state.reset(new tessaline_emu::CEmuState(tessaline_emu::DefaultDevices(), std::wstring()));
    m_server.reset(new tessaline_emu::CEmuServer(m_options, *m_state));
    if (m_server->Start() != ERROR_SUCCESS) {
        Stop();
        return false;
    }
    if (m_fault == ServiceFault::kBusyOnlyInstance) {
        const std::wstring path = L"\\\\.\\pipe\\" + m_options.pipeName;
        m_held.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        // Taken once the server has accepted it (and greeted it: the greeting waits unread in the pipe).
        if (!m_held.is_valid() || !WaitFor([this] { return m_server->Connections(); }, 1, kHoldTimeoutMs)) {
            Stop();
            return false;
        }
        m_heldConnections = 1;
    }
    return true;
}

void CHostileService::Stop() {
    m_held.reset();
    if (m_server) m_server->Stop();
    m_server.reset();
    m_state.reset();
    m_heldConnections = 0;
}

bool CHostileService::ReleaseHeldInstance() {
    if (!m_held.is_valid()) return false;
    m_held.reset();
    return true;
}

uint32_t CHostileService::Connections() const {
    if (!m_server) return 0;
    const uint32_t all = m_server->Connections();
    return all >= m_heldConnections ? all - m_heldConnections : 0;
}

uint32_t CHostileService::Messages() const { return m_server ? m_server->Messages() : 0; }

bool CHostileService::WaitForConnections(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([this] { return Connections(); }, count, timeoutMs);
}

bool CHostileService::WaitForMessages(uint32_t count, DWORD timeoutMs) const {
    return WaitFor([this] { return Messages(); }, count, timeoutMs);
}

bool CHostileService::WaitFor(const std::function<uint32_t()>& counter, uint32_t count, DWORD timeoutMs) const {
    if (!m_server) return false;
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        if (counter() >= count) return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        // Set whenever a counter grows; it may be the other one, so look again.
        ::WaitForSingleObject(m_server->TrafficEvent(), static_cast<DWORD>(deadline - now));
    }
}

}  // namespace zk_testkit
