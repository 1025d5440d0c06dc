#include "tests/support/RawPipeClient.h"

#include "tests/support/DeviceName.h"
#include "tools/common/ConsoleOut.h"

namespace zk_testkit {

std::string CRawPipeClient::Connect(const std::wstring& path) {
    ::WaitNamedPipeW(path.c_str(), 10000);  // every instance may be taken for a moment
    m_reader.emplace();
    m_pipe.reset(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    return m_pipe.is_valid() ? Next() : "not connected";
}

bool CRawPipeClient::Send(const std::vector<uint8_t>& message, bool framed) {
    std::vector<uint8_t> bytes = framed ? MakeFrame(message) : message;
    DWORD written = 0;
    return Transfer(true, bytes.data(), static_cast<DWORD>(bytes.size()), INFINITE, &written) == 0 &&
           written == bytes.size();
}

std::string CRawPipeClient::Next(std::string* record, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    std::vector<uint8_t> m;
    for (;;) {
        const uint8_t* frame = nullptr;
        uint32_t length = 0;
        const CFrameReader::Result r = m_reader->Next(&frame, &length);
        if (r == CFrameReader::kFrame) {
            m.assign(frame, frame + length);
            break;
        }
        if (r == CFrameReader::kTooLarge) return "refused " + std::to_string(m_reader->Announced());
        const ULONGLONG now = ::GetTickCount64(), left = now >= deadline ? 0 : deadline - now;
        DWORD got = 0;
        const DWORD error = Transfer(false, m_buffer, sizeof(m_buffer), static_cast<DWORD>(left), &got);
        // the server ended the connection
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED) return "closed";
        if (error != 0) return error == ERROR_OPERATION_ABORTED ? "timeout" : "error " + std::to_string(error);
        m_reader->Append(m_buffer, got);
    }
    if (record != nullptr && m.size() >= kSndOffPayload) record->assign(m.begin() + kSndOffPayload, m.end());
    SndDecodedMsg d = {};
    const SndMsgKind kind = SndDecodeMessage(m.data(), m.size(), d);
    if (kind == SndMsgKind::Reply)
        return "reply " + std::to_string(d.requestId) + " (" + std::to_string(d.command) + "): status " +
               std::to_string(d.status);
    if (kind != SndMsgKind::Notification) return std::to_string(m.size()) + " bytes";
    if (d.event != eZkSndRdpVDeviceInfo) return "event " + std::to_string(d.event);
    const std::u16string units = DeviceName(d.device);
    const std::wstring name(units.begin(), units.end());
    return zktools::ToUtf8(zktools::Format(L"device %u %u %u %u [%s]", d.device.field0, d.device.def,
                                           d.device.render, d.device.field3, name.c_str()));
}

DWORD CRawPipeClient::Transfer(bool write, uint8_t* data, DWORD size, DWORD timeoutMs, DWORD* done) {
    OVERLAPPED ov = {};
    ov.hEvent = m_event.get();
    if (!(write ? ::WriteFile(m_pipe.get(), data, size, nullptr, &ov) : ::ReadFile(m_pipe.get(), data, size, nullptr, &ov)) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return ::GetLastError();
    if (::WaitForSingleObject(m_event.get(), timeoutMs) != WAIT_OBJECT_0) ::CancelIoEx(m_pipe.get(), &ov);
    return ::GetOverlappedResult(m_pipe.get(), &ov, done, TRUE) ? 0 : ::GetLastError();
}

}  // namespace zk_testkit
