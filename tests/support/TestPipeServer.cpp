#include "tests/support/TestPipeServer.h"

#include <process.h>

#include <cstdint>
#include <cstring>

namespace zk_testkit {

const wchar_t kServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";

std::wstring UniquePipeName(const wchar_t* tag) {
    static volatile LONG counter = 0;
    LONG n = ::InterlockedIncrement(&counter);
    return std::wstring(L"zk-test-") + (tag ? tag : L"pipe") + L"-" +
           std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(n);
}

// One accepted connection. The instance thread owns the pipe handle; writers
// use it under io, and the instance thread ends the connection under io too,
// so a handle is never closed during a write.
struct CTestPipeServer::Client {
    CRITICAL_SECTION io;
    HANDLE pipe = nullptr;          // null once the connection has ended
    CHandleHolder writeEvent;
    Instance* instance = nullptr;
    // under the server lock:
    bool gone = false;
    Command command = kNone;
    size_t frames = 0;
    uint64_t bytes = 0;

    Client() { ::InitializeCriticalSection(&io); }
    ~Client() { ::DeleteCriticalSection(&io); }
};

struct CTestPipeServer::Instance {
    CTestPipeServer* server = nullptr;
    CHandleHolder pipe;
    CHandleHolder ioEvent;       // manual-reset: connect and read completions
    CHandleHolder commandEvent;  // auto-reset: a client of this instance is to be ended
    CHandleHolder thread;
    DWORD threadId = 0;
};

namespace {

class CLock {
public:
    explicit CLock(CRITICAL_SECTION* cs) : m_cs(cs) { ::EnterCriticalSection(m_cs); }
    ~CLock() { ::LeaveCriticalSection(m_cs); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CRITICAL_SECTION* m_cs;
};

}  // namespace

CTestPipeServer::CTestPipeServer() : CTestPipeServer(Options()) {}

CTestPipeServer::CTestPipeServer(const std::wstring& name) : CTestPipeServer([&] {
    Options o;
    o.name = name;
    return o;
}()) {}

CTestPipeServer::CTestPipeServer(const Options& options)
    : m_options(options), m_running(false), m_stopping(false), m_workerCount(0), m_shuffle(false),
      m_random(0x2545F491u) {
    ::InitializeCriticalSection(&m_lock);
    ::InitializeConditionVariable(&m_changed);
    m_stopEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

CTestPipeServer::~CTestPipeServer() {
    Stop();
    ::DeleteCriticalSection(&m_lock);
}

std::wstring CTestPipeServer::Path() const { return L"\\\\.\\pipe\\" + m_options.name; }

HANDLE CTestPipeServer::CreateInstance() {
    DWORD access = m_options.refuseClients ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_DUPLEX;
    return ::CreateNamedPipeW(Path().c_str(), access | FILE_FLAG_OVERLAPPED,
                              PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, m_options.instances,
                              m_options.bufferSize, m_options.bufferSize, m_options.defaultTimeoutMs, nullptr);
}

bool CTestPipeServer::Start() {
    if (m_running) return true;
    if (!m_stopEvent.IsValid()) return false;
    {
        CLock lock(&m_lock);
        m_clients.clear();
        m_frames.clear();
        m_work.clear();
        m_stopping = false;
    }
    ::ResetEvent(m_stopEvent);
    m_running = true;  // from here on Stop() undoes a partial start
    bool ok = m_options.instances > 0;
    // Every instance exists before Start returns, so a client may open at once.
    for (DWORD i = 0; ok && i < m_options.instances; ++i) {
        std::unique_ptr<Instance> in(new Instance);
        in->server = this;
        in->pipe.Reset(CreateInstance());
        in->ioEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        in->commandEvent.Reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
        ok = in->pipe.IsValid() && in->ioEvent.IsValid() && in->commandEvent.IsValid();
        if (ok) m_instances.push_back(std::move(in));
    }
    for (auto& in : m_instances) {
        if (!ok) break;
        unsigned id = 0;
        in->thread.Reset(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, InstanceThread, in.get(), 0, &id)));
        in->threadId = id;
        ok = in->thread.IsValid();
    }
    for (unsigned i = 0; ok && i < m_workerCount; ++i) {
        CHandleHolder worker(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, WorkerThread, this, 0, nullptr)));
        ok = worker.IsValid();
        if (ok) {
            CLock lock(&m_lock);
            m_workers.push_back(std::move(worker));
        }
    }
    if (!ok) Stop();
    return ok;
}

void CTestPipeServer::Stop() {
    if (!m_running) return;
    {
        CLock lock(&m_lock);
        m_stopping = true;
    }
    Notify();
    ::SetEvent(m_stopEvent);
    for (auto& in : m_instances) {
        if (in->thread.IsValid()) ::WaitForSingleObject(in->thread, INFINITE);
    }
    for (auto& worker : m_workers) ::WaitForSingleObject(worker, INFINITE);
    {
        CLock lock(&m_lock);
        m_workers.clear();
        m_work.clear();
    }
    m_instances.clear();  // closes the instances that never got a thread
    m_running = false;
}

unsigned __stdcall CTestPipeServer::InstanceThread(void* arg) {
    Instance* in = static_cast<Instance*>(arg);
    in->server->ServeInstance(in);
    return 0;
}

void CTestPipeServer::ServeInstance(Instance* in) {
    OVERLAPPED ov;
    std::vector<uint8_t> frame;
    while (::WaitForSingleObject(m_stopEvent, 0) != WAIT_OBJECT_0) {
        if (!in->pipe.IsValid()) {
            in->pipe.Reset(CreateInstance());
            if (!in->pipe.IsValid()) {
                // the closed instance may still be going away: try again shortly
                ::WaitForSingleObject(m_stopEvent, 20);
                continue;
            }
        }
        HANDLE pipe = in->pipe.Get();

        // Listen.
        ZeroMemory(&ov, sizeof(ov));
        ov.hEvent = in->ioEvent;
        bool connected = ::ConnectNamedPipe(pipe, &ov) != FALSE;
        if (!connected) {
            DWORD err = ::GetLastError();
            DWORD n = 0;
            if (err == ERROR_PIPE_CONNECTED) {
                connected = true;
            } else if (err == ERROR_IO_PENDING) {
                HANDLE waits[2] = {in->ioEvent, m_stopEvent};
                if (::WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    ::CancelIoEx(pipe, &ov);
                    ::GetOverlappedResult(pipe, &ov, &n, TRUE);
                    break;
                }
                connected = ::GetOverlappedResult(pipe, &ov, &n, FALSE) != FALSE;
            } else if (err != ERROR_NO_DATA) {
                // a broken instance: replace it
                in->pipe.Close();
                continue;
            }
        }
        if (!connected) {
            // a client that came and went before we saw it
            ::DisconnectNamedPipe(pipe);
            continue;
        }

        std::unique_ptr<Client> owned(new Client);
        Client* c = owned.get();
        c->pipe = pipe;
        c->instance = in;
        c->writeEvent.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        size_t id;
        {
            CLock lock(&m_lock);
            id = m_clients.size();
            m_clients.push_back(std::move(owned));
        }
        Notify();

        // Serve: frame after frame until the connection ends.
        ReadResult r;
        for (;;) {
            uint8_t header[4];
            r = ReadExact(in, pipe, &ov, c, header, 4);
            if (r != kReadOk) break;
            uint32_t length = static_cast<uint32_t>(header[0]) | static_cast<uint32_t>(header[1]) << 8 |
                              static_cast<uint32_t>(header[2]) << 16 | static_cast<uint32_t>(header[3]) << 24;
            if (length > m_options.maxFrame) {
                r = kReadFailed;
                break;
            }
            frame.assign(length, 0);
            if (length) {
                r = ReadExact(in, pipe, &ov, c, frame.data(), length);
                if (r != kReadOk) break;
            }
            OnFrame(id, frame);
        }

        Command how = kNone;
        if (r == kReadCommand) {
            CLock lock(&m_lock);
            how = c->command;
        }
        {
            CLock io(&c->io);
            if (how == kClose) {
                in->pipe.Close();  // a new instance takes its place on the next turn
            } else {
                ::DisconnectNamedPipe(pipe);  // and listen again on the same instance
            }
            c->pipe = nullptr;
        }
        {
            CLock lock(&m_lock);
            c->gone = true;
        }
        Notify();
        if (r == kReadStop) break;
    }
    in->pipe.Close();
}

CTestPipeServer::ReadResult CTestPipeServer::ReadExact(Instance* in, HANDLE pipe, OVERLAPPED* ov, Client* c,
                                                       void* buffer, uint32_t count) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    while (count) {
        ZeroMemory(ov, sizeof(*ov));
        ov->hEvent = in->ioEvent;
        if (!::ReadFile(pipe, p, count, nullptr, ov) && ::GetLastError() != ERROR_IO_PENDING) return kReadFailed;
        HANDLE waits[3] = {in->ioEvent, m_stopEvent, in->commandEvent};
        for (;;) {
            DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
            if (w == WAIT_OBJECT_0) break;
            if (w == WAIT_OBJECT_0 + 2) {
                CLock lock(&m_lock);
                if (c->command == kNone) continue;  // meant for a client that has already gone
            }
            // The buffer and OVERLAPPED stay ours until the cancelled read has finished.
            DWORD n = 0;
            ::CancelIoEx(pipe, ov);
            ::GetOverlappedResult(pipe, ov, &n, TRUE);
            if (w == WAIT_OBJECT_0 + 1) return kReadStop;
            return w == WAIT_OBJECT_0 + 2 ? kReadCommand : kReadFailed;
        }
        DWORD n = 0;
        if (!::GetOverlappedResult(pipe, ov, &n, FALSE)) return kReadFailed;
        {
            CLock lock(&m_lock);
            c->bytes += n;
        }
        p += n;
        count -= n;
    }
    return kReadOk;
}

void CTestPipeServer::OnFrame(size_t client, std::vector<uint8_t>& frame) {
    Responder responder;
    {
        CLock lock(&m_lock);
        m_frames.push_back(Work{client, frame});
        m_clients[client]->frames++;
        responder = m_responder;
        if (responder && !m_workers.empty()) {
            m_work.push_back(Work{client, frame});
            responder = nullptr;
        }
    }
    Notify();
    if (responder) responder(*this, client, frame);
}

unsigned __stdcall CTestPipeServer::WorkerThread(void* arg) {
    CTestPipeServer* s = static_cast<CTestPipeServer*>(arg);
    CLock lock(&s->m_lock);
    for (;;) {
        while (!s->m_stopping && s->m_work.empty()) ::SleepConditionVariableCS(&s->m_changed, &s->m_lock, INFINITE);
        if (s->m_stopping) break;
        size_t pick = 0;
        if (s->m_shuffle) {
            // xorshift: enough to answer several waiting frames out of order
            s->m_random ^= s->m_random << 13;
            s->m_random ^= s->m_random >> 17;
            s->m_random ^= s->m_random << 5;
            pick = s->m_random % s->m_work.size();
        }
        Work work = std::move(s->m_work[pick]);
        s->m_work.erase(s->m_work.begin() + static_cast<ptrdiff_t>(pick));
        Responder responder = s->m_responder;
        ::LeaveCriticalSection(&s->m_lock);
        if (responder) responder(*s, work.client, work.frame);
        ::EnterCriticalSection(&s->m_lock);
    }
    return 0;
}

void CTestPipeServer::SetResponder(Responder responder, unsigned workerThreads, bool shuffle) {
    CLock lock(&m_lock);
    m_responder = std::move(responder);
    m_workerCount = workerThreads;
    m_shuffle = shuffle;
}

void CTestPipeServer::Notify() { ::WakeAllConditionVariable(&m_changed); }

bool CTestPipeServer::WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    CLock lock(&m_lock);
    for (;;) {
        if (done()) return true;
        ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return false;
        ::SleepConditionVariableCS(&m_changed, &m_lock, static_cast<DWORD>(deadline - now));
    }
}

CTestPipeServer::Client* CTestPipeServer::FindClient(size_t client) {
    CLock lock(&m_lock);
    return client < m_clients.size() ? m_clients[client].get() : nullptr;
}

bool CTestPipeServer::WaitForClients(size_t count, DWORD timeoutMs) {
    return WaitUntil([&] { return m_clients.size() >= count; }, timeoutMs);
}

size_t CTestPipeServer::ClientCount() {
    CLock lock(&m_lock);
    return m_clients.size();
}

bool CTestPipeServer::IsClientConnected(size_t client) {
    CLock lock(&m_lock);
    return client < m_clients.size() && !m_clients[client]->gone;
}

bool CTestPipeServer::WaitForClientGone(size_t client, DWORD timeoutMs) {
    return WaitUntil([&] { return client < m_clients.size() && m_clients[client]->gone; }, timeoutMs);
}

bool CTestPipeServer::EndClient(size_t client, Command how) {
    HANDLE commandEvent;
    bool ownThread;
    {
        CLock lock(&m_lock);
        if (client >= m_clients.size()) return false;
        Client* c = m_clients[client].get();
        if (c->gone) return true;
        c->command = how;
        commandEvent = c->instance->commandEvent;
        ownThread = c->instance->threadId == ::GetCurrentThreadId();
    }
    ::SetEvent(commandEvent);
    // An inline responder cannot wait for its own thread: the connection
    // ends as soon as it returns.
    if (ownThread) return true;
    return WaitForClientGone(client, kWriteTimeoutMs);
}

bool CTestPipeServer::DisconnectClient(size_t client) { return EndClient(client, kDisconnect); }

bool CTestPipeServer::CloseClient(size_t client) { return EndClient(client, kClose); }

bool CTestPipeServer::WriteBytes(size_t client, const void* data, uint32_t size) {
    Client* c = FindClient(client);
    if (!c) return false;
    CLock io(&c->io);
    if (!c->pipe || !c->writeEvent.IsValid()) return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    OVERLAPPED ov;
    while (size) {
        ZeroMemory(&ov, sizeof(ov));
        ov.hEvent = c->writeEvent;
        DWORD n = 0;
        if (!::WriteFile(c->pipe, p, size, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING) return false;
        HANDLE waits[2] = {c->writeEvent, m_stopEvent};
        if (::WaitForMultipleObjects(2, waits, FALSE, kWriteTimeoutMs) != WAIT_OBJECT_0) {
            ::CancelIoEx(c->pipe, &ov);
            ::GetOverlappedResult(c->pipe, &ov, &n, TRUE);
            return false;
        }
        if (!::GetOverlappedResult(c->pipe, &ov, &n, FALSE) || n == 0) return false;
        p += n;
        size -= n;
    }
    return true;
}

bool CTestPipeServer::WriteFrame(size_t client, const void* data, uint32_t size) {
    std::vector<uint8_t> wire(4 + static_cast<size_t>(size));
    wire[0] = static_cast<uint8_t>(size);
    wire[1] = static_cast<uint8_t>(size >> 8);
    wire[2] = static_cast<uint8_t>(size >> 16);
    wire[3] = static_cast<uint8_t>(size >> 24);
    if (size) std::memcpy(wire.data() + 4, data, size);
    return WriteBytes(client, wire.data(), static_cast<uint32_t>(wire.size()));
}

bool CTestPipeServer::WriteFrame(size_t client, const std::vector<uint8_t>& payload) {
    return WriteFrame(client, payload.data(), static_cast<uint32_t>(payload.size()));
}

bool CTestPipeServer::WriteRaw(size_t client, const void* data, uint32_t size) {
    return WriteBytes(client, data, size);
}

bool CTestPipeServer::WriteCutFrame(size_t client, uint32_t declaredLength, const void* data, uint32_t size,
                                    bool disconnect) {
    uint8_t header[4] = {static_cast<uint8_t>(declaredLength), static_cast<uint8_t>(declaredLength >> 8),
                         static_cast<uint8_t>(declaredLength >> 16), static_cast<uint8_t>(declaredLength >> 24)};
    bool ok = WriteBytes(client, header, 4) && WriteBytes(client, data, size);
    bool ended = disconnect ? DisconnectClient(client) : CloseClient(client);
    return ok && ended;
}

bool CTestPipeServer::WaitForFrames(size_t count, DWORD timeoutMs) {
    return WaitUntil([&] { return m_frames.size() >= count; }, timeoutMs);
}

bool CTestPipeServer::WaitForClientFrames(size_t client, size_t count, DWORD timeoutMs) {
    return WaitUntil([&] { return client < m_clients.size() && m_clients[client]->frames >= count; }, timeoutMs);
}

size_t CTestPipeServer::FrameCount() {
    CLock lock(&m_lock);
    return m_frames.size();
}

std::vector<uint8_t> CTestPipeServer::Frame(size_t index) {
    CLock lock(&m_lock);
    return index < m_frames.size() ? m_frames[index].frame : std::vector<uint8_t>();
}

size_t CTestPipeServer::FrameClient(size_t index) {
    CLock lock(&m_lock);
    return index < m_frames.size() ? m_frames[index].client : SIZE_MAX;
}

std::vector<std::vector<uint8_t>> CTestPipeServer::ClientFrames(size_t client) {
    CLock lock(&m_lock);
    std::vector<std::vector<uint8_t>> out;
    for (const Work& w : m_frames) {
        if (w.client == client) out.push_back(w.frame);
    }
    return out;
}

uint64_t CTestPipeServer::BytesReceived(size_t client) {
    CLock lock(&m_lock);
    return client < m_clients.size() ? m_clients[client]->bytes : 0;
}

}  // namespace zk_testkit
