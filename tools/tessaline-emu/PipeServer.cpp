#include "tools/tessaline-emu/PipeServer.h"

#include <cstring>
#include <mutex>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"

namespace tessaline_emu {
namespace {

const DWORD kReadChunk = 65536;
// How long the listener waits before trying again to create an instance
// that could not be created (it also tries as soon as a connection ends).
const DWORD kRetryMs = 1000;

bool IsClientGone(DWORD error) { return error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED; }

}  // namespace

// ---- CPipeSession -----------------------------------------------------------

CPipeSession::CPipeSession(CPipeServer* server, unsigned number)
    : m_server(server), m_number(number), m_wake(lumlib::NewEvent(false)), m_ending(lumlib::NewEvent()),
      m_readEvent(lumlib::NewEvent()), m_writeEvent(lumlib::NewEvent()), m_reader(server->Config().maxFrame) {}

void CPipeSession::Adopt(HANDLE pipe) {
    m_pipe.reset(pipe);
    m_haveClientSession = ::GetNamedPipeClientSessionId(m_pipe.get(), &m_clientSession) != FALSE;
}

CPipeSession::~CPipeSession() { m_thread.Join(); }

bool CPipeSession::Start(std::unique_ptr<IPipeConnectionHandler> handler) {
    m_handler = std::move(handler);
    if (m_handler && m_wake.is_valid() && m_ending.is_valid() && m_readEvent.is_valid() && m_writeEvent.is_valid() &&
        m_thread.Start(&CPipeSession::ThreadMain, this) == ERROR_SUCCESS)
        return true;
    m_pipe.reset();
    m_finished = true;  // never ran: the next reap drops it
    return false;
}

unsigned __stdcall CPipeSession::ThreadMain(void* self) {
    static_cast<CPipeSession*>(self)->Run();
    return 0;
}

void CPipeSession::End(EndHow how) {
    LONG none = kEndNone;
    m_endHow.compare_exchange_strong(none, how);
    ::SetEvent(m_ending.get());
}

void CPipeSession::Post(uint32_t actions) {
    m_actions.fetch_or(actions);
    ::SetEvent(m_wake.get());
}

bool CPipeSession::Pause(DWORD ms) {
    if (ms == 0) return true;
    HANDLE waits[2] = {m_server->StopEvent(), m_ending.get()};
    return ::WaitForMultipleObjects(2, waits, FALSE, ms) == WAIT_TIMEOUT;
}

bool CPipeSession::Write(const void* bytes, size_t size, DWORD timeoutMs) {
    const auto lock = m_writeLock.lock();
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    while (size != 0) {
        if (!m_pipe.is_valid()) return false;
        const DWORD chunk = size > MAXDWORD ? MAXDWORD : static_cast<DWORD>(size);
        OVERLAPPED ov;
        std::memset(&ov, 0, sizeof(ov));
        ov.hEvent = m_writeEvent.get();
        DWORD written = 0;
        if (!::WriteFile(m_pipe.get(), p, chunk, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
            if (m_endReason.empty() && m_thread.IsCurrent()) m_endReason = L"write failed: " + zktools::ErrorText(::GetLastError());
            return false;
        }
        DWORD wait = INFINITE;
        if (timeoutMs != INFINITE) {
            const ULONGLONG now = ::GetTickCount64();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        // A client that stops reading must keep neither the server nor an ending connection waiting.
        HANDLE waits[3] = {m_writeEvent.get(), m_server->StopEvent(), m_ending.get()};
        const DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, wait);
        if (w != WAIT_OBJECT_0) {
            ::CancelIoEx(m_pipe.get(), &ov);
            ::GetOverlappedResult(m_pipe.get(), &ov, &written, TRUE);  // the bytes are in use until it has ended
            if (m_endReason.empty() && m_thread.IsCurrent())
                m_endReason = w == WAIT_OBJECT_0 + 2 ? EndingReason() : L"write not finished";
            return false;
        }
        if (!::GetOverlappedResult(m_pipe.get(), &ov, &written, FALSE) || written == 0) {
            if (m_endReason.empty() && m_thread.IsCurrent()) m_endReason = L"write failed: " + zktools::ErrorText(::GetLastError());
            return false;
        }
        p += written;
        size -= written;
    }
    return true;
}

bool CPipeSession::SendMessage(const void* message, size_t length, DWORD timeoutMs) {
    const std::vector<uint8_t> frame = MakeFrame(message, length);
    return Write(frame.data(), frame.size(), timeoutMs);
}

template <class F>
bool CPipeSession::Guarded(F&& call) {
    bool result = false;
    const uint32_t error = lumlib::CatchReturn([&] { result = call(); });
    if (error == ERROR_SUCCESS) return result;
    m_endReason = L"handler failed: " + zktools::ErrorText(error);
    return false;
}

bool CPipeSession::ReadMessages(DWORD got) {
    m_bytesRead += got;
    if (!m_reader.Append(m_readBuffer.data(), got)) {
        m_endReason = L"out of memory";
        return false;
    }
    for (;;) {
        const uint8_t* message = nullptr;
        uint32_t length = 0;
        switch (m_reader.Next(&message, &length)) {
        case CFrameReader::kNeedMore:
            return true;
        case CFrameReader::kTooLarge:
            m_endReason = L"frame of " + std::to_wstring(m_reader.Announced()) + L" bytes announced, more than " +
                          std::to_wstring(m_reader.MaxFrame()) + L": connection broken";
            return false;
        case CFrameReader::kFrame:
            if (!Guarded([&] { return m_handler->OnMessage(*this, message, length); })) return false;
            break;
        }
    }
}

void CPipeSession::Run() {
    bool alive = Guarded([&] { return m_handler->OnConnected(*this); });
    m_readBuffer.resize(kReadChunk);
    while (alive) alive = Turn();
    Close();
    if (m_endReason.empty()) m_endReason = L"ended by the server";
    m_handler->OnEnded(*this, m_endReason);
    m_finished = true;
    m_server->SessionEnded();
}

const wchar_t* CPipeSession::EndingReason() const {
    return m_endHow == kEndDisconnect ? L"disconnected on request" : L"dropped on request";
}

bool CPipeSession::Turn() {
    const bool reading = m_server->Config().readMessages;
    if (reading && !m_readPending && !StartRead()) return false;
    HANDLE waits[4] = {m_server->StopEvent(), m_ending.get(), m_wake.get(), m_readEvent.get()};
    switch (::WaitForMultipleObjects(reading ? 4 : 3, waits, FALSE, INFINITE)) {
    case WAIT_OBJECT_0:
        m_endReason = L"server stopping";
        return false;
    case WAIT_OBJECT_0 + 1:
        m_endReason = EndingReason();
        return false;
    case WAIT_OBJECT_0 + 2:
        return TakeActions();
    case WAIT_OBJECT_0 + 3:
        return FinishRead();
    default:
        m_endReason = L"wait failed: " + zktools::ErrorText(::GetLastError());
        return false;
    }
}

bool CPipeSession::StartRead() {
    std::memset(&m_readOv, 0, sizeof(m_readOv));
    m_readOv.hEvent = m_readEvent.get();
    // Completion, immediate or not, is taken from the event.
    if (!::ReadFile(m_pipe.get(), m_readBuffer.data(), kReadChunk, nullptr, &m_readOv) &&
        ::GetLastError() != ERROR_IO_PENDING)
        return ReadFailed(::GetLastError());
    m_readPending = true;
    return true;
}

bool CPipeSession::FinishRead() {
    DWORD got = 0;
    m_readPending = false;
    if (!::GetOverlappedResult(m_pipe.get(), &m_readOv, &got, FALSE)) return ReadFailed(::GetLastError());
    return ReadMessages(got);
}

bool CPipeSession::ReadFailed(DWORD error) {
    m_clientGone = IsClientGone(error);
    m_endReason = m_clientGone ? L"client closed the connection" : L"read failed: " + zktools::ErrorText(error);
    return false;
}

bool CPipeSession::TakeActions() {
    const uint32_t actions = m_actions.exchange(0);
    return actions == 0 || Guarded([&] { return m_handler->OnActions(*this, actions); });
}

void CPipeSession::Close() {
    if (m_readPending) {
        ::CancelIoEx(m_pipe.get(), &m_readOv);
        DWORD got = 0;
        ::GetOverlappedResult(m_pipe.get(), &m_readOv, &got, TRUE);  // the buffer is in use until it has ended
        m_readPending = false;
    }
    const auto lock = m_writeLock.lock();
    // By default only closed: disconnecting would throw away what the
    // client has not read yet (the answers just sent). A disconnected
    // instance goes back to the listener, so the name stays served even
    // when the instance limit is reached.
    const bool reuse = m_clientGone || m_endHow == kEndDisconnect;
    if (reuse) ::DisconnectNamedPipe(m_pipe.get());
    if (reuse && !lumlib::IsSignalled(m_server->StopEvent())) m_server->GiveBack(m_pipe.release());
    m_pipe.reset();
}

// ---- CPipeServer ------------------------------------------------------------

CPipeServer::CPipeServer(PipeServerConfig config, HandlerFactory factory)
    : m_config(std::move(config)), m_factory(std::move(factory)), m_path(L"\\\\.\\pipe\\" + m_config.name),
      m_stop(lumlib::NewEvent()), m_reap(lumlib::NewEvent(false)) {}

CPipeServer::~CPipeServer() { Stop(); }

HANDLE CPipeServer::CreateInstance(bool first, DWORD* error) {
    const DWORD openMode = (m_config.inboundOnly ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_DUPLEX) | FILE_FLAG_OVERLAPPED |
                           (first && m_config.firstInstance ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    const DWORD pipeMode =
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | (m_config.rejectRemote ? PIPE_REJECT_REMOTE_CLIENTS : 0);
    HANDLE pipe = ::CreateNamedPipeW(m_path.c_str(), openMode, pipeMode, m_config.maxInstances, m_config.bufferSize,
                                     m_config.bufferSize, m_config.defaultTimeoutMs, m_config.security);
    *error = pipe == INVALID_HANDLE_VALUE ? lumlib::LastErrorOr(ERROR_GEN_FAILURE) : 0;
    return pipe;
}

DWORD CPipeServer::Start() {
    if (m_listener.IsStarted()) return 0;
    if (!m_stop.is_valid() || !m_reap.is_valid()) return ERROR_NOT_ENOUGH_MEMORY;
    ::ResetEvent(m_stop.get());
    // A name that exists answers the wait (or reports every instance busy);
    // only a free name fails with "not found". This catches a running server
    // also where the first-instance flag is not enforced.
    if (m_config.firstInstance &&
        (::WaitNamedPipeW(m_path.c_str(), 1) || ::GetLastError() != ERROR_FILE_NOT_FOUND))
        return ERROR_PIPE_BUSY;
    DWORD error = 0;
    m_firstInstance.reset(CreateInstance(true, &error));
    if (!m_firstInstance.is_valid()) return error;
    error = m_listener.Start(&CPipeServer::ListenMain, this);
    if (error != ERROR_SUCCESS) m_firstInstance.reset();
    return error;
}

void CPipeServer::Stop() {
    if (!m_listener.IsStarted()) return;
    ::SetEvent(m_stop.get());
    m_listener.Join();
    m_firstInstance.reset();
    Reap(true);  // every session sees the stop event and ends
    const auto lock = m_sessionsLock.lock();
    m_spare.reset();
}

void CPipeServer::GiveBack(HANDLE instance) {
    const auto lock = m_sessionsLock.lock();
    m_spare.reset(instance);  // one is enough: the listener needs one at a time
}

HANDLE CPipeServer::TakeSpare() {
    const auto lock = m_sessionsLock.lock();
    return m_spare.release();
}

unsigned __stdcall CPipeServer::ListenMain(void* self) {
    static_cast<CPipeServer*>(self)->Listen();
    return 0;
}

std::vector<std::shared_ptr<CPipeSession>> CPipeServer::Sessions() {
    const auto lock = m_sessionsLock.lock();
    std::vector<std::shared_ptr<CPipeSession>> live;
    for (const auto& s : m_sessions)
        if (!s->Finished()) live.push_back(s);
    return live;
}

void CPipeServer::PostToAll(uint32_t actions) {
    for (const auto& s : Sessions()) s->Post(actions);
}

void CPipeServer::EndAll(CPipeSession::EndHow how) {
    for (const auto& s : Sessions()) s->End(how);
}

size_t CPipeServer::ClientCount() { return Sessions().size(); }

void CPipeServer::Reap(bool all) {
    std::vector<std::shared_ptr<CPipeSession>> ended;
    {
        const auto lock = m_sessionsLock.lock();
        for (size_t i = 0; i < m_sessions.size();) {
            if (all || m_sessions[i]->Finished()) {
                ended.push_back(std::move(m_sessions[i]));
                m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    for (const auto& s : ended) s->Join();  // outside the lock: a session may still be looking at the list
}

void CPipeServer::Accept(CHandleHolder& instance) {
    auto session = std::make_shared<CPipeSession>(this, m_nextNumber++);
    session->Adopt(instance.release());  // from here on the session closes it, also when the factory raises
    std::unique_ptr<IPipeConnectionHandler> handler = m_factory(session);
    {
        // Listed before its thread starts, so actions posted once the client is greeted reach it.
        const auto lock = m_sessionsLock.lock();
        m_sessions.push_back(session);
    }
    if (!session->Start(std::move(handler))) {
        Log(L"cannot start a client thread: " + zktools::ErrorText(lumlib::LastErrorOr(ERROR_NOT_ENOUGH_MEMORY)));
        SessionEnded();
    }
}

void CPipeServer::Listen() {
    CHandleHolder connectEvent(lumlib::NewEvent());
    CHandleHolder instance(m_firstInstance.release());
    if (!connectEvent.is_valid()) {
        Log(L"cannot create an event: " + zktools::ErrorText(::GetLastError()));
        return;
    }
    for (;;) {
        if (!instance.is_valid()) instance.reset(TakeSpare());
        if (!instance.is_valid() && !RenewInstance(instance)) return;
        if (!instance.is_valid()) continue;
        const Connect connected = AwaitClient(instance.get(), connectEvent.get());
        if (connected == Connect::kStop) return;  // the holder closes the instance
        if (connected == Connect::kConnected) {
            // A session that cannot be had (memory, a raising factory) costs that client only.
            const uint32_t error = lumlib::CatchReturn([&] { Accept(instance); });
            if (error != ERROR_SUCCESS) Log(L"cannot take a client: " + zktools::ErrorText(error));
        }
        instance.reset();  // e.g. a client that came and went before it was seen: start afresh
    }
}

bool CPipeServer::RenewInstance(CHandleHolder& instance) {
    DWORD error = 0;
    instance.reset(CreateInstance(false, &error));
    if (instance.is_valid()) return true;
    // Every instance taken (ERROR_PIPE_BUSY) is expected with an instance limit: wait for a
    // connection to end. Anything else is worth a line.
    if (error != ERROR_PIPE_BUSY) Log(L"cannot create a pipe instance: " + zktools::ErrorText(error));
    HANDLE waits[2] = {m_stop.get(), m_reap.get()};
    const DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, kRetryMs);
    if (w == WAIT_OBJECT_0 + 1) Reap(false);
    return w == WAIT_OBJECT_0 + 1 || w == WAIT_TIMEOUT;
}

CPipeServer::Connect CPipeServer::AwaitClient(HANDLE instance, HANDLE connectEvent) {
    OVERLAPPED ov;
    std::memset(&ov, 0, sizeof(ov));
    ov.hEvent = connectEvent;
    ::ResetEvent(connectEvent);
    if (::ConnectNamedPipe(instance, &ov)) return Connect::kConnected;
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return Connect::kConnected;
    if (error == ERROR_IO_PENDING) return AwaitPending(instance, ov);
    if (error != ERROR_NO_DATA) {  // not just a client that came and went: pause before the next try
        Log(L"waiting for a client failed: " + zktools::ErrorText(error));
        if (::WaitForSingleObject(m_stop.get(), kRetryMs) != WAIT_TIMEOUT) return Connect::kStop;
    }
    return Connect::kFailed;
}

CPipeServer::Connect CPipeServer::AwaitPending(HANDLE instance, OVERLAPPED& ov) {
    HANDLE waits[3] = {m_stop.get(), m_reap.get(), ov.hEvent};
    DWORD w = WAIT_OBJECT_0 + 1;
    while (w == WAIT_OBJECT_0 + 1) {
        w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0 + 1) Reap(false);
    }
    DWORD n = 0;
    if (w != WAIT_OBJECT_0 + 2) {  // stop (or a failed wait): end listening
        ::CancelIoEx(instance, &ov);
        ::GetOverlappedResult(instance, &ov, &n, TRUE);
        return Connect::kStop;
    }
    return ::GetOverlappedResult(instance, &ov, &n, FALSE) || ::GetLastError() == ERROR_PIPE_CONNECTED
               ? Connect::kConnected
               : Connect::kFailed;
}

}  // namespace tessaline_emu
