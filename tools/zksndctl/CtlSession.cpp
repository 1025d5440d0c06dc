#include "tools/zksndctl/CtlSession.h"

#include <cstring>

#include "tools/common/ConsoleOut.h"

namespace zksndctl {
namespace {

// The longest server name read from a server-information payload, in characters.
const size_t kMaxServerName = 512;
// Longest device name taken from a record: the library hands out a pointer without a length, so a
// missing terminator must not run us off the end.
const size_t kMaxNameChars = 4096;
// The most devices a list keeps: a service that never ends its list must not grow it without bound.
const size_t kMaxListDevices = 4096;

const wchar_t* Kind(const DeviceRow& row) { return row.render ? L"render" : L"capture"; }

void OnServerInfo(CtlContext* ctx, const uint8_t* payload) {
    const ServerInfo info = ReadServerInfo(payload);
    if (ctx->watch)
        PrintWatchLine(*ctx, ZKSND_NOTIFY_SERVER_INFO, L"server_info",
                       zktools::Format(L"server information (9): %u.%u \"%s\"", info.major, info.minor,
                                       EscapeControls(info.name).c_str()),
                       CJsonObject().Text(L"version", zktools::Format(L"%u.%u", info.major, info.minor))
                           .Text(L"name", info.name));
    ctx->SetServer(info);
}

void OnDevice(CtlContext* ctx, const SndDeviceInfo* info) {
    if (info == nullptr) return;
    DeviceRow row;
    row.id = info->field0;
    row.def = info->def;
    row.render = info->render;
    row.extra = info->field3;
    for (size_t i = 0; i < kMaxNameChars && info->devName[i] != 0; ++i) row.name += info->devName[i];
    if (ctx->watch)
        PrintWatchLine(*ctx, ZKSND_NOTIFY_DEVICE_INFO, L"device",
                       zktools::Format(L"device (300): id %u, %s%s, extra %u, \"%s\"", row.id, Kind(row),
                                       row.def ? L", default" : L"", row.extra, EscapeControls(row.name).c_str()),
                       CJsonObject().Number(L"id", row.id).Bool(L"default", row.def != 0).Text(L"kind", Kind(row))
                           .Number(L"extra", row.extra).Text(L"name", row.name));
    ctx->AddDevice(row);
}

void OnListEnd(CtlContext* ctx) {
    if (ctx->watch) {
        const unsigned count = static_cast<unsigned>(ctx->ClearDevices());
        PrintWatchLine(*ctx, ZKSND_NOTIFY_DEVICE_LIST_END, L"device_list_end",
                       zktools::Format(L"end of device list (301), %u devices", count),
                       CJsonObject().Number(L"devices", count));
    }
    if (ctx->ListEnded()) ::SetEvent(ctx->listEnd.get());
}

}  // namespace

ServerInfo ReadServerInfo(const uint8_t* payload) {
    ServerInfo info;
    info.received = true;
    MEMORY_BASIC_INFORMATION region = {};
    if (payload == nullptr || ::VirtualQuery(payload, &region, sizeof(region)) == 0) return info;
    const uint8_t* end = static_cast<const uint8_t*>(region.BaseAddress) + region.RegionSize;
    const size_t available = static_cast<size_t>(end - payload);
    if (available < 16) return info;
    std::memcpy(&info.major, payload, 4);
    std::memcpy(&info.minor, payload + 4, 4);
    for (size_t i = 0; i < kMaxServerName && 16 + 2 * i + 1 < available; ++i) {
        const wchar_t c = static_cast<wchar_t>(payload[16 + 2 * i] | (payload[17 + 2 * i] << 8));
        if (c == 0) break;
        info.name += c;
    }
    return info;
}

bool CtlContext::Create() {
    connected.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    newConnection.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    listEnd.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    lost.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return connected.is_valid() && newConnection.is_valid() && listEnd.is_valid() && lost.is_valid();
}

std::vector<DeviceRow> CtlContext::Devices() const {
    const auto lock = m_lock.lock();
    return m_answer;
}

void CtlContext::AddDevice(const DeviceRow& row) {
    const auto lock = m_lock.lock();
    if (m_cut) return;  // the rest of a connection that has ended
    if (m_asked && !m_answering && !m_listOpen) m_answering = true;  // the first list begun after the request
    m_listOpen = true;
    if (m_asked && !m_answering) return;
    if (m_devices.size() >= kMaxListDevices) ++m_notKept;
    else m_devices.push_back(row);
}

void CtlContext::BeginListRequest() {
    const auto lock = m_lock.lock();
    m_devices.clear();
    m_asked = true;
    m_answering = m_cut = m_answerCut = m_answerOverlong = false;
    m_notKept = 0;
    m_answer.clear();
}

bool CtlContext::ListEnded() {
    const auto lock = m_lock.lock();
    if (m_cut) return false;
    // An empty list answers too, when no other was arriving.
    const bool answer = !m_asked || m_answering || !m_listOpen;
    m_listOpen = false;
    if (answer && m_asked) {  // kept apart: what comes next (a list, a 6) is no part of it
        m_answer.swap(m_devices);
        m_devices.clear();
        m_answerOverlong = m_notKept != 0;
        m_notKept = 0;
    }
    if (answer) m_asked = m_answering = false;
    return answer;
}

bool CtlContext::ListCut() {
    const auto lock = m_lock.lock();
    m_devices.clear();
    m_notKept = 0;
    m_listOpen = m_answering = false;
    m_cut = m_asked;
    m_answerCut = m_answerCut || m_asked;
    m_asked = false;
    return m_cut;
}

void CtlContext::ConnectionMade() {
    const auto lock = m_lock.lock();
    m_cut = false;
}

bool CtlContext::WasCut() const {
    const auto lock = m_lock.lock();
    return m_answerCut;
}

bool CtlContext::Overlong() const {
    const auto lock = m_lock.lock();
    return m_answerOverlong;
}

size_t CtlContext::ClearDevices() {
    const auto lock = m_lock.lock();
    const size_t count = m_devices.size() + m_notKept;
    m_devices.clear();
    m_notKept = 0;
    return count;
}

ServerInfo CtlContext::Server() const {
    const auto lock = m_lock.lock();
    return m_server;
}

void CtlContext::SetServer(const ServerInfo& info) {
    const auto lock = m_lock.lock();
    m_server = info;
}

void PrintWatchLine(const CtlContext& ctx, uint32_t code, const wchar_t* event, const std::wstring& text,
                    const CJsonObject& fields) {
    if (!ctx.json) return zktools::PrintLine(zktools::TimeStamp() + L" " + text);
    CJsonObject line;
    line.Text(L"time", zktools::TimeStamp());
    if (code != 0) line.Number(L"code", code);
    else line.Null(L"code");
    zktools::PrintLine(line.Text(L"event", event).Text(L"text", text).Members(fields).Str());
}

void __cdecl OnNotify(uint32_t code, uintptr_t param, void* context) {
    CtlContext* ctx = static_cast<CtlContext*>(context);
    if (ctx == nullptr) return;
    switch (code) {
    case ZKSND_NOTIFY_CONNECTED:
        ++ctx->connects;
        ctx->ConnectionMade();
        ::SetEvent(ctx->connected.get());
        ::SetEvent(ctx->newConnection.get());
        if (ctx->watch) PrintWatchLine(*ctx, code, L"connected", L"connected (8)");
        break;
    case ZKSND_NOTIFY_CONNECTION_LOST: {
        ++ctx->losses;
        if (ctx->ListCut()) ::SetEvent(ctx->listEnd.get());  // the request ends: not connected
        ::ResetEvent(ctx->connected.get());
        ::SetEvent(ctx->lost.get());
        const unsigned session = static_cast<unsigned>(param & 0xFFFFFFFFu);
        if (ctx->watch)
            PrintWatchLine(*ctx, code, L"connection_lost", zktools::Format(L"connection lost (6), session %u", session),
                           CJsonObject().Number(L"session", session));
        break;
    }
    case ZKSND_NOTIFY_SERVER_INFO: OnServerInfo(ctx, reinterpret_cast<const uint8_t*>(param)); break;
    case ZKSND_NOTIFY_DEVICE_INFO: OnDevice(ctx, reinterpret_cast<const SndDeviceInfo*>(param)); break;
    case ZKSND_NOTIFY_DEVICE_LIST_END: OnListEnd(ctx); break;
    default:
        if (ctx->watch) PrintWatchLine(*ctx, code, L"notification", zktools::Format(L"notification %u", code));
        break;
    }
}

int WaitOrStop(HANDLE event, HANDLE stopEvent, DWORD timeoutMs, const wchar_t* progress) {
    HANDLE waits[2] = {event, stopEvent};
    const DWORD count = stopEvent != nullptr ? 2 : 1;
    const bool show = progress != nullptr && zktools::IsConsole(STD_ERROR_HANDLE);
    const ULONGLONG start = ::GetTickCount64();
    size_t shown = 0;
    DWORD w = WAIT_TIMEOUT;
    for (;;) {
        const ULONGLONG waited = ::GetTickCount64() - start;
        if (waited >= timeoutMs) break;
        const DWORD left = static_cast<DWORD>(timeoutMs - waited);
        w = ::WaitForMultipleObjects(count, waits, FALSE, show ? (left < 250 ? left : 250) : left);
        if (w != WAIT_TIMEOUT) break;
        if (show && ::GetTickCount64() - start >= 500) {
            const std::wstring line = zktools::Format(L"zksndctl: waiting for %s... %.1f s of %.1f s", progress,
                                                      (::GetTickCount64() - start) / 1000.0, timeoutMs / 1000.0);
            zktools::PrintErrText(L"\r" + line);
            shown = line.size();
        }
    }
    if (shown != 0) zktools::PrintErrText(L"\r" + std::wstring(shown, L' ') + L"\r");
    if (w == WAIT_OBJECT_0) return kExitOk;
    if (w == WAIT_OBJECT_0 + 1) return kExitInterrupted;
    return kExitTimeout;
}

CLibrarySession::~CLibrarySession() {
    if (m_initialised) m_api.DeInit();  // stops the library's threads: no callback after this
}

uint32_t CLibrarySession::Init() {
    m_initialised = true;  // the library may hold a client even when Init failed
    return m_api.Init(&OnNotify, &m_ctx);
}

int RequestDeviceList(const ZkSndApi& api, CtlContext& ctx, DWORD timeoutMs, HANDLE stopEvent, const wchar_t* progress,
                      std::vector<DeviceRow>* devices, uint32_t* status) {
    ctx.BeginListRequest();
    ::ResetEvent(ctx.listEnd.get());
    *status = api.GetDeviceList();
    if (*status != 0) return ExitCodeForStatus(*status);
    const int waited = WaitOrStop(ctx.listEnd.get(), stopEvent, timeoutMs, progress);
    if (waited != kExitOk) return waited;
    if (ctx.WasCut()) {
        // The connection ended before its list did: a part of one is no answer.
        *status = ZKSND_STATUS_NOT_CONNECTED;
        return ExitCodeForStatus(*status);
    }
    if (ctx.Overlong()) {
        zktools::PrintErrLine(zktools::Format(L"zksndctl: the service listed more than %u devices: not a usable list",
                                              static_cast<unsigned>(kMaxListDevices)));
        *status = ZKSND_STATUS_FAILED;
        return ExitCodeForStatus(*status);
    }
    *devices = ctx.Devices();
    return waited;
}

}  // namespace zksndctl
