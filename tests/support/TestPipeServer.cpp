#include "tests/support/TestPipeServer.h"

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

tessaline_emu::PipeServerConfig TestConfig(std::wstring name, bool refuseClients) {
    tessaline_emu::PipeServerConfig config;
    config.name = std::move(name);
    config.defaultTimeoutMs = 2000;  // what a client's WaitNamedPipeW with the default wait waits
    config.firstInstance = false;    // a test may serve a name another test process has just let go
    config.inboundOnly = refuseClients;
    config.maxFrame = 16u << 20;     // a longer announced length ends the connection
    return config;
}

}  // namespace

// Records each frame and hands it to the responder; marks the client gone at the end.
struct CTestPipeServer::Handler : tessaline_emu::IPipeConnectionHandler {
    Handler(CTestPipeServer* server, size_t id) : m_server(server), m_id(id) {}
    bool OnConnected(CPipeSession&) override { return true; }
    bool OnMessage(CPipeSession&, const uint8_t* message, uint32_t length) override {
        std::vector<uint8_t> frame(message, message + length);
        Responder responder;
        m_server->m_state.Note([&] {
            m_server->m_frames.push_back(frame);
            responder = m_server->m_responder;
        });
        if (responder) responder(*m_server, m_id, frame);
        return true;
    }
    void OnEnded(CPipeSession&, const std::wstring&) override { m_server->m_state.Note([this] { m_server->m_clients[m_id].gone = true; }); }
    CTestPipeServer* m_server;
    const size_t m_id;
};

CTestPipeServer::CTestPipeServer(std::wstring name, bool refuseClients)
    : m_server(TestConfig(std::move(name), refuseClients), [this](const std::shared_ptr<CPipeSession>& session) {
          size_t id = 0;
          m_state.Note([&] {
              id = m_clients.size();
              m_clients.push_back(Client{session, false});
          });
          return std::unique_ptr<tessaline_emu::IPipeConnectionHandler>(new Handler(this, id));
      }) {}

bool CTestPipeServer::EndClient(size_t client) {
    std::shared_ptr<CPipeSession> session = Session(client);
    if (session) session->End(CPipeSession::kEndClose);
    return session != nullptr;
}

bool CTestPipeServer::WriteFrame(size_t client, const void* data, uint32_t size) {
    std::shared_ptr<CPipeSession> session = Session(client);
    const std::vector<uint8_t> wire = MakeFrame(data, size);
    return session && session->Write(wire.data(), wire.size(), kWriteTimeoutMs);
}

}  // namespace zk_testkit
