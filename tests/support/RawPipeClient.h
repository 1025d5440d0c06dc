// The client end of a service pipe for tests: raw bytes or whole messages,
// every operation with a time-out, messages described in a few words so a
// test compares strings.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipes/FrameReader.h"
#include "support/Holders.h"
#include "virt/api/SndProtocol.h"

namespace zk_testkit {

// A message (a request, or a notification of the service's) made by one of the protocol's builders, as
// long as the builder says.
template <class Build, class... Args>
std::vector<uint8_t> Message(Build build, Args... args) {
    std::vector<uint8_t> message(kSndMaxRequestSize);
    message.resize(build(message.data(), message.size(), args...));
    return message;
}

class CRawPipeClient {
public:
    // Waits up to 10 s for a free instance of path ("\\.\pipe\..."), opens it, and returns the
    // first message (every connection is greeted), as Next does.
    std::string Connect(const std::wstring& path);
    // A message with its length in front; with framed false the bytes as they are.
    bool Send(const std::vector<uint8_t>& message, bool framed = true);
    // Sends a request and returns the next message, as Next does.
    std::string Ask(const std::vector<uint8_t>& request, std::string* record = nullptr, DWORD timeoutMs = 5000) {
        return Send(request) ? Next(record, timeoutMs) : "not sent";
    }
    // The next whole message within timeoutMs as "event E", "device ID DEF RENDER EXTRA [NAME]",
    // "reply ID (COMMAND): status S" or "N bytes" (shorter than a header); else "timeout", "closed",
    // "refused N" (a length field above 1 MiB) or "error E". The payload of a message goes to *record.
    std::string Next(std::string* record = nullptr, DWORD timeoutMs = 5000);

private:
    // One overlapped read or write, cancelled after timeoutMs (what it moved until then still counts): 0 or the error.
    DWORD Transfer(bool write, uint8_t* data, DWORD size, DWORD timeoutMs, DWORD* done);

    CHandleHolder m_pipe;
    CHandleHolder m_event{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    uint8_t m_buffer[65536];
    std::optional<CFrameReader> m_reader{std::in_place};  // made anew by each Connect
};

}  // namespace zk_testkit
