// The exports end to end: zksndapi.dll loaded with LoadLibraryW, resolved
// with GetProcAddress, against the test pipe server on the service's pipe.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "support/TestPipeServer.h"
#include "support/ProcessCounters.h"
#include "virt/api/SndProtocol.h"
#include "virt/api/zksndapi.h"

using zk_testkit::CTestPipeServer;

namespace {

// GetProcAddress's generic pointer, cast through void* to the export's type.
template <class T>
T Proc(HMODULE dll, const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(::GetProcAddress(dll, name)));
}

struct Api {
    HMODULE dll = nullptr;
    PFN_ZkSndVApiInit Init = nullptr;
    PFN_ZkSndVoid CleanUp = nullptr;
    PFN_ZkSndVoid GetDeviceList = nullptr;
    PFN_ZkSndVoid DeInit = nullptr;
    PFN_ZkSndSetDefault SetDefault = nullptr;
    PFN_ZkSndGetSettings GetSettings = nullptr;
    PFN_ZkSndSetSettings SetSettings = nullptr;
    PFN_ZkSndVoid IsLocked = nullptr;

    bool Load() {
        dll = ::LoadLibraryW(L"zksndapi.dll");
        if (!dll) return false;
        Init = Proc<PFN_ZkSndVApiInit>(dll, "ZkSndVApiInit");
        CleanUp = Proc<PFN_ZkSndVoid>(dll, "ZkSndVCleanUp");
        GetDeviceList = Proc<PFN_ZkSndVoid>(dll, "ZkSndVGetDeviceList");
        DeInit = Proc<PFN_ZkSndVoid>(dll, "ZkSndDeInit");
        SetDefault = Proc<PFN_ZkSndSetDefault>(dll, "ZkSndSetDefault");
        GetSettings = Proc<PFN_ZkSndGetSettings>(dll, "ZkSndGetSettings");
        SetSettings = Proc<PFN_ZkSndSetSettings>(dll, "ZkSndSetSettings");
        IsLocked = Proc<PFN_ZkSndVoid>(dll, "ZkConfigIsLocked");
        return Init && CleanUp && GetDeviceList && DeInit && SetDefault && GetSettings && SetSettings && IsLocked;
    }
};

Api& TheApi() {
    static Api api;
    if (!api.dll) api.Load();
    return api;
}

// Everything the callback was told, with the thread it ran on.
struct Notice {
    uint32_t code;
    uintptr_t param;
    void* context;
    DWORD thread;
    std::wstring devName;  // code 300
    uint32_t def = 0;
};

class Recorder {
public:
    static void Callback(uint32_t code, uintptr_t param, void* context) {
        Recorder* self = s_current;
        if (!self) return;
        Notice n{code, param, context, ::GetCurrentThreadId(), L"", 0};
        if (code == ZKSND_NOTIFY_DEVICE_INFO && param) {
            const SndDeviceInfo* dev = reinterpret_cast<const SndDeviceInfo*>(param);
            n.devName = dev->devName;
            n.def = dev->def;
        }
        std::lock_guard<std::mutex> lock(self->m_mutex);
        self->m_notices.push_back(n);
        self->m_changed.notify_all();
    }

    Recorder() { s_current = this; }
    ~Recorder() { s_current = nullptr; }

    bool WaitFor(const std::function<bool(const std::vector<Notice>&)>& done, DWORD ms = 5000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done(m_notices); });
    }
    bool WaitForCount(uint32_t code, size_t count, DWORD ms = 5000) {
        return WaitFor([&](const std::vector<Notice>& v) { return CountOf(v, code) >= count; }, ms);
    }
    std::vector<Notice> Snapshot() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_notices;
    }
    static size_t CountOf(const std::vector<Notice>& v, uint32_t code) {
        size_t n = 0;
        for (const Notice& x : v) n += x.code == code;
        return n;
    }

private:
    static Recorder* s_current;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<Notice> m_notices;
};
Recorder* Recorder::s_current = nullptr;

DWORD CurrentSession() {
    DWORD session = 0;
    return ::ProcessIdToSessionId(::GetCurrentProcessId(), &session) ? session : 0xFFFFFFFFu;
}

// A service stand-in: answers the device list with the given names, set-default
// with nothing, and settings requests with the configured status.
struct FakeService {
    CTestPipeServer server;
    std::vector<std::u16string> devices = {u"Speakers", u"Headset"};
    uint32_t replyStatus = 0;
    uint8_t settings[kSndSettingsSize];
    bool answer = true;

    FakeService() {
        for (uint32_t i = 0; i < kSndSettingsSize; ++i) settings[i] = uint8_t(i * 7 + 1);
        server.SetResponder([this](CTestPipeServer& s, size_t client, const std::vector<uint8_t>& frame) {
            SndDecodedRequest req;
            if (!SndDecodeRequest(frame.data(), frame.size(), req)) return;
            std::vector<uint8_t> out(9000);
            if (req.command == nCmdGetDeviceList) {
                for (size_t i = 0; i < devices.size(); ++i) {
                    size_t n = SndBuildDeviceInfo(out.data(), out.size(), uint32_t(i), i == 0, 1, 0,
                                                  devices[i].data(), devices[i].size());
                    s.WriteFrame(client, out.data(), uint32_t(n));
                }
                size_t n = SndBuildLastDeviceInfo(out.data(), out.size());
                s.WriteFrame(client, out.data(), uint32_t(n));
            } else if ((req.command == nCmdGetSettings || req.command == nCmdSetSettings) && answer) {
                if (req.command == nCmdSetSettings && req.settings) std::memcpy(settings, req.settings, kSndSettingsSize);
                size_t n = SndBuildReply(out.data(), out.size(), req.requestId, req.command, replyStatus,
                                         req.command == nCmdGetSettings && replyStatus == 0 ? settings : nullptr);
                s.WriteFrame(client, out.data(), uint32_t(n));
            }
        });
    }

    // Frames of one command code, in arrival order.
    std::vector<std::vector<uint8_t>> FramesOf(uint32_t command) {
        std::vector<std::vector<uint8_t>> result;
        for (size_t i = 0; i < server.FrameCount(); ++i) {
            std::vector<uint8_t> f = server.Frame(i);
            if (f.size() >= kSndHeaderSize && SndLoadU32(f.data(), kSndOffCommand) == command) result.push_back(f);
        }
        return result;
    }
    bool WaitForCommand(uint32_t command, size_t count, DWORD ms = 5000) {
        DWORD start = ::GetTickCount();
        for (;;) {
            if (FramesOf(command).size() >= count) return true;
            if (::GetTickCount() - start > ms) return false;
            server.WaitForFrames(server.FrameCount() + 1, 100);
        }
    }
};

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(TheApi().dll != nullptr) << "zksndapi.dll did not load or lacks an export";
    }
    void TearDown() override { TheApi().DeInit(); }
    Api& api = TheApi();
};

}  // namespace

TEST_F(ExportsTest, UninitialisedLibraryAnswersFailureToEverything) {
    EXPECT_EQ(1u, api.IsLocked());
    EXPECT_EQ(1u, api.GetDeviceList());
    EXPECT_EQ(1u, api.SetDefault(3));
    EXPECT_EQ(1u, api.GetSettings(nullptr));  // the client check comes before the pointer check
    EXPECT_EQ(1u, api.SetSettings(nullptr));
    EXPECT_EQ(0u, api.CleanUp());
    EXPECT_EQ(0u, api.CleanUp());
    EXPECT_EQ(0u, api.DeInit());
    EXPECT_EQ(1u, api.IsLocked());
}

TEST_F(ExportsTest, WithoutServiceRequestsFailAsDefined) {
    Recorder rec;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
    EXPECT_EQ(1u, api.IsLocked());

    DWORD start = ::GetTickCount();
    EXPECT_EQ(uint32_t(ZKSND_STATUS_NOT_CONNECTED), api.GetDeviceList());
    EXPECT_EQ(uint32_t(ZKSND_STATUS_NOT_CONNECTED), api.SetDefault(1));
    EXPECT_LT(::GetTickCount() - start, 1000u);

    SndSettings s;
    EXPECT_EQ(4u, api.GetSettings(nullptr));
    start = ::GetTickCount();
    EXPECT_EQ(1u, api.GetSettings(&s));
    DWORD elapsed = ::GetTickCount() - start;
    EXPECT_GE(elapsed, 2500u);  // retried for about 3 s
    EXPECT_LE(elapsed, 6000u);
    EXPECT_TRUE(rec.Snapshot().empty());  // nothing connected, nothing to tell
}

TEST_F(ExportsTest, ConnectedCallbackArrivesInsideInitThenSessionIdIsSent) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    int context = 0;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, &context));

    std::vector<Notice> seen = rec.Snapshot();  // taken right after Init returned
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_CONNECTED), seen[0].code);
    EXPECT_EQ(0u, seen[0].param);
    EXPECT_EQ(&context, seen[0].context);
    EXPECT_EQ(::GetCurrentThreadId(), seen[0].thread);

    ASSERT_TRUE(svc.WaitForCommand(nCmdSetSessionId, 1));
    std::vector<uint8_t> f = svc.FramesOf(nCmdSetSessionId)[0];
    SndDecodedRequest req;
    ASSERT_TRUE(SndDecodeRequest(f.data(), f.size(), req));
    EXPECT_TRUE(req.wellFormed);
    EXPECT_EQ(kSndStandardRequestSize, f.size());
    EXPECT_EQ(CurrentSession(), req.argument);

    // a second init only replaces the callback and finds the client started
    EXPECT_EQ(0u, api.Init(&Recorder::Callback, &context));
    EXPECT_EQ(1u, Recorder::CountOf(rec.Snapshot(), ZKSND_NOTIFY_CONNECTED));
}

TEST_F(ExportsTest, DeviceListArrivesInOrderOnTheDeliveryThread) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
    ASSERT_TRUE(svc.server.WaitForClient(5000));

    ASSERT_EQ(0u, api.GetDeviceList());
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1));
    std::vector<Notice> seen = rec.Snapshot();
    ASSERT_EQ(4u, seen.size());
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_DEVICE_INFO), seen[1].code);
    EXPECT_EQ(L"Speakers", seen[1].devName);
    EXPECT_EQ(1u, seen[1].def);
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_DEVICE_INFO), seen[2].code);
    EXPECT_EQ(L"Headset", seen[2].devName);
    EXPECT_EQ(0u, seen[2].def);
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_DEVICE_LIST_END), seen[3].code);
    EXPECT_EQ(0u, seen[3].param);
    EXPECT_NE(::GetCurrentThreadId(), seen[1].thread);
    EXPECT_EQ(seen[1].thread, seen[3].thread);  // one delivery thread, in queue order

    std::vector<uint8_t> f = svc.FramesOf(nCmdGetDeviceList).at(0);
    SndDecodedRequest req;
    ASSERT_TRUE(SndDecodeRequest(f.data(), f.size(), req));
    EXPECT_TRUE(req.wellFormed);
}

TEST_F(ExportsTest, OnlyKnownWellFormedNotificationsReachTheApplication) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
    ASSERT_TRUE(svc.server.WaitForClient(5000));

    std::vector<uint8_t> m(256);
    size_t n = SndBuildServerInfo(m.data(), m.size(), "info", 5);
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));
    for (uint32_t evt : {4u, 5u, 6u, 7u, 8u, 9u, 1234u}) {
        n = SndBuildNotification(m.data(), m.size(), evt, nullptr, 0);
        ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));
    }
    n = SndBuildNotification(m.data(), m.size(), eZkSndRdpVDeviceInfo, nullptr, 0);
    SndStoreU32(m.data(), kSndOffAsyncFlag, 0);  // not a notification after all
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));
    // a device record whose name runs off the end of the message
    n = SndBuildDeviceInfo(m.data(), m.size(), 0, 0, 1, 0, u"Cut", 3);
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n - 2)));
    // shorter than the header, with request number 0
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), 20));
    n = SndBuildLastDeviceInfo(m.data(), m.size());
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));

    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1));
    std::vector<Notice> seen = rec.Snapshot();
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_CONNECTED), seen[0].code);
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_SERVER_INFO), seen[1].code);
    EXPECT_EQ(0, std::memcmp("info", reinterpret_cast<const void*>(seen[1].param), 5));
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_DEVICE_LIST_END), seen[2].code);
}

TEST_F(ExportsTest, BrokenPipeReportsLossThenReconnectsAndResendsSession) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
    ASSERT_TRUE(svc.WaitForCommand(nCmdSetSessionId, 1));

    ASSERT_TRUE(svc.server.CloseClient(0));
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_CONNECTED, 2, 10000));
    std::vector<Notice> seen = rec.Snapshot();
    ASSERT_GE(seen.size(), 3u);
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_CONNECTION_LOST), seen[1].code);
    EXPECT_EQ(uintptr_t(CurrentSession()), seen[1].param);
    EXPECT_EQ(uint32_t(ZKSND_NOTIFY_CONNECTED), seen[2].code);
    ASSERT_TRUE(svc.WaitForCommand(nCmdSetSessionId, 2));
    EXPECT_EQ(0u, api.GetDeviceList());
}

TEST_F(ExportsTest, SettingsRepliesConvertTheirStatusOnce) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    ASSERT_EQ(0u, api.Init(nullptr, nullptr));
    ASSERT_TRUE(svc.server.WaitForClient(5000));

    struct Case { uint32_t serviceStatus; uint32_t expected; };
    const Case cases[] = {{0, 0}, {5, 8}, {1168, 5}, {2250, 20}, {122, 3}, {6701, 10}, {8398, 11}, {12345, 1}};
    for (const Case& c : cases) {
        svc.replyStatus = c.serviceStatus;
        SndSettings got;
        std::memset(&got, 0xEE, sizeof(got));
        EXPECT_EQ(c.expected, api.GetSettings(&got)) << "service status " << c.serviceStatus;
        if (c.expected == 0) EXPECT_EQ(0, std::memcmp(got.data, svc.settings, sizeof(got.data)));
        else EXPECT_EQ(0xEE, got.data[0]) << "nothing copied on failure";
        SndSettings put;
        std::memset(&put, 0x5A, sizeof(put));
        EXPECT_EQ(c.expected, api.SetSettings(&put)) << "service status " << c.serviceStatus;
    }

    // the set-settings request carries the record and nothing else
    std::vector<uint8_t> f = svc.FramesOf(nCmdSetSettings).at(0);
    ASSERT_EQ(kSndSetSettingsRequestSize, f.size());
    SndDecodedRequest req;
    ASSERT_TRUE(SndDecodeRequest(f.data(), f.size(), req));
    EXPECT_TRUE(req.wellFormed);
    EXPECT_NE(0u, req.requestId);
    EXPECT_EQ(0x5A, f[kSndOffPayload]);
    EXPECT_EQ(0x5A, f[kSndSetSettingsRequestSize - 1]);
}

TEST_F(ExportsTest, SilentServiceGivesFailureAfterTheReplyWait) {
    FakeService svc;
    svc.answer = false;
    ASSERT_TRUE(svc.server.Start());
    ASSERT_EQ(0u, api.Init(nullptr, nullptr));
    ASSERT_TRUE(svc.server.WaitForClient(5000));
    SndSettings s;
    DWORD start = ::GetTickCount();
    EXPECT_EQ(1u, api.GetSettings(&s));
    EXPECT_GE(::GetTickCount() - start, 2500u);
}

TEST_F(ExportsTest, SetDefaultSendsTheDeviceValueUnchanged) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    ASSERT_EQ(0u, api.Init(nullptr, nullptr));
    ASSERT_TRUE(svc.server.WaitForClient(5000));
    EXPECT_EQ(0u, api.SetDefault(0xDEADBEEF));
    ASSERT_TRUE(svc.WaitForCommand(nCmdSetDefaultDevice, 1));
    std::vector<uint8_t> f = svc.FramesOf(nCmdSetDefaultDevice)[0];
    EXPECT_EQ(kSndSetDefaultRequestSize, f.size());
    SndDecodedRequest req;
    ASSERT_TRUE(SndDecodeRequest(f.data(), f.size(), req));
    EXPECT_TRUE(req.wellFormed);
    EXPECT_EQ(0xDEADBEEFu, req.argument);
}

TEST_F(ExportsTest, ReinitWithNullCallbackKeepsTheFirstCallbackAndContext) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    int first = 1;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, &first));
    ASSERT_TRUE(svc.server.WaitForClient(5000));
    int other = 2;
    ASSERT_EQ(0u, api.Init(nullptr, &other));
    ASSERT_EQ(0u, api.GetDeviceList());
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1));
    for (const Notice& n : rec.Snapshot()) EXPECT_EQ(&first, n.context) << "code " << n.code;
}

TEST_F(ExportsTest, CleanUpAndDeInitCyclesLeaveNothingBehind) {
    FakeService svc;
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    long threadsBefore = testkit::ProcessThreadCount();
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
        ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_CONNECTED, size_t(2 * i + 1)));
        EXPECT_EQ(0u, api.CleanUp());
        EXPECT_EQ(1u, api.GetDeviceList()) << "no client after clean-up";
        ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
        ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_CONNECTED, size_t(2 * i + 2)));
        EXPECT_EQ(0u, api.DeInit());
    }
    // Clean-up does not report a lost connection: only the library ended it.
    EXPECT_EQ(0u, Recorder::CountOf(rec.Snapshot(), ZKSND_NOTIFY_CONNECTION_LOST));
    EXPECT_LE(testkit::WaitForThreadCountAtMost(threadsBefore, 5000), threadsBefore);
}

namespace {

const wchar_t kSettingsKey[] = L"Software\\Zelkor\\Tessaline Server";

std::wstring LogFilePath() {
    wchar_t folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return L"";
    return std::wstring(folder) + L"\\Zelkor\\Tessaline Server\\zksndapi.txt";
}

// The log's lines, decoded from UTF-16LE without a byte-order mark.
std::vector<std::wstring> ReadLogLines(const std::wstring& path) {
    std::vector<std::wstring> lines;
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return lines;
    CHandleHolder holder(file);
    std::vector<char> bytes(::GetFileSize(file, nullptr));
    DWORD read = 0;
    ::ReadFile(file, bytes.data(), DWORD(bytes.size()), &read, nullptr);
    std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), read / 2);
    size_t start = 0;
    for (size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Each pattern must match, in order, the label and the text after the prefix
// of some line (the line numbers of the logging statements are \d+).
void ExpectLogLines(const std::vector<std::wstring>& lines, const std::vector<std::pair<std::wstring, std::wstring>>& expected) {
    size_t from = 0;
    for (const auto& e : expected) {
        std::wregex pattern(L"^\\[" + e.first + L"\\]: +" + e.second + L"$");
        bool found = false;
        for (size_t i = from; i < lines.size() && !found; ++i) {
            size_t label = lines[i].find(L"[" + e.first + L"]");
            if (label == std::wstring::npos) continue;
            if (std::regex_match(lines[i].substr(label), pattern)) {
                found = true;
                from = i + 1;
            }
        }
        EXPECT_TRUE(found) << "no line [" << std::string(e.first.begin(), e.first.end()) << "] "
                           << std::string(e.second.begin(), e.second.end());
    }
}

}  // namespace

TEST_F(ExportsTest, AtLogLevel3TheSessionClientLogsEveryStep) {
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_WOW64_64KEY, 0);
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                               KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr));
    DWORD level = 3;
    ::RegSetValueExW(key, L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level), sizeof(level));
    ::RegCloseKey(key);
    const std::wstring log = LogFilePath();
    ::DeleteFileW(log.c_str());

    FakeService svc;
    svc.devices = {u"Speakers"};
    ASSERT_TRUE(svc.server.Start());
    Recorder rec;
    ASSERT_EQ(0u, api.Init(&Recorder::Callback, nullptr));
    ASSERT_TRUE(svc.WaitForCommand(nCmdSetSessionId, 1));
    ASSERT_EQ(0u, api.GetDeviceList());
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 1));
    std::vector<uint8_t> m(64);
    size_t n = SndBuildNotification(m.data(), m.size(), eZkSndRdpVServiceOn, nullptr, 0);
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));
    n = SndBuildNotification(m.data(), m.size(), eZkSndRdpVServerInfo, nullptr, 0, 7);
    SndStoreU32(m.data(), kSndOffEvent, 0);  // event 0: not a notification
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));
    n = SndBuildLastDeviceInfo(m.data(), m.size());
    ASSERT_TRUE(svc.server.WriteFrame(0, m.data(), uint32_t(n)));
    ASSERT_TRUE(rec.WaitForCount(ZKSND_NOTIFY_DEVICE_LIST_END, 2));
    ASSERT_EQ(0u, api.SetDefault(1));
    SndSettings s = {};
    ASSERT_EQ(0u, api.GetSettings(&s));
    ASSERT_EQ(0u, api.SetSettings(&s));
    ASSERT_EQ(0u, api.DeInit());  // drains the log into the file

    const std::wstring session = std::to_wstring(CurrentSession());
    const std::wstring sc = L"sndapi: CSndApiPipeClient::";
    ExpectLogLines(ReadLogLines(log), {
        {L"DEBUG", sc + L"CSndApiPipeClient: \\(\\d+\\): session: " + session + L", name: 3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7\\."},
        {L"DEBUG", sc + L"OnInitConnection: \\(\\d+\\): nCmdSetSessionId <0> request for session: " + session + L"\\.\\.\\."},
        {L"DEBUG", sc + L"ApiGetDeviceList: \\(\\d+\\): Request list of devices\\.\\.\\."},
        {L"INFO", sc + L"OnNotification: \\(\\d+\\): size: " + std::to_wstring(SndDeviceInfoSize(8)) + L"\\."},
        {L"DEBUG", sc + L"OnNotification: \\(\\d+\\): received evt: eZkSndRdpVDeviceInfo <2>\\. def: 1, render: 1, devName: Speakers\\."},
        {L"DEBUG", sc + L"OnNotification: \\(\\d+\\): received evt: eZkSndRdpVLastDeviceInfo <3>\\. END of device list\\."},
        {L"DEBUG", sc + L"OnNotification: \\(\\d+\\): received evt: eZkSndRdpVServiceOn <5>\\."},
        {L"ERROR", sc + L"OnNotification: \\(\\d+\\): received something: unknown evt: 0, unknown cmd: 7\\."},
        {L"DEBUG", sc + L"ApiSetDefaultDevice: \\(\\d+\\): Set default device\\.\\.\\."},
        {L"DEBUG", sc + L"GetSettings: \\(\\d+\\): Getting settings\\.\\.\\."},
        {L"DEBUG", sc + L"SetSettings: \\(\\d+\\): Getting settings\\.\\.\\."},
    });
    ::RegDeleteKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, KEY_WOW64_64KEY, 0);
}
