#include "tests/support/HostileService.h"

#include <algorithm>
#include <iterator>

#include "tools/tessaline-emu/DeviceFile.h"

namespace zk_testkit {

CHostileService::CHostileService(EmuFault fault, bool busyOnlyInstance) : m_busyOnlyInstance(busyOnlyInstance) {
    m_options.pipeName = kServicePipeName;
    // The traffic lines of connections, their ends and requests are kept (a fault sweep's child runs for minutes).
    m_options.output = [this](const std::wstring& line) {  // on the sessions' threads
        if (line.find(L"] connected") != std::wstring::npos || line.find(L"] disconnected") != std::wstring::npos ||
            line.find(L"] <- ") != std::wstring::npos)
            m_observed.Note([&] { m_traffic.push_back(line); });
    };
    m_options.fault = fault;
    if (busyOnlyInstance) {
        m_options.maxInstances = 1;
        m_options.defaultTimeoutMs = 24u * 24 * 60 * 60 * 1000;  // 24 days
    }
    if (fault == EmuFault::kStopReading) m_options.bufferSize = 4096;  // a client blocks after a few messages
}

bool CHostileService::Start() {
    if (m_server) return true;
    m_traffic.clear();  // no session runs yet to print a line
    m_state.reset(new tessaline_emu::CEmuState(tessaline_emu::DefaultDevices(), std::wstring()));
    m_server.reset(new tessaline_emu::CEmuServer(m_options, *m_state));
    tessaline_emu::PipeServerConfig config;  // the emulator's, without its pipe security and printing
    config.name = m_options.pipeName;
    config.maxInstances = m_options.maxInstances;
    config.defaultTimeoutMs = m_options.defaultTimeoutMs;
    config.bufferSize = m_options.bufferSize;
    config.readMessages = m_options.fault != EmuFault::kStopReading;
    m_pipe.reset(new tessaline_emu::CPipeServer(config, [this](const std::shared_ptr<tessaline_emu::CPipeSession>& session) {
        m_observed.Read([&] {
            if (!m_first) m_first = session;
        });
        return std::unique_ptr<tessaline_emu::IPipeConnectionHandler>(new tessaline_emu::CEmuSession(m_server.get()));
    }));
    if (m_pipe->Start() != ERROR_SUCCESS) {
        Stop();
        return false;
    }
    if (m_busyOnlyInstance) {
        const std::wstring path = L"\\\\.\\pipe\\" + m_options.pipeName;
        m_held.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OVERLAPPED, nullptr));
        // Taken once the server has accepted it, within 10 s (and greeted it: the greeting waits unread in the pipe).
        if (!m_held.is_valid() || Traffic(L"] connected", 1, 10000).empty()) {
            Stop();
            return false;
        }
    }
    return true;
}

void CHostileService::Stop() {
    m_held.reset();
    m_pipe.reset();  // ends every connection and joins every thread
    m_observed.Read([&] { m_first.reset(); });
    m_server.reset();
    m_state.reset();
}

bool CHostileService::Write(const void* bytes, size_t size) {
    const std::shared_ptr<tessaline_emu::CPipeSession> first = m_observed.Get(m_first);  // unlocked: the write may wait
    return first && first->Write(bytes, size);
}

bool CHostileService::WaitForConnections(uint32_t count, DWORD timeoutMs) {
    const size_t all = count + (m_held.is_valid() ? 1 : 0);  // and the kit's own client of the busy only instance
    return Traffic(L"] connected", all, timeoutMs).size() >= all;
}

std::vector<std::wstring> CHostileService::Traffic(const std::wstring& text, size_t count, DWORD timeoutMs) {
    std::vector<std::wstring> found;
    m_observed.WaitFor([&] {
        found.clear();
        std::copy_if(m_traffic.begin(), m_traffic.end(), std::back_inserter(found),
                     [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; });
        return found.size() >= count;
    }, timeoutMs);
    return found;
}

}  // namespace zk_testkit
