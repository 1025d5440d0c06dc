// The open flags the session client uses by level, which servers it talks to,
// and the padding behind callback 9's pointer.
#include <gtest/gtest.h>
#include <windows.h>

#include <regex>

#include "log/ZkLogger.h"
#include "support/PipeIdentity.h"
#include "support/TestPipeServer.h"
#include "support/Watchdog.h"
#include "log/LoggerTestUtil.h"
#include "tests/virt/api/Api.h"
#include "virt/api/SndApiPipeClient.h"
#include "virt/api/SndServiceMessages.h"

using namespace lumlib;
using zk_testkit::CTestPipeServer;

namespace {

const wchar_t kScratchKey[] = L"Software\\zksndapi-tests\\pipe-security";

// ---- the substitutes --------------------------------------------------------

std::atomic<DWORD> g_lastFlags{0};
std::atomic<bool> g_impostor{false};  // the server claims to run as another user

HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                                  DWORD flags, HANDLE tmpl) {
    g_lastFlags = flags;
    return ::CreateFileW(path, access, share, sa, disposition, flags, tmpl);
}
DWORD ImpostorOrReal(HANDLE pipe, ServerIdentity* server) {
    if (!g_impostor) return QueryPipeServer(pipe, server);
    *server = ServerIdentity{4242, L"S-1-5-21-1-2-3-1001", false};
    return ERROR_SUCCESS;
}
std::atomic<PipeClientLevel> g_level{PipeClientLevel::Identification};
PipeSecuritySettings ChosenLevel() { return PipeSecuritySettings{g_level, {}}; }  // not the machine's

// Installs the substitutes for one test and puts the table back afterwards.
struct Substitutes {
    PipeIdentityApi saved = ActivePipeIdentityApi();
    Substitutes() { ActivePipeIdentityApi() = {&RecordingCreateFile, &ImpostorOrReal, &ChosenLevel}; }
    ~Substitutes() {
        ActivePipeIdentityApi() = saved;
        g_impostor = false;
        g_level = PipeClientLevel::Identification;
    }
};

// The logger the clients below log to, while a TestLog lives.
std::shared_ptr<CZkLogger> g_logger;

// A log in a folder of its own for the client's lines; Text() closes it and reads it.
struct TestLog {
    TempDir dir;
    TestLog() {
        g_logger.reset(StartLogger(dir.path, 0, false));
        g_logger->SetThreshold(LOG_INFO);  // the connection's story too
    }
    ~TestLog() { Text(); }
    std::wstring Text() {
        g_logger.reset();  // drains the log into its file, once the clients that log to it are gone
        return ReadText(dir.path + L"zksndapi.txt");
    }
};

// The session client on a pipe of the test's own; records its callbacks.
class Client : public CSndApiPipeClient, public Notices {
public:
    // It logs to a TestLog's logger when the test has one.
    explicit Client(const std::wstring& pipe) : CSndApiPipeClient(nullptr, {pipe.c_str(), g_logger}) { SetCallback(&Client::Callback, this); }
    ~Client() override { Stop(); }
    std::vector<uint8_t> serverInfo;  // the kServerInfoMinBytes behind callback 9's pointer, seen before its notice

private:
    static void Callback(uint32_t code, uintptr_t param, void* context) {
        Client* self = static_cast<Client*>(context);
        if (code == ZKSND_NOTIFY_SERVER_INFO) {
            const uint8_t* p = reinterpret_cast<const uint8_t*>(param);
            self->serverInfo.assign(p, p + kServerInfoMinBytes);
        }
        self->Record(code, param, context);
    }
};

}  // namespace

// ---- the rules --------------------------------------------------------------

TEST(ServerTrust, AcceptsServiceAccountsTheCallerAndListedSidsOnly) {
    const std::wstring caller = L"S-1-5-21-7-8-9-1001";
    const std::vector<std::wstring> listed = {L"s-1-5-21-7-8-9-1500"};
    // session: the server's, when only the owner is known (another user's program outside session 0)
    const struct { const wchar_t* sid; bool ownerOfPipe; bool accepted; uint32_t session = 0; } cases[] = {
        {L"S-1-5-18", false, true}, {L"S-1-5-19", false, true}, {L"S-1-5-20", false, true}, {L"S-1-5-80-1-2-3-4-5", false, true},
        {L"S-1-5-21-7-8-9-1001", false, true}, {L"S-1-5-21-7-8-9-1500", false, true}, {L"S-1-5-32-544", true, true},
        {L"S-1-5-32-544", false, false}, {L"S-1-5-21-7-8-9-1002", false, false}, {L"S-1-5-80", false, false},
        {L"S-1-5-180", false, false}, {L"S-1-5-18-", false, false}, {L"S-1-5-18x", false, false}, {L"", false, false},
        {L"S-1-5-18", true, true}, {L"S-1-5-18", true, false, 2}, {L"S-1-5-21-7-8-9-1500", true, false, 2},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.accepted, IsAcceptedServer(ServerIdentity{1, c.sid, c.ownerOfPipe, c.session}, caller, listed))
            << std::string(c.sid, c.sid + wcslen(c.sid)) << " owner " << c.ownerOfPipe << " session " << c.session;
    // an unknown caller is nobody's match
    EXPECT_FALSE(IsAcceptedServer(ServerIdentity{1, L"", false}, L"", {L""})) << "an unknown caller matched";
}

TEST(PipeSecurity, TheAdministratorsValuesAreReadStrictly) {
    struct Row {  // level: PipeImpersonationLevel bytes, sids: TrustedServerSids characters; empty: absent
        const wchar_t* what; DWORD type; std::vector<uint8_t> level; std::wstring sids;
        PipeClientLevel expected; std::vector<std::wstring> expectedSids;
    };
    const std::vector<Row> rows = {
        {L"nothing set", REG_DWORD, {}, L"", PipeClientLevel::Identification, {}},
        {L"2", REG_DWORD, {2, 0, 0, 0}, L"", PipeClientLevel::Impersonation, {}},
        {L"1", REG_DWORD, {1, 0, 0, 0}, L"", PipeClientLevel::Identification, {}},
        {L"3 (delegation)", REG_DWORD, {3, 0, 0, 0}, L"", PipeClientLevel::Identification, {}},
        {L"text 2", REG_SZ, {'2', 0, 0, 0}, L"", PipeClientLevel::Identification, {}},
        {L"list", REG_DWORD, {}, std::wstring(L"S-1-5-21-1\0 S-1-5-80-7 \0\0", 25), PipeClientLevel::Identification,
         {L"S-1-5-21-1", L"S-1-5-80-7"}},
        {L"list unterminated", REG_DWORD, {}, std::wstring(L"S-1-5-21-1\0S-1-5-21-2", 21),
         PipeClientLevel::Identification, {L"S-1-5-21-1", L"S-1-5-21-2"}},
    };
    for (const Row& r : rows) {
        ::RegDeleteKeyW(HKEY_CURRENT_USER, kScratchKey);
        unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_CURRENT_USER, kScratchKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                                   key.put(), nullptr));
        if (!r.level.empty())
            ::RegSetValueExW(key.get(), kImpersonationLevelValue, 0, r.type, r.level.data(), DWORD(r.level.size()));
        if (!r.sids.empty())
            ::RegSetValueExW(key.get(), kTrustedServerSidsValue, 0, REG_MULTI_SZ,
                             reinterpret_cast<const BYTE*>(r.sids.data()), DWORD(r.sids.size() * sizeof(wchar_t)));
        PipeSecuritySettings s = ReadPipeSecuritySettings(HKEY_CURRENT_USER, kScratchKey);
        SCOPED_TRACE(std::string(r.what, r.what + wcslen(r.what)));
        EXPECT_EQ(r.expected, s.level) << "the level";
        EXPECT_EQ(r.expectedSids, s.trustedSids) << "the trusted SIDs";
    }
    ::RegDeleteKeyW(HKEY_CURRENT_USER, kScratchKey);
}

// ---- the client -------------------------------------------------------------

// Refused attempts open with the default level's flags. The administrator's
// level 2, read again when an attempt finds the pipe, lends impersonation: the
// pipe is opened again, plain. Then the server, seen as it is, is accepted,
// and after a long device record has left its bytes in the delivery buffer,
// callback 9 of a server information without payload must not show them.
TEST(PipeSecurity, AnotherAccountsServerIsRefusedTheLevelIsReadAgainAndServerInformationIsZeroed) {
    testkit::Watchdog dog("refused server", 30000);
    Substitutes substitutes;
    TestLog log;
    CTestPipeServer server(zk_testkit::UniquePipeName(L"impostor"));
    ASSERT_TRUE(server.Start());
    server.SetResponder([](CTestPipeServer& s, size_t client, const std::vector<uint8_t>&) {  // after the session id
        std::u16string name(1500, u'x');
        std::vector<uint8_t> m(kSndHeaderSize + 18 + 2 * name.size());
        s.WriteFrame(client, m.data(), uint32_t(SndBuildDeviceInfo(m.data(), m.size(), 1, 1, 1, 0, name.data(), name.size())));
        s.WriteFrame(client, m.data(), uint32_t(SndBuildNotification(m.data(), m.size(), eZkSndRdpVServerInfo, nullptr, 0)));
    });
    g_impostor = true;
    {
        Client client(server.Name());
        ASSERT_EQ(0u, client.Start());  // a refusal never stops the client
        ASSERT_TRUE(server.WaitForClients(2, 5000)) << "the keeper opens again a second later";
        ASSERT_TRUE(server.WaitForClientGone(1, 5000)) << "the second refusal did not close";
        EXPECT_EQ(DWORD(FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION), g_lastFlags.load())
            << "the open's flags at the default level";
        // At most one attempt began before the change: by the fifth connection's end, one after it has read it.
        g_level = PipeClientLevel::Impersonation;
        ASSERT_TRUE(server.WaitForClientGone(4, 5000)) << "the fifth connection did not close";
        for (size_t refused = 0; refused <= 4; ++refused)
            EXPECT_EQ(0u, server.BytesReceived(refused)) << "bytes sent to refused server " << refused;
        EXPECT_EQ(0u, client.Count(ZKSND_NOTIFY_CONNECTED)) << "callback 8 for a refused server";

        // the same server, seen as it really is (our own user), is accepted
        g_impostor = false;
        EXPECT_TRUE(client.WaitForCount(ZKSND_NOTIFY_CONNECTED, 1)) << "the server, seen as it is, was refused";
        EXPECT_EQ(DWORD(FILE_FLAG_OVERLAPPED), g_lastFlags.load()) << "the open's flags at level 2";
        ASSERT_TRUE(client.WaitForCount(ZKSND_NOTIFY_SERVER_INFO, 1)) << "no server information after the session id";
        EXPECT_EQ(std::vector<uint8_t>(CSndApiPipeClient::kServerInfoMinBytes, 0), client.serverInfo) << "callback 9's bytes";
        // A client a teardown has stopped is never started again (an Init then says 1).
        client.Stop();
        EXPECT_EQ(DWORD(ERROR_CANCELLED), client.Start()) << "a stopped client started";
    }
    // The refusal, the failed attempt's reason (once, however many there were), then the connection.
    const std::wstring text = log.Text();
    EXPECT_TRUE(std::regex_search(text, std::wregex(L"\\[ERROR\\]: +sndapi: CSndApiPipeClient::AcceptServer: \\(\\d+\\): "
                                                    L"pipe server refused: process 4242, SID S-1-5-21-1-2-3-1001 [^]*"
                                                    L"\\[WARNING\\]: +sndapi: CSndApiPipeClient::OnConnectFailed: \\(\\d+\\): cannot "
                                                    L"connect to the service \\(attempt 1\\): the server is not trusted; error 2250 "
                                                    L"\\(ERROR_NOT_CONNECTED\\) at SinglePipeClient line \\d+\\.[^]*"
                                                    L"\\[INFO\\]: +sndapi: CSndApiPipeClient::OnInitConnection: \\(\\d+\\): connected to "
                                                    L"the service: server process \\d+, account S-1-5-[-0-9]+, pipe session \\d+; "
                                                    L"after \\d+ failed attempts and ")))
        << std::string(text.begin(), text.end());
    EXPECT_EQ(std::wstring::npos, text.find(L"(attempt 2)")) << "the failed attempt's reason came twice";
    EXPECT_EQ(std::wstring::npos, text.find(L"server refused", text.find(L"server refused") + 1)) << "the refusal twice";
}
