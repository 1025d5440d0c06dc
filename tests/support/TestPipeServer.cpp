#include "tests/support/TestPipeServer.h"

#include <chrono>

namespace zk_testkit {

using tessaline_emu::CPipeSession;

const wchar_t kServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";

std::wstring UniquePipeName(const wchar_t* tag) {
    static volatile LONG counter = 0;
    return std::wstring(L"zk-test-") + tag + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(::InterlockedIncrement(&counter));
}

namespace {

const DWORD kWriteTimeoutMs = 10000;
const DWORD kDefaultWaitMs = 2000;    // what a client's WaitNamedPipeW with the default wait waits
const uint32_t kMaxFrame = 16u << 20;  // a longer announced length ends the connection

tessaline_emu::PipeServerConfig TestConfig(std::wstring name, bool refuseClients) {
    tessaline_emu::PipeServerConfig config;
    config.name = std::move(name);
    config.defaultTimeoutMs = kDefaultWaitMs;
    config.firstInstance = false;  // a test may serve a name another test process has just let go
    config.inboundOnly = refuseClients;
    config.maxFrame = kMaxFrame;
    return config;
}

}  // namespace

// Records each frame and hands it to the responder; marks the client gone at the end.
class CTestPipeServer::Handler : public tessaline_emu::IPipeConnectionHandler {
public:
    Handler(CTestPipeServer* server, size_t id) : m_server(server), m_id(id) {}
    bool OnConnected(CPipeSession&) override { return true; }
    bool OnMessage(CPipeSession&, const uint8_t* message, uint32_t length) override {
        std::vector<uint8_t> frame(message, message + length);
        Responder responder;
        {
            std::lock_guard<std::mutex> lock(m_server->m_lock);
            m_server->m_frames.push_back(frame);
            if (m_server->m_workerCount && m_server->m_responder) m_server->m_jobs.push_back(Job{m_id, frame});
            else responder = m_server->m_responder;
        }
        m_server->m_changed.notify_all();
        if (responder) responder(*m_server, m_id, frame);
        return true;
    }
    void OnEnded(CPipeSession&, const std::wstring&) override {
        {
            std::lock_guard<std::mutex> lock(m_server->m_lock);
            m_server->m_clients[m_id].gone = true;
        }
        m_server->m_changed.notify_all();
    }

private:
    CTestPipeServer* m_server;
    const size_t m_id;
};

CTestPipeServer::CTestPipeServer(std::wstring name, bool refuseClients)
    : m_server(TestConfig(std::move(name), refuseClients),
               [this](const std::shared_ptr<CPipeSession>& session) {
                   size_t id;
                   {
                       std::lock_guard<std::mutex> lock(m_lock);
                       id = m_clients.size();
                       m_clients.push_back(Client{session, false});
                   }
                   m_changed.notify_all();
                   return std::unique_ptr<tessaline_emu::IPipeConnectionHandler>(new Handler(this, id));
               }) {}

CTestPipeServer::~CTestPipeServer() { Stop(); }

bool CTestPipeServer::Start() {
    if (m_server.Start() != ERROR_SUCCESS) return false;
    for (unsigned i = 0; i < m_workerCount; ++i) {
        m_workers.emplace_back(new lumlib::CWorkerThread);
        if (m_workers.back()->Start(&CTestPipeServer::WorkMain, this) != ERROR_SUCCESS) {
            Stop();
            return false;
        }
    }
    return true;
}

void CTestPipeServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_workers.clear();  // each joins its thread
    m_server.Stop();
}

unsigned __stdcall CTestPipeServer::WorkMain(void* self) {
    static_cast<CTestPipeServer*>(self)->Work();
    return 0;
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
    return WaitUntil(timeoutMs, [&] { return client < m_clients.size() && m_clients[client].gone; });
}

std::shared_ptr<CPipeSession> CTestPipeServer::Session(size_t client) {
    std::lock_guard<std::mutex> lock(m_lock);
    return client < m_clients.size() ? m_clients[client].session : nullptr;
}

bool CTestPipeServer::CloseClient(size_t client) {
    std::shared_ptr<CPipeSession> session = Session(client);
    if (!session) return false;
    session->End(CPipeSession::kEndClose);
    return WaitForClientGone(client, kWriteTimeoutMs);
}

bool CTestPipeServer::WriteFrame(size_t client, const void* data, uint32_t size) {
    std::shared_ptr<CPipeSession> session = Session(client);
    if (!session) return false;
    uint8_t field[kFrameLengthSize];
    StoreFrameLength(field, size);
    std::vector<uint8_t> wire(field, field + kFrameLengthSize);
    wire.insert(wire.end(), static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    return session->Write(wire.data(), wire.size(), kWriteTimeoutMs);
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
    std::shared_ptr<CPipeSession> session = Session(client);
    return session ? session->BytesRead() : 0;
}

}  // namespace zk_testkit
