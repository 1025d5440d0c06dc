#include "tests/support/TestPipeServer.h"

#include <chrono>

namespace zk_testkit {

const wchar_t kServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";

std::wstring UniquePipeName(const wchar_t* tag) {
    static volatile LONG counter = 0;
    return std::wstring(L"zk-test-") + tag + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::InterlockedIncrement(&counter));
}

namespace {
const DWORD kInstances = 4;             // listening instances: the most clients at once
const DWORD kWriteTimeoutMs = 10000;
const uint32_t kMaxFrame = 16u << 20;  // a longer announced length ends the connection
}  // namespace

// One accepted connection. Its instance's thread reads it and ends it; writers
// use the handle under io and the connection ends under io too, so a handle is
// never closed during a write.
struct CTestPipeServer::Client {
    std::mutex io;
    HANDLE pipe;          // the instance's; null once the connection has ended (also under m_lock)
    HANDLE commandEvent;  // the instance's
    Command command = kNone;  // under m_lock, like bytes
    uint64_t bytes = 0;
};

struct CTestPipeServer::Instance {
    CHandleHolder pipe;
    CHandleHolder ioEvent{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};        // connect and read completions
    CHandleHolder commandEvent{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};  // a client is to be ended
};

CTestPipeServer::CTestPipeServer(std::wstring name, bool refuseClients)
    : m_name(std::move(name)), m_refuseClients(refuseClients),
      m_stopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CTestPipeServer::~CTestPipeServer() { Stop(); }

HANDLE CTestPipeServer::CreateInstance() {
    DWORD access = (m_refuseClients ? PIPE_ACCESS_INBOUND : PIPE_ACCESS_DUPLEX) | FILE_FLAG_OVERLAPPED;
    return ::CreateNamedPipeW((L"\\\\.\\pipe\\" + m_name).c_str(), access, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE,
                              kInstances, 65536, 65536, 2000, nullptr);
}

bool CTestPipeServer::Start() {
    if (!m_threads.empty()) return true;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = false;  // clients and frames of an earlier run stay, numbered on
    }
    ::ResetEvent(m_stopEvent.get());
    for (DWORD i = 0; i < kInstances; ++i) {
        m_instances.emplace_back(new Instance);
        Instance& in = *m_instances.back();
        in.pipe.reset(CreateInstance());
        if (!in.pipe.is_valid() || !in.ioEvent.is_valid() || !in.commandEvent.is_valid() || !m_stopEvent.is_valid()) {
            m_instances.clear();
            return false;
        }
    }
    for (auto& in : m_instances) m_threads.emplace_back([this, i = in.get()] { Serve(i); });
    for (unsigned i = 0; i < m_workerCount; ++i) m_threads.emplace_back([this] { Work(); });
    return true;
}

void CTestPipeServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    ::SetEvent(m_stopEvent.get());
    for (std::thread& t : m_threads) t.join();
    m_threads.clear();
    m_instances.clear();
}

void CTestPipeServer::Serve(Instance* in) {
    OVERLAPPED ov;
    DWORD n = 0;
    while (::WaitForSingleObject(m_stopEvent.get(), 0) != WAIT_OBJECT_0) {
        if (!in->pipe.is_valid()) in->pipe.reset(CreateInstance());
        if (!in->pipe.is_valid()) {  // the closed instance may still be going away: try again shortly
            ::WaitForSingleObject(m_stopEvent.get(), 20);
            continue;
        }
        HANDLE pipe = in->pipe.get();
        ZeroMemory(&ov, sizeof(ov));
        ov.hEvent = in->ioEvent.get();
        Result r = kOk;
        if (!::ConnectNamedPipe(pipe, &ov) && ::GetLastError() != ERROR_PIPE_CONNECTED)
            r = ::GetLastError() == ERROR_IO_PENDING ? Await(in, &ov, nullptr, &n) : kFailed;
        if (r == kStop) break;
        if (r != kOk) {  // e.g. a client that came and went before we saw it: start afresh
            in->pipe.reset();
            continue;
        }

        std::unique_ptr<Client> owned(new Client);
        Client* c = owned.get();
        c->pipe = pipe;
        c->commandEvent = in->commandEvent.get();
        size_t id;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            id = m_clients.size();
            m_clients.push_back(std::move(owned));
        }
        m_changed.notify_all();

        for (;;) {  // frame after frame until the connection ends
            uint8_t h[4];
            if ((r = Read(in, &ov, c, h, 4)) != kOk) break;
            uint32_t length = h[0] | h[1] << 8 | h[2] << 16 | static_cast<uint32_t>(h[3]) << 24;
            if (length > kMaxFrame) break;
            std::vector<uint8_t> frame(length);
            if ((r = Read(in, &ov, c, frame.data(), length)) != kOk) break;
            Responder responder;
            {
                std::lock_guard<std::mutex> lock(m_lock);
                m_frames.push_back(frame);
                if (m_workerCount && m_responder) m_jobs.push_back(Job{id, frame});
                else responder = m_responder;
            }
            m_changed.notify_all();
            if (responder) responder(*this, id, frame);
        }
        {
            std::lock_guard<std::mutex> io(c->io);
            std::lock_guard<std::mutex> lock(m_lock);
            if (r == kCommand && c->command == kClose) in->pipe.reset();  // replaced on the next turn
            else ::DisconnectNamedPipe(pipe);                              // and listen again
            c->pipe = nullptr;
        }
        m_changed.notify_all();
        if (r == kStop) break;
    }
}

// Waits for the pending operation on the instance; Stop, or a command for
// client c, cancels it.
CTestPipeServer::Result CTestPipeServer::Await(Instance* in, OVERLAPPED* ov, Client* c, DWORD* n) {
    HANDLE waits[3] = {in->ioEvent.get(), m_stopEvent.get(), in->commandEvent.get()};
    for (;;) {
        DWORD w = ::WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (w == WAIT_OBJECT_0) return ::GetOverlappedResult(in->pipe.get(), ov, n, FALSE) ? kOk : kFailed;
        if (w == WAIT_OBJECT_0 + 2) {
            std::lock_guard<std::mutex> lock(m_lock);
            if (!c || c->command == kNone) continue;  // meant for a client that has already gone
        }
        // The buffer and OVERLAPPED stay in use until the cancelled operation has finished.
        ::CancelIoEx(in->pipe.get(), ov);
        ::GetOverlappedResult(in->pipe.get(), ov, n, TRUE);
        return w == WAIT_OBJECT_0 + 1 ? kStop : kCommand;
    }
}

CTestPipeServer::Result CTestPipeServer::Read(Instance* in, OVERLAPPED* ov, Client* c, uint8_t* p, uint32_t count) {
    while (count) {
        ZeroMemory(ov, sizeof(*ov));
        ov->hEvent = in->ioEvent.get();
        DWORD n = 0;
        if (!::ReadFile(in->pipe.get(), p, count, nullptr, ov) && ::GetLastError() != ERROR_IO_PENDING) return kFailed;
        Result r = Await(in, ov, c, &n);
        if (r != kOk) return r;
        std::lock_guard<std::mutex> lock(m_lock);
        c->bytes += n;
        p += n;
        count -= n;
    }
    return kOk;
}

void CTestPipeServer::Work() {
    std::unique_lock<std::mutex> lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping) return;
        size_t pick = m_shuffle ? m_random() % m_jobs.size() : 0;
        Job job = std::move(m_jobs[pick]);
        m_jobs.erase(m_jobs.begin() + static_cast<ptrdiff_t>(pick));
        Responder responder = m_responder;
        lock.unlock();
        if (responder) responder(*this, job.client, job.frame);
        lock.lock();
    }
}

void CTestPipeServer::SetResponder(Responder responder, unsigned workerThreads, bool shuffle) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_responder = std::move(responder);
    m_workerCount = workerThreads;
    m_shuffle = shuffle;
}

bool CTestPipeServer::WaitUntil(DWORD timeoutMs, const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
}

bool CTestPipeServer::WaitForClients(size_t count, DWORD timeoutMs) {
    return WaitUntil(timeoutMs, [&] { return m_clients.size() >= count; });
}

bool CTestPipeServer::WaitForClientGone(size_t client, DWORD timeoutMs) {
    return WaitUntil(timeoutMs, [&] { return client < m_clients.size() && !m_clients[client]->pipe; });
}

bool CTestPipeServer::EndClient(size_t client, Command how) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (client >= m_clients.size()) return false;
        m_clients[client]->command = how;
        if (m_clients[client]->pipe) ::SetEvent(m_clients[client]->commandEvent);
    }
    return WaitForClientGone(client, kWriteTimeoutMs);
}

bool CTestPipeServer::Send(size_t client, uint32_t declaredLength, const void* data, uint32_t size) {
    std::vector<uint8_t> wire = {uint8_t(declaredLength), uint8_t(declaredLength >> 8), uint8_t(declaredLength >> 16),
                                 uint8_t(declaredLength >> 24)};
    wire.insert(wire.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    Client* c;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (client >= m_clients.size()) return false;
        c = m_clients[client].get();
    }
    std::lock_guard<std::mutex> io(c->io);
    CHandleHolder done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (size_t sent = 0; sent < wire.size();) {
        OVERLAPPED ov = {};
        ov.hEvent = done.get();
        DWORD n = 0;
        if (!c->pipe || !done.is_valid()) return false;
        if (!::WriteFile(c->pipe, wire.data() + sent, DWORD(wire.size() - sent), nullptr, &ov) &&
            ::GetLastError() != ERROR_IO_PENDING)
            return false;
        HANDLE waits[2] = {done.get(), m_stopEvent.get()};
        if (::WaitForMultipleObjects(2, waits, FALSE, kWriteTimeoutMs) != WAIT_OBJECT_0) {
            ::CancelIoEx(c->pipe, &ov);  // and wait for it: ov and the buffer are in use until then
            ::GetOverlappedResult(c->pipe, &ov, &n, TRUE);
            return false;
        }
        if (!::GetOverlappedResult(c->pipe, &ov, &n, FALSE) || n == 0) return false;
        sent += n;
    }
    return true;
}

bool CTestPipeServer::WriteCutFrame(size_t client, uint32_t declaredLength, const void* data, uint32_t size) {
    bool sent = Send(client, declaredLength, data, size);
    return CloseClient(client) && sent;
}

bool CTestPipeServer::WaitForFrames(size_t count, DWORD timeoutMs) {
    return WaitUntil(timeoutMs, [&] { return m_frames.size() >= count; });
}

size_t CTestPipeServer::FrameCount() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_frames.size();
}

std::vector<uint8_t> CTestPipeServer::Frame(size_t index) {
    std::lock_guard<std::mutex> lock(m_lock);
    return index < m_frames.size() ? m_frames[index] : std::vector<uint8_t>();
}

uint64_t CTestPipeServer::BytesReceived(size_t client) {
    std::lock_guard<std::mutex> lock(m_lock);
    return client < m_clients.size() ? m_clients[client]->bytes : 0;
}

}  // namespace zk_testkit
