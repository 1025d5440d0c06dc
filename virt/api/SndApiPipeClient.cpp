#include "virt/api/SndApiPipeClient.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "log/ZkLogger.h"
#include "virt/api/ApiState.h"
#include "virt/api/CallbackGuard.h"
#include "virt/api/SndCodes.h"
#include "virt/api/SndProtocol.h"

namespace {

// Pause after a closed connection before the keeper tries again; the keeper
// waits it out on the stop event, so a teardown never waits for it.
const DWORD kReconnectPauseMs = 1000;

// Depth of callback calls on this thread.
thread_local int t_callbackDepth = 0;

}  // namespace

CSndApiPipeClient::CSndApiPipeClient(std::unique_ptr<CPipeSecurity> sa)
    : CSinglePipeClientEx(std::move(sa)), m_sessionId(kSndUnknownSessionId) {
    DWORD session = 0;
    if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) m_sessionId = session;
    m_callerSid = lumlib::CurrentUserSid();
    LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::CSndApiPipeClient: (%u): session: %d, name: %s.",
             __LINE__, m_sessionId, m_pipeName);
}

CSndApiPipeClient::~CSndApiPipeClient() {
    // The keeper, the channels and the delivery thread call this class's
    // overrides: all of them end before this part is gone.
    if (m_keeper.IsStarted()) Stop();
    StopTransfer(1);
}

void CSndApiPipeClient::SetCallback(ZkSndNotifyCallback callback, void* context) {
    ::AcquireSRWLockExclusive(&m_callbackLock);
    m_callback = callback;
    m_callbackContext = context;
    ::ReleaseSRWLockExclusive(&m_callbackLock);
}

bool CSndApiPipeClient::InCallback() { return t_callbackDepth > 0; }

uint32_t CSndApiPipeClient::Connect() {
    // The keeper joins the retirements that have ended, once a second. A
    // client made inside a callback right after that callback's teardown
    // connects once the old client is gone: its first attempt runs on the
    // callback's thread, which the retirement waits for, so the attempts are
    // skipped until the keeper finds none left.
    if (!JoinRetirements(false) && !HasChannel()) return ERROR_NOT_CONNECTED;
    return CSinglePipeClientEx::Connect();
}

void CSndApiPipeClient::Notify(uint32_t code, uintptr_t param) {
    ::AcquireSRWLockShared(&m_callbackLock);
    const ZkSndNotifyCallback callback = m_callback;
    void* const context = m_callbackContext;
    ::ReleaseSRWLockShared(&m_callbackLock);
    // Teardown ends the callbacks: none starts once it has begun.
    if (callback == nullptr || IsStopped()) return;
    ++t_callbackDepth;
    // An exception escaping the application's code would end the process on
    // a library thread.
    const uint32_t raised = CallGuarded(callback, code, param, context);
    --t_callbackDepth;
    if (raised != 0)
        LogPrint(g_pLogger, LOG_ERROR,
                 L"sndapi: CSndApiPipeClient::Notify: (%u): the callback raised exception 0x%08X for code %u; ignored.",
                 __LINE__, raised, code);
}

void CSndApiPipeClient::NotifyLost() {
    m_pairLock.lock();
    const bool announced = m_announced;
    m_announced = false;
    m_pairLock.unlock();
    if (announced) Notify(ZKSND_NOTIFY_CONNECTION_LOST, m_sessionId);
}

void CSndApiPipeClient::OnConnectionClosed(CConnection* connection) {
    // Also a connection this side dropped (a message it could not use, a
    // session id it could not send) ends the one that callback 8 announced.
    NotifyLost();
    // The keeper gives a service that just dropped us a moment before it
    // tries again; the channel is retired at once, so during the pause there
    // is no connection (a request waits for the next one, a one-way call says 20).
    PauseAttempts(kReconnectPauseMs);
    CSinglePipeClientEx::OnConnectionClosed(connection);
}

void CSndApiPipeClient::OnFrameRefused(uint32_t length) {
    LogPrint(g_pLogger, LOG_ERROR,
             L"sndapi: CSndApiPipeClient::OnFrameRefused: (%u): frame of %u bytes is longer than %u bytes; connection dropped.",
             __LINE__, length, CChannel::kMaxFrame);
}

void CSndApiPipeClient::OnWriteStalled() {
    LogPrint(g_pLogger, LOG_ERROR,
             L"sndapi: CSndApiPipeClient::OnWriteStalled: (%u): the service read nothing for %u ms; connection dropped.",
             __LINE__, static_cast<uint32_t>(CPipeConnection::kWriteStallMs));
}

// One line a second at most: a line per drop would write through to disk
// at the rate the service sends.
void CSndApiPipeClient::OnNotificationsDropped(uint32_t count, uint64_t bytes, uint32_t total) {
    LogPrint(g_pLogger, LOG_ERROR,
             L"sndapi: CSndApiPipeClient::OnNotificationsDropped: (%u): %u notifications (%u bytes) dropped, %u dropped so far: the callback is too slow.",
             __LINE__, count, static_cast<uint32_t>(bytes < 0xFFFFFFFFu ? bytes : 0xFFFFFFFFu), total);
}

uint32_t CSndApiPipeClient::SendOneWay(const uint8_t* message, uint32_t length) {
    uint32_t result = Start();
    if (result == 0) result = CSinglePipeClient::Send(message, length);
    return result;
}

uint32_t CSndApiPipeClient::OnInitConnection() {
    uint8_t message[kSndStandardRequestSize] = {};
    // Announced under the pair lock, so that a loss seen meanwhile on the
    // dispatch thread reports 6 only after this 8.
    m_pairLock.lock();
    m_announced = !IsStopped();
    Notify(ZKSND_NOTIFY_CONNECTED, 0);
    m_pairLock.unlock();
    SndBuildSetSessionId(message, sizeof(message), m_sessionId);
    LogPrint(g_pLogger, LOG_DEBUG,
             L"sndapi: CSndApiPipeClient::OnInitConnection: (%u): nCmdSetSessionId <%u> request for session: %u...",
             __LINE__, static_cast<uint32_t>(nCmdSetSessionId), m_sessionId);
    uint32_t result = SendOneWay(message, sizeof(message));
    if (result == 0) return 1;
    LogPrint(g_pLogger, LOG_DEBUG,
             L"sndapi: CSndApiPipeClient::OnInitConnection: (%u): nCmdSetSessionId <%u> request for session: %u - Failed with err: %u.",
             __LINE__, static_cast<uint32_t>(nCmdSetSessionId), m_sessionId, result);
    // The connection announced by 8 is dropped: the application hears it ended.
    NotifyLost();
    return 0;
}

void CSndApiPipeClient::OnConnectionLost() {
    // The waiting requests are left to time out: the connection comes back by itself.
    NotifyLost();
}

void CSndApiPipeClient::OnNotification(const uint8_t* message, uint32_t length) {
    SndDecodedMsg msg;
    SndDecodeMessage(message, length, msg);
    if (length >= 4)
        LogPrint(g_pLogger, LOG_INFO, L"sndapi: CSndApiPipeClient::OnNotification: (%u): size: %u.", __LINE__, msg.size);

    if (msg.kind == SndMsgKind::NotConnectedNotice || msg.kind == SndMsgKind::Short) {
        // Shorter than the header (the local not-connected notice among them):
        // there is no event to read and nothing for the application.
        LogPrint(g_pLogger, LOG_INFO,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): short message of %u bytes, link status: %u.",
                 __LINE__, length, msg.linkStatus);
        return;
    }
    if (msg.asyncFlag == 0 || msg.event == 0) {
        LogPrint(g_pLogger, LOG_ERROR,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): received something: unknown evt: %u, unknown cmd: %u.",
                 __LINE__, msg.event, msg.command);
        return;
    }

    const char* name = SndEventName(msg.event);
    switch (msg.event) {
    case eZkSndRdpVServerInfo:
        LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>.",
                 __LINE__, name, msg.event);
        NotifyServerInfo(message + kSndOffPayload, length > kSndOffPayload ? length - kSndOffPayload : 0);
        break;
    case eZkSndRdpVDeviceInfo:
        if (msg.device.state != SndDeviceRecordState::Complete) {
            // The application would read past the message: drop the record.
            LogPrint(g_pLogger, LOG_ERROR,
                     L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>. Malformed device record of %u bytes dropped.",
                     __LINE__, name, msg.event, length);
            break;
        }
        LogPrint(g_pLogger, LOG_DEBUG,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>. def: %u, render: %u, devName: %s.",
                 __LINE__, name, msg.event, msg.device.def, msg.device.render,
                 reinterpret_cast<const wchar_t*>(msg.device.devName));
        Notify(ZKSND_NOTIFY_DEVICE_INFO, reinterpret_cast<uintptr_t>(message + kSndOffPayload));
        break;
    case eZkSndRdpVLastDeviceInfo:
        LogPrint(g_pLogger, LOG_DEBUG,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>. END of device list.",
                 __LINE__, name, msg.event);
        Notify(ZKSND_NOTIFY_DEVICE_LIST_END, 0);
        break;
    default:
        LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>.",
                 __LINE__, name, msg.event);
        break;
    }
}

// The application gets no length with callback 9, so the payload is handed
// over in a zeroed block of at least kServerInfoMinBytes that also ends in
// zeros: a reader that expects a fixed record or a terminated text never
// runs past it, even for an empty payload.
void CSndApiPipeClient::NotifyServerInfo(const uint8_t* payload, uint32_t length) {
    const size_t kZeroTail = 4;  // room for a terminator after a payload of any size
    try {
        std::vector<uint8_t> padded(std::max<size_t>(kServerInfoMinBytes, size_t(length) + kZeroTail), 0);
        if (length != 0) std::memcpy(padded.data(), payload, length);
        Notify(ZKSND_NOTIFY_SERVER_INFO, reinterpret_cast<uintptr_t>(padded.data()));
    } catch (const std::bad_alloc&) {
        LogPrint(g_pLogger, LOG_ERROR,
                 L"sndapi: CSndApiPipeClient::NotifyServerInfo: (%u): no memory for %u bytes of server information.",
                 __LINE__, length);
    }
}

DWORD CSndApiPipeClient::PipeOpenFlags() {
    m_pipeSettings = lumlib::ActivePipeIdentityApi().readSettings();
    return lumlib::PipeOpenFlags(m_pipeSettings.level);
}

bool CSndApiPipeClient::AcceptServer(HANDLE pipe) {
    lumlib::ServerIdentity server;
    const DWORD rc = lumlib::ActivePipeIdentityApi().queryServer(pipe, &server);
    if (rc != ERROR_SUCCESS) {
        LogPrint(g_pLogger, LOG_ERROR,
                 L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server refused: process %u, its account could not be read, err: %u.",
                 __LINE__, server.processId, rc);
        return false;
    }
    const wchar_t* source = server.ownerOfPipe ? L"owner of the pipe" : L"process user";
    if (!lumlib::IsAcceptedServer(server, m_callerSid, m_pipeSettings.trustedSids)) {
        LogPrint(g_pLogger, LOG_ERROR,
                 L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server refused: process %u, SID %s (%s) is not an account the service runs as.",
                 __LINE__, server.processId, server.sid.c_str(), source);
        return false;
    }
    const bool lent = m_pipeSettings.level == lumlib::PipeClientLevel::Impersonation;
    LogPrint(g_pLogger, lent ? LOG_WARNING : LOG_DEBUG,
             L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server: process %u, SID %s (%s), caller lent for %s.",
             __LINE__, server.processId, server.sid.c_str(), source,
             lent ? L"impersonation (PipeImpersonationLevel)" : L"identification");
    return true;
}

uint32_t CSndApiPipeClient::ApiGetDeviceList() {
    uint8_t message[kSndStandardRequestSize] = {};
    LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::ApiGetDeviceList: (%u): Request list of devices...",
             __LINE__);
    SndBuildGetDeviceList(message, sizeof(message));
    return SndErrorToStatus(SendOneWay(message, sizeof(message)));
}

uint32_t CSndApiPipeClient::ApiSetDefaultDevice(uint32_t device) {
    uint8_t message[kSndSetDefaultRequestSize] = {};
    LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::ApiSetDefaultDevice: (%u): Set default device...",
             __LINE__);
    SndBuildSetDefaultDevice(message, sizeof(message), device);
    return SndErrorToStatus(SendOneWay(message, sizeof(message)));
}

// Sends a numbered request and converts the outcome to an API status exactly
// once. No reply at all gives 1. A reply shorter than minReplyLength is refused
// (status 1): the record it should carry is not all there.
uint32_t CSndApiPipeClient::Exchange(uint8_t* request, uint32_t minReplyLength, lumlib::CByteBlock& reply) {
    uint32_t result = SendRequest(request, reply);
    // Not queued (the outgoing queue is full): 2, as for the one-way calls.
    if (result == ERROR_NOT_ENOUGH_MEMORY) return ZKSND_STATUS_NO_MEMORY;
    if (reply.empty()) return ZKSND_STATUS_FAILED;
    if (result != 0) return SndErrorToStatus(result);
    // the reply is a copy of exactly its length field's bytes
    uint32_t replyLength = SndPrefixSize(reply.get());
    if (replyLength < kSndHeaderSize) return ZKSND_STATUS_FAILED;
    uint32_t status = SndErrorToStatus(SndLoadU32(reply.get(), kSndOffStatus));
    if (status == ZKSND_STATUS_OK && replyLength < minReplyLength) return ZKSND_STATUS_FAILED;
    return status;
}

uint32_t CSndApiPipeClient::GetSettings(void* settings) {
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    lumlib::CByteBlock request(kSndStandardRequestSize);
    if (request.empty()) return ZKSND_STATUS_NO_MEMORY;
    LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::GetSettings: (%u): Getting settings...", __LINE__);
    SndBuildGetSettings(request.get(), kSndStandardRequestSize);

    lumlib::CByteBlock reply;
    uint32_t status = Exchange(request.get(), kSndSettingsReplySize, reply);
    if (status == ZKSND_STATUS_OK) std::memcpy(settings, reply.get() + kSndOffPayload, kSndSettingsSize);
    return status;
}

uint32_t CSndApiPipeClient::SetSettings(const void* settings) {
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    lumlib::CByteBlock request(kSndSetSettingsRequestSize);
    if (request.empty()) return ZKSND_STATUS_NO_MEMORY;
    LogPrint(g_pLogger, LOG_DEBUG, L"sndapi: CSndApiPipeClient::SetSettings: (%u): Getting settings...", __LINE__);
    SndBuildSetSettings(request.get(), kSndSetSettingsRequestSize, settings);

    lumlib::CByteBlock reply;
    return Exchange(request.get(), kSndHeaderSize, reply);
}
