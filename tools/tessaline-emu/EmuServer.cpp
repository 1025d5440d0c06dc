#include "tools/tessaline-emu/EmuServer.h"

#include <process.h>
#include <sddl.h>

#include <cstring>

#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/FrameReader.h"
#include "virt/api/SndProtocol.h"

namespace tessaline_emu {
namespace {

// Largest frame a client may send: far above any request of the library
// (8244 bytes), small enough never to be a memory problem.
const uint32_t kMaxFrame = 1024 * 1024;
const DWORD kPipeBufferSize = 65536;
const DWORD kReadChunk = 65536;

// Everyone may connect, also from a low-integrity process, as with the service.
const wchar_t kPipeSddl[] = L"D:(A;;GA;;;WD)S:(ML;;NW;;;LW)";

// Server-information payload: version 1.0, then the server's name.
std::vector<uint8_t> ServerInfoPayload() {
    static const wchar_t kName[] = L"Tessaline service emulator";
    std::vector<uint8_t> payload(16 + sizeof(kName), 0);
    SndStoreU32(payload.data(), 0, 1);  // major version
    SndStoreU32(payload.data(), 4, 0);  // minor version
    for (size_t i = 0; i < sizeof(kName) / sizeof(kName[0]); ++i) {
        payload[16 + 2 * i] = static_cast<uint8_t>(kName[i] & 0xFF);
        payload[17 + 2 * i] = static_cast<uint8_t>(kName[i] >> 8);
    }
    return payload;
}

std::wstring CommandName(uint32_t command) {
    switch (command) {
    case nCmdSetSessionId: return L"nCmdSetSessionId";
    case nCmdGetDeviceList: return L"nCmdGetDeviceList";
    case nCmdSetDefaultDevice: return L"nCmdSetDefaultDevice";
    case nCmdSetSettings: return L"nCmdSetSettings";
    case nCmdGetSettings: return L"nCmdGetSettings";
    default: return L"unknown command";
    }
}

std::wstring EventName(uint32_t event) { return zktools::FromUtf8(SndEventName(event)); }

}  // namespace

// ---- CEmuSession -----------------------------------------------------------

CEmuSession::CEmuSession(CEmuServer* server, HANDLE pipe, unsigned number)
    : m_server(server), m_pipe(pipe), m_number(number) {
    // Created here, so actions posted before the thread runs are not lost.
    m_wake.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_readEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_writeEvent.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CEmuSession::~CEmuSession() {
    if (m_thread.is_valid()) ::WaitForSingleObject(m_thread.get(), INFINITE);
}

bool CEmuSession::Start() {
    if (m_wake.is_valid() && m_readEvent.is_valid() && m_writeEvent.is_valid())
        m_thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CEmuSession::ThreadMain, this, 0, nullptr)));
    if (m_thread.is_valid()) return true;
    ::InterlockedExchange(&m_finished, 1);  // nothing runs: the next reap deletes it
    return false;
}

void CEmuSession::Post(LONG actions) {
    ::InterlockedOr(&m_actions, actions);
    ::SetEvent(m_wake.get());
}

unsigned __stdcall CEmuSession::ThreadMain(void* self) {
    static_cast<CEmuSession*>(self)->Run();
    return 0;
}

void CEmuSession::Print(const std::wstring& text) {
    m_server->Print(zktools::Format(L"[client %u] ", m_number) + text);
}

bool CEmuSession::Delay() {
    const uint32_t delay = m_server->Options().delayMs;
    if (delay == 0) return true;
    return ::WaitForSingleObject(m_server->StopEvent(), delay) == WAIT_TIMEOUT;
}

bool CEmuSession::SendMessage(const uint8_t* message, size_t length, const std::wstring& what) {
    const std::vector<uint8_t> frame = MakeFrame(std::vector<uint8_t>(message, message + length));
    size_t done = 0;
    while (done < frame.size()) {
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof(ov));
        ov.hEvent = m_writeEvent.get();
        DWORD written = 0;
        BOOL ok = ::WriteFile(m_pipe.get(), frame.data() + done, static_cast<DWORD>(frame.size() - done), nullptr, &ov);
        if (!ok && ::GetLastError() != ERROR_IO_PENDING) {
            m_endReason = L"write failed: " + zktools::ErrorText(::GetLastError());
            return false;
        }
        // A client that stops reading must not keep the emulator from stopping.
        HANDLE waits[2] = {m_writeEvent.get(), m_server->StopEvent()};
        const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) {
            ::CancelIo(m_pipe.get());
            ::GetOverlappedResult(m_pipe.get(), &ov, &written, TRUE);  // the buffer stays ours until it ends
            m_endReason = L"emulator stopping";
            return false;
        }
        if (!::GetOverlappedResult(m_pipe.get(), &ov, &written, FALSE)) {
            m_endReason = L"write failed: " + zktools::ErrorText(::GetLastError());
            return false;
        }
        done += written;
    }
    Print(L"-> " + what);
    return true;
}

bool CEmuSession::SendServerInfo() {
    const std::vector<uint8_t> payload = ServerInfoPayload();
    std::vector<uint8_t> message(SndNotificationSize(payload.size()));
    const size_t n = SndBuildServerInfo(message.data(), message.size(), payload.data(), payload.size());
    return SendMessage(message.data(), n, L"eZkSndRdpVServerInfo (1)");
}

bool CEmuSession::SendUnknown() {
    const uint32_t event = m_server->Options().unknownEvent;
    uint8_t message[kSndHeaderSize];
    const size_t n = SndBuildNotification(message, sizeof(message), event, nullptr, 0);
    return SendMessage(message, n, zktools::Format(L"%s (%u), no payload", EventName(event).c_str(), event));
}

bool CEmuSession::SendDeviceList() {
    const std::vector<EmuDevice> devices = m_server->State().Devices();
    std::vector<uint8_t> message;
    for (const EmuDevice& d : devices) {
        message.assign(SndDeviceInfoSize(d.name.size()), 0);
        const size_t n = SndBuildDeviceInfo(message.data(), message.size(), d.id, d.def, d.render, d.extra,
                                            reinterpret_cast<const char16_t*>(d.name.c_str()), d.name.size());
        const std::wstring what =
            zktools::Format(L"eZkSndRdpVDeviceInfo (2): id %u, def %u, render %u, extra %u, \"%s\"", d.id, d.def,
                            d.render, d.extra, d.name.c_str());
        if (!SendMessage(message.data(), n, what)) return false;
    }
    uint8_t last[kSndHeaderSize];
    const size_t n = SndBuildLastDeviceInfo(last, sizeof(last));
    return SendMessage(last, n, zktools::Format(L"eZkSndRdpVLastDeviceInfo (3): end of %u devices",
                                                static_cast<unsigned>(devices.size())));
}

bool CEmuSession::RunActions() {
    const LONG actions = ::InterlockedExchange(&m_actions, 0);
    if (actions & kActionDrop) {
        m_endReason = L"dropped on request";
        return false;
    }
    if ((actions & kActionUnknown) && !SendUnknown()) return false;
    if ((actions & kActionDevices) && !SendDeviceList()) return false;
    return true;
}

bool CEmuSession::HandleMessage(const std::vector<uint8_t>& message) {
    const EmuOptions& options = m_server->Options();
    ++m_received;
    SndDecodedRequest request;
    SndDecodeRequest(message.data(), message.size(), request);
    bool alive = true;
    if (!request.valid) {
        Print(zktools::Format(L"<- message of %u bytes, shorter than a header: ignored",
                              static_cast<unsigned>(message.size())));
    } else {
        std::wstring line = zktools::Format(L"<- %s (%u)", CommandName(request.command).c_str(), request.command);
        if (request.requestId != 0) line += zktools::Format(L" request %u", request.requestId);
        switch (request.command) {
        case nCmdSetSessionId:
            if (request.hasArgument) {
                m_sessionId = request.argument;
                m_haveSessionId = true;
                line += zktools::Format(L": session %u", request.argument);
            } else {
                line += L": no session id";
            }
            break;
        case nCmdSetDefaultDevice:
            if (request.hasArgument) line += zktools::Format(L": device %u", request.argument);
            else line += L": no device value";
            break;
        default:
            break;
        }
        if (!request.wellFormed)
            line += zktools::Format(L" [unusual: %u bytes received, size field %u]",
                                    static_cast<unsigned>(request.length), request.size);
        Print(line);

        switch (request.command) {
        case nCmdSetSessionId:
            break;  // nothing is answered
        case nCmdGetDeviceList:
            if (options.withhold & kWithholdDeviceList) Print(L"   device list withheld (--withhold)");
            else alive = Delay() && SendDeviceList();
            break;
        case nCmdSetDefaultDevice:
            if (request.hasArgument) {
                std::wstring name;
                if (m_server->State().SetDefault(request.argument, &name))
                    Print(zktools::Format(L"   device %u \"%s\" is now the default", request.argument, name.c_str()));
                else
                    Print(zktools::Format(L"   no device with id %u: nothing changed", request.argument));
            }
            break;
        case nCmdGetSettings: {
            if (options.withhold & kWithholdGetSettings) {
                Print(L"   reply withheld (--withhold)");
                break;
            }
            const uint32_t status = options.getStatus;
            uint8_t record[kSndSettingsSize];
            m_server->State().GetSettings(record);
            uint8_t reply[kSndSettingsReplySize];
            const size_t n = SndBuildReply(reply, sizeof(reply), request.requestId, request.command, status,
                                           status == 0 ? record : nullptr);
            alive = Delay() && SendMessage(reply, n,
                                           zktools::Format(L"reply to request %u: status %u%s", request.requestId,
                                                           status, status == 0 ? L", settings record" : L""));
            break;
        }
        case nCmdSetSettings: {
            if (options.withhold & kWithholdSetSettings) {
                Print(L"   reply withheld (--withhold)");
                break;
            }
            uint32_t status = options.setStatus;
            std::wstring note;
            if (request.settings == nullptr) {
                status = ERROR_INVALID_PARAMETER;
                note = L", no whole record received";
            } else if (status == 0) {
                DWORD error = 0;
                if (m_server->State().SetSettings(request.settings, &error)) {
                    note = L", record stored";
                } else {
                    status = error;
                    note = L", settings file not written: " + zktools::ErrorText(error);
                }
            } else {
                note = L", record not stored";
            }
            uint8_t reply[kSndHeaderSize];
            const size_t n = SndBuildReply(reply, sizeof(reply), request.requestId, request.command, status);
            alive = Delay() && SendMessage(reply, n,
                                           zktools::Format(L"reply to request %u: status %u%s", request.requestId,
                                                           status, note.c_str()));
            break;
        }
        default:
            // Answer numbered requests anyway, so their sender is not left waiting.
            if (request.requestId != 0) {
                uint8_t reply[kSndHeaderSize];
                const size_t n = SndBuildReply(reply, sizeof(reply), request.requestId, request.command,
                                               ERROR_INVALID_FUNCTION);
                alive = Delay() && SendMessage(reply, n,
                                               zktools::Format(L"reply to request %u: status %u (unknown command)",
                                                               request.requestId, ERROR_INVALID_FUNCTION));
            }
            break;
        }
    }
    if (alive && options.dropAfter != 0 && m_received >= options.dropAfter) {
        m_endReason = zktools::Format(L"dropped after %u messages (--drop-after)", m_received);
        return false;
    }
    return alive;
}

void CEmuSession::Run() {
    const EmuOptions& options = m_server->Options();
    Print(L"connected");
    bool alive = true;
    if (options.withhold & kWithholdServerInfo) Print(L"   server information withheld (--withhold)");
    else alive = Delay() && SendServerInfo();
    if (alive && options.sendUnknown) alive = SendUnknown();

    CFrameReader reader(kMaxFrame);
    std::vector<uint8_t> buffer(kReadChunk);
    std::vector<uint8_t> message;
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    bool readPending = false;
    while (alive) {
        if (!readPending) {
            std::memset(&ov, 0, sizeof(ov));
            ov.hEvent = m_readEvent.get();
            // Completion, immediate or not, is taken from the event below.
            if (!::ReadFile(m_pipe.get(), buffer.data(), kReadChunk, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
                const DWORD error = ::GetLastError();
                m_endReason = (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
                                  ? L"client closed the connection"
                                  : L"read failed: " + zktools::ErrorText(error);
                break;
            }
            readPending = true;
        }
        HANDLE waits[3] = {m_server->StopEvent(), m_wake.get(), m_readEvent.get()};
        const DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0) {
            m_endReason = L"emulator stopping";
            break;
        }
        if (w == WAIT_OBJECT_0 + 1) {
            alive = RunActions();
            continue;
        }
        if (w != WAIT_OBJECT_0 + 2) {
            m_endReason = L"wait failed: " + zktools::ErrorText(::GetLastError());
            break;
        }
        DWORD got = 0;
        readPending = false;
        if (!::GetOverlappedResult(m_pipe.get(), &ov, &got, FALSE)) {
            const DWORD error = ::GetLastError();
            m_endReason = (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED)
                              ? L"client closed the connection"
                              : L"read failed: " + zktools::ErrorText(error);
            break;
        }
        reader.Append(buffer.data(), got);
        for (;;) {
            uint32_t announced = 0;
            const CFrameReader::Result r = reader.Next(&message, &announced);
            if (r == CFrameReader::kNeedMore) break;
            if (r == CFrameReader::kTooLarge) {
                m_endReason = zktools::Format(L"frame of %u bytes announced, more than %u: connection broken",
                                              announced, kMaxFrame);
                alive = false;
                break;
            }
            alive = HandleMessage(message);
            if (!alive) break;
        }
    }
    if (readPending) {
        ::CancelIo(m_pipe.get());
        DWORD got = 0;
        ::GetOverlappedResult(m_pipe.get(), &ov, &got, TRUE);  // the buffer stays ours until it ends
    }
    // Only closed, not disconnected: DisconnectNamedPipe would throw away what
    // the client has not read yet (the answers just sent). After closing, the
    // client reads what is left and then gets ERROR_BROKEN_PIPE, as when a
    // service process ends.
    m_pipe.reset();
    if (m_haveSessionId) Print(zktools::Format(L"disconnected (session %u): ", m_sessionId) + m_endReason);
    else Print(L"disconnected: " + m_endReason);
    ::InterlockedExchange(&m_finished, 1);
    m_server->SessionEnded();
}

// ---- CEmuServer ------------------------------------------------------------

CEmuServer::CEmuServer(const EmuOptions& options, CEmuState& state)
    : m_options(options), m_state(state), m_pipePath(L"\\\\.\\pipe\\" + options.pipeName) {
    ::InitializeCriticalSection(&m_sessionsLock);
    std::memset(&m_security, 0, sizeof(m_security));
}

CEmuServer::~CEmuServer() {
    Stop();
    if (m_descriptor != nullptr) ::LocalFree(m_descriptor);
    ::DeleteCriticalSection(&m_sessionsLock);
}

void CEmuServer::Print(const std::wstring& text) {
    if (!m_options.quiet) zktools::PrintLine(zktools::TimeStamp() + L" " + text);
}

HANDLE CEmuServer::CreateInstance(bool first, DWORD* error) {
    const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    HANDLE pipe = ::CreateNamedPipeW(m_pipePath.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES,
                                     kPipeBufferSize, kPipeBufferSize, 0,
                                     m_descriptor != nullptr ? &m_security : nullptr);
    *error = (pipe == INVALID_HANDLE_VALUE) ? ::GetLastError() : 0;
    return pipe;
}

DWORD CEmuServer::Start() {
    if (m_thread.is_valid()) return 0;
    if (m_descriptor == nullptr &&
        ::ConvertStringSecurityDescriptorToSecurityDescriptorW(kPipeSddl, SDDL_REVISION_1, &m_descriptor, nullptr)) {
        m_security.nLength = sizeof(m_security);
        m_security.lpSecurityDescriptor = m_descriptor;
        m_security.bInheritHandle = FALSE;
    }
    m_stop.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    m_reap.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!m_stop.is_valid() || !m_reap.is_valid()) return ::GetLastError();
    // A pipe that exists already answers the wait (or reports all instances
    // busy); only a free name fails with "not found". This catches a running
    // server also where the first-instance flag below is not enforced (Wine).
    if (::WaitNamedPipeW(m_pipePath.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND) return ERROR_PIPE_BUSY;
    DWORD error = 0;
    m_firstInstance.reset(CreateInstance(true, &error));
    if (!m_firstInstance.is_valid()) return error;
    m_thread.reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &CEmuServer::ThreadMain, this, 0, nullptr)));
    if (!m_thread.is_valid()) {
        error = ::GetLastError();
        m_firstInstance.reset();
        return error != 0 ? error : ERROR_NOT_ENOUGH_MEMORY;
    }
    Print(L"serving " + m_pipePath);
    return 0;
}

void CEmuServer::Stop() {
    if (!m_thread.is_valid()) return;
    ::SetEvent(m_stop.get());
    ::WaitForSingleObject(m_thread.get(), INFINITE);
    m_thread.reset();
    Reap(true);  // every session sees the stop event and ends
}

unsigned __stdcall CEmuServer::ThreadMain(void* self) {
    static_cast<CEmuServer*>(self)->Listen();
    return 0;
}

void CEmuServer::Reap(bool all) {
    std::vector<std::unique_ptr<CEmuSession>> ended;
    {
        lumlib::__auto_locker guard(&m_sessionsLock);
        guard.Lock();
        for (size_t i = 0; i < m_sessions.size();) {
            if (all || m_sessions[i]->Finished()) {
                ended.push_back(std::move(m_sessions[i]));
                m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    ended.clear();  // outside the lock: each destructor waits for its thread
}

void CEmuServer::PostToAll(LONG actions) {
    lumlib::__auto_locker guard(&m_sessionsLock);
    guard.Lock();
    for (auto& session : m_sessions)
        if (!session->Finished()) session->Post(actions);
}

size_t CEmuServer::ClientCount() {
    lumlib::__auto_locker guard(&m_sessionsLock);
    guard.Lock();
    size_t n = 0;
    for (auto& session : m_sessions)
        if (!session->Finished()) ++n;
    return n;
}

void CEmuServer::Listen() {
    CHandleHolder connectEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandleHolder instance(m_firstInstance.release());
    if (!connectEvent.is_valid()) {
        Print(L"cannot create an event: " + zktools::ErrorText(::GetLastError()));
        return;
    }
    for (;;) {
        if (!instance.is_valid()) {
            DWORD error = 0;
            instance.reset(CreateInstance(false, &error));
            if (!instance.is_valid()) {
                Print(L"cannot create a pipe instance: " + zktools::ErrorText(error));
                // Try again shortly, unless we are asked to stop meanwhile.
                if (::WaitForSingleObject(m_stop.get(), 1000) != WAIT_TIMEOUT) return;
                continue;
            }
        }
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof(ov));
        ov.hEvent = connectEvent.get();
        ::ResetEvent(connectEvent.get());
        bool connected = false;
        bool pending = false;
        if (::ConnectNamedPipe(instance.get(), &ov)) {
            connected = true;
        } else {
            const DWORD error = ::GetLastError();
            if (error == ERROR_PIPE_CONNECTED) connected = true;
            else if (error == ERROR_IO_PENDING) pending = true;
            else {
                Print(L"waiting for a client failed: " + zktools::ErrorText(error));
                instance.reset();
                if (::WaitForSingleObject(m_stop.get(), 1000) != WAIT_TIMEOUT) return;
                continue;
            }
        }
        while (pending) {
            HANDLE waits[3] = {m_stop.get(), m_reap.get(), connectEvent.get()};
            const DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
            if (w == WAIT_OBJECT_0 + 1) {
                Reap(false);
                continue;
            }
            if (w != WAIT_OBJECT_0 + 2) {  // stop (or a failed wait): end listening
                ::CancelIo(instance.get());
                DWORD n = 0;
                ::GetOverlappedResult(instance.get(), &ov, &n, TRUE);
                return;  // the holder closes the instance
            }
            pending = false;
            DWORD n = 0;
            connected = ::GetOverlappedResult(instance.get(), &ov, &n, FALSE) || ::GetLastError() == ERROR_PIPE_CONNECTED;
        }
        if (!connected) {
            instance.reset();
            continue;
        }
        // Listed before its thread starts: once the client sees its greeting,
        // control actions reach it.
        CEmuSession* session = new CEmuSession(this, instance.release(), m_nextNumber++);
        {
            lumlib::__auto_locker guard(&m_sessionsLock);
            guard.Lock();
            m_sessions.emplace_back(session);
        }
        if (!session->Start()) {
            Print(L"cannot start a client thread: " + zktools::ErrorText(::GetLastError()));
            ::SetEvent(m_reap.get());  // the reap closes its pipe
        }
    }
}

}  // namespace tessaline_emu
