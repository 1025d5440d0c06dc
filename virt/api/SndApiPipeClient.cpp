#include "virt/api/SndApiPipeClient.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstring>
#include <functional>
#include <new>
#include <vector>

#include "log/ZkLogger.h"
#include "pipes/MessagePrefix.h"
#include "virt/api/CallbackGuard.h"
#include "virt/api/SndCodes.h"
#include "virt/api/SndProtocol.h"

namespace {

// Pause after a closed connection before the keeper tries again; the keeper
// waits it out on the stop event, so a teardown never waits for it.
const DWORD kReconnectPauseMs = 1000;
// The delivery thread, holding a new connection's first notification, looks
// for its 8 (or a teardown) this often; the 8 itself wakes it at once.
const DWORD kAnnounceWaitMs = 50;
const size_t kErrorChars = 1024;

// The threads inside the application's callback now, with their depth (a
// callback may call an export that calls back on the same thread). A fixed
// table of thread ids rather than thread-local storage: marking a thread can
// never fail for want of memory (thread_local is emulated storage here, a
// calloc on a thread's first use). Callbacks come from the few library
// threads of each client and one application thread at a time (the first
// attempt inside ZkSndVApiInit, which holds the lifecycle lock), so the
// table never fills in practice; a thread that finds it full gets its
// callback unmarked (decisions.md).
class CCallbackThreads {
public:
    // The calling thread's slot, claimed when it has none; null when full.
    static int* Enter() {
        const DWORD self = ::GetCurrentThreadId();
        for (Slot& slot : s_slots) {
            if (slot.thread.load() == self) return &++slot.depth;
        }
        for (Slot& slot : s_slots) {
            DWORD expected = 0;
            if (!slot.thread.compare_exchange_strong(expected, self)) continue;
            slot.depth = 1;
            return &slot.depth;
        }
        return nullptr;
    }
    // Only the owning thread changes its slot's depth; the last leave frees it.
    static void Leave(int* depth) {
        if (depth == nullptr || --*depth != 0) return;
        for (Slot& slot : s_slots) {
            if (&slot.depth == depth) slot.thread.store(0);
        }
    }
    static bool Contains(DWORD thread) {
        for (const Slot& slot : s_slots) {
            if (slot.thread.load() == thread) return true;
        }
        return false;
    }

private:
    struct Slot {
        std::atomic<DWORD> thread{0};
        int depth = 0;
    };
    static const size_t kSlots = 64;
    static Slot s_slots[kSlots];
};
CCallbackThreads::Slot CCallbackThreads::s_slots[CCallbackThreads::kSlots];

const size_t kStoryChars = 400;

// "error 109 (ERROR_BROKEN_PIPE) at PipeConnection line 101" and the text
// when the failed step raised one.
void DescribeFailure(wchar_t (&out)[kStoryChars], const lumlib::LumFailure& f) {
    const char* name = SndErrorName(f.error);
    int used = name[0] != '\0' ? _snwprintf_s(out, kStoryChars, _TRUNCATE, L"error %u (%S)", f.error, name)
                                : _snwprintf_s(out, kStoryChars, _TRUNCATE, L"error %u", f.error);
    if (used < 0 || f.module[0] == L'\0') return;
    _snwprintf_s(out + used, kStoryChars - used, _TRUNCATE, L" at %s line %u%s%s", f.module, f.line,
                 f.text[0] != L'\0' ? L": " : L"", f.text);
}

// A request's reply, read on the thread reading the pipe straight from its buffer
// (CPendingRequests::Answer): the status field and, when the status is OK and
// the reply carries all of it, the record after the header, copied into the
// caller's own record. Read by the caller once its wait has ended.
class CReplyRecord final : public IReplySink {
public:
    CReplyRecord(void* record, uint32_t minReplyLength) : m_record(record), m_minLength(minReplyLength) {}
    void Take(const uint8_t* reply, uint32_t length) override {
        // A reply without a whole header carries no status: 1, code 0.
        if (length < kSndHeaderSize) return;
        code = SndLoadU32(reply, kSndOffStatus);
        status = SndErrorToStatus(code);
        if (status != ZKSND_STATUS_OK) return;
        if (length < m_minLength) {
            status = ZKSND_STATUS_FAILED;
            return;
        }
        // The application's record, written on whichever thread reads the reply:
        // memory it cannot take is its status, not a fault on a library thread.
        if (m_record != nullptr && CopyGuarded(m_record, reply + kSndOffPayload, m_minLength - kSndOffPayload) != 0) {
            status = ZKSND_STATUS_INVALID_PARAMETER;
            code = ERROR_NOACCESS;
        }
    }
    uint32_t status = ZKSND_STATUS_FAILED;
    uint32_t code = 0;

private:
    void* const m_record;
    const uint32_t m_minLength;
};

// Whole seconds and milliseconds of a span, for "%u.%03u s".
uint32_t Seconds(ULONGLONG ms) { return static_cast<uint32_t>(ms / 1000); }
uint32_t Millis(ULONGLONG ms) { return static_cast<uint32_t>(ms % 1000); }

// A request of 8 KB that is nearly all zeros (ZkSndSetDefault's,
// ZkSndGetSettings'), built in the frame that carries it: not built on the
// stack and then copied, and its zeros written only where the frame does not
// hold them already.
class CZerosRequest final : public IMessageSource {
public:
    // A builder that leaves the last `zeroed` bytes as they are.
    using Build = size_t (*)(void* buffer, size_t capacity, uint32_t argument, size_t zeroed);
    CZerosRequest(Build build, uint32_t argument, uint32_t usedSize)
        : m_build(build), m_argument(argument), m_usedSize(usedSize) {}
    void WriteTo(uint8_t* out, uint32_t size, uint32_t zeroed) const override { m_build(out, size, m_argument, zeroed); }
    uint32_t ZeroTail(uint32_t size) const override { return size > m_usedSize ? size - m_usedSize : 0; }

private:
    const Build m_build;
    const uint32_t m_argument;
    const uint32_t m_usedSize;
};

}  // namespace

const wchar_t kSndServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";

std::atomic<bool> CSndApiPipeClient::s_noticeGiven{false};

CSndApiPipeClient::CSndApiPipeClient(std::unique_ptr<CPipeSecurity> sa, const SndClientSetup& setup)
    : m_sessionId(kSndUnknownSessionId),
      m_logger(setup.logger),
      m_mayConnect(setup.mayConnect),
      m_delivery(this),
      m_connection(setup.pipeName != nullptr ? setup.pipeName : kSndServicePipeName, std::move(sa), this) {
    DWORD session = 0;
    if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session))
        m_sessionId = session;
    else  // the client's session id is fixed for its life: support must see why the service gets none
        LogPrint(m_logger.get(), LOG_WARNING,
                 L"sndapi: CSndApiPipeClient::CSndApiPipeClient: (%u): the session id could not be read (error %u); "
                 L"0xFFFFFFFF is sent.",
                 __LINE__, ::GetLastError());
    LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::CSndApiPipeClient: (%u): session: %d, name: %s.",
             __LINE__, m_sessionId, m_connection.PipeName());
    // The header names only the program that started the file; every program
    // that shares it names itself here.
    if (m_logger != nullptr)
        LogPrint(m_logger.get(), LOG_INFO, L"sndapi: CSndApiPipeClient::CSndApiPipeClient: (%u): %s.", __LINE__,
                 m_logger->GetIdentity());
}

CSndApiPipeClient::~CSndApiPipeClient() {
    // The keeper, the channels and the delivery thread call into this
    // object: all of them end before any part of it goes.
    Stop();
}

uint32_t CSndApiPipeClient::Start() {
    // Taken by a callback's teardown after the Init counted itself on it: not
    // started (the Init says 1, "call it again"), whatever that Init meets next.
    if (IsStopped()) return ERROR_CANCELLED;
    // Without its delivery thread the client is not started, and a later
    // ZkSndVApiInit tries again (a started queue is left alone).
    uint32_t result = m_delivery.Start();
    if (result != 0 || m_startedOnce.exchange(true)) return result;
    result = m_connection.Start();
    // Its event or keeper thread could not be made (whatever the error, access
    // denied too): the next ZkSndVApiInit tries again. A client stopped here
    // would stay in the slot, and every later ZkSndVApiInit say "started".
    if (result != 0) m_startedOnce.store(false);
    // Taken by a callback's teardown while it started, before any 8 was told: no client is left
    // for this Init and no 8 comes. (A teardown from the 8 it told leaves the Init's 0.)
    return result == 0 && IsStopped() && !m_announcedOnce.load() ? ERROR_CANCELLED : result;
}

void CSndApiPipeClient::Interrupt() {
    m_connection.MarkStopped();  // the keeper and the retries see the stop event
    m_pending.Stop();            // the waiting requests end with 1460
}

void CSndApiPipeClient::Stop() {
    Interrupt();
    m_connection.Stop();
    m_delivery.Stop();
}

void CSndApiPipeClient::SetCallback(ZkSndNotifyCallback callback, void* context) {
    const auto lock = m_callbackLock.lock_exclusive();
    m_callback = callback;
    m_callbackContext = context;
}

bool CSndApiPipeClient::InCallback() { return CCallbackThreads::Contains(::GetCurrentThreadId()); }

bool CSndApiPipeClient::MayAttempt() {
    // The keeper joins the retirements that have ended, once a second. A
    // client made inside a callback right after that callback's teardown
    // connects once the old client is gone: its first attempt runs on the
    // callback's thread, which the retirement waits for, so the attempts are
    // skipped until the keeper finds none left.
    return m_mayConnect == nullptr || m_mayConnect();
}

void CSndApiPipeClient::OnAttemptDone(uint32_t result) {
    if (result == 0) {
        s_noticeGiven = true;
        return;
    }
    if (s_noticeGiven.exchange(true)) return;
    // Tell the notification handler, once per process, that the service
    // could not be reached.
    uint8_t notice[kMsgNotConnectedNoticeSize];
    MsgBuildNotConnectedNotice(notice, sizeof(notice));
    m_delivery.Push(notice, sizeof(notice));
}

void CSndApiPipeClient::OnNewConnection() {
    // The old connection's reader queued its last notification before its
    // channel was retired; what this one's reader queues is a new epoch.
    m_delivery.BeginEpoch();
    {
        const auto pairLock = m_pairLock.lock();
        m_lossSeen = false;
    }
    BeginStory();
}

void CSndApiPipeClient::BeginStory() {
    // Before this connection's reader starts: every earlier reader has told
    // its loss, and a loss of this one, however soon, ends this story with
    // its own cause (a service that breaks the pipe right after its greeting
    // is told as such, whichever thread gets there first). The line itself
    // waits for TellConnected, once the channel runs: a channel that cannot
    // start is a failed attempt, not a connection.
    const auto storyLock = m_storyLock.lock();
    const ULONGLONG now = ::GetTickCount64();
    m_made = MadeAfter{m_connectThrottle.Count(), m_downSince != 0 ? now - m_downSince : 0, m_downSince != 0, false};
    m_connectedAt = now;
    m_downSince = 0;
    m_endReason = nullptr;
    m_lossCauseKnown = false;
    m_connectThrottle.Reset();
}

void CSndApiPipeClient::TellConnected() {
    if (m_connectedAt == 0 || m_made.told) return;
    m_made.told = true;
    wchar_t after[kStoryChars] = L"";
    if (m_made.attempts != 0)
        _snwprintf_s(after, kStoryChars, _TRUNCATE, L"; after %u failed attempts and %u.%03u s without a connection",
                     m_made.attempts, Seconds(m_made.downMs), Millis(m_made.downMs));
    else if (m_made.wasDown)
        _snwprintf_s(after, kStoryChars, _TRUNCATE, L"; after %u.%03u s without a connection", Seconds(m_made.downMs),
                     Millis(m_made.downMs));
    LogPrint(m_logger.get(), LOG_INFO,
             L"sndapi: CSndApiPipeClient::OnInitConnection: (%u): connected to the service: server process %u, account %s, pipe session %d%s.",
             __LINE__, m_serverProcessId, m_serverSid, m_pipeSessionKnown ? static_cast<int>(m_pipeSession) : -1, after);
}

void CSndApiPipeClient::OnMessage(const uint8_t* data, uint32_t size) {
    // Too short to carry a request number: the stream cannot be trusted any
    // more, so start over with a new connection.
    if (size < kMsgPrefixSize) return m_connection.Disconnect();
    if (MsgPrefixRequestId(data) != 0) return m_pending.Answer(data, size);
    const uint32_t length = MsgPrefixSize(data);
    // A length field that claims more than arrived (or less than the prefix)
    // makes the notification unusable: it is dropped, never read past.
    if (length >= kMsgPrefixSize && length <= size) m_delivery.Stage(data, length);
}

void CSndApiPipeClient::OnMessagesEnd() { m_delivery.EndBatch(); }

bool CSndApiPipeClient::Notify(uint32_t code, uintptr_t param) {
    auto lock = m_callbackLock.lock_shared();
    const ZkSndNotifyCallback callback = m_callback;
    void* const context = m_callbackContext;
    lock.reset();
    // Teardown ends the callbacks: none starts once it has begun.
    if (callback == nullptr || IsStopped()) return false;
    int* const depth = CCallbackThreads::Enter();
    // An exception escaping the application's code would end the process on
    // a library thread, or unwind the library's frames with their locks held.
    const uint32_t raised = CallGuarded(callback, code, param, context);
    CCallbackThreads::Leave(depth);
    if (raised != 0)
        LogError(m_callbackErrors, (uint64_t(code) << 32) | raised,
                 L"sndapi: CSndApiPipeClient::Notify: (%u): the callback raised exception 0x%08X for code %u; ignored.",
                 __LINE__, raised, code);
    return true;
}

void CSndApiPipeClient::LogError(CLogThrottleSet& set, uint64_t kind, const wchar_t* format, ...) {
    CLogThrottleSet::Verdict verdict;
    {
        const auto storyLock = m_storyLock.lock();
        verdict = set.Note(kind, ::GetTickCount64());
    }
    if (verdict.verdict == CLogThrottle::kQuiet) return;
    wchar_t text[kErrorChars] = L"";
    va_list args;
    va_start(args, format);
    _vsnwprintf_s(text, kErrorChars, _TRUNCATE, format, args);
    va_end(args);
    if (verdict.verdict == CLogThrottle::kLine)
        LogPrint(m_logger.get(), LOG_ERROR, L"%s", text);
    else
        LogPrint(m_logger.get(), LOG_ERROR, L"%s (%u more like it over %u s)", text, verdict.held, Seconds(verdict.since));
}

void CSndApiPipeClient::NotifyLost() {
    if (TakeLoss()) Notify(ZKSND_NOTIFY_CONNECTION_LOST, m_sessionId);
}

bool CSndApiPipeClient::TakeLoss() {
    const auto pairLock = m_pairLock.lock();
    const bool announced = m_announced;
    m_announced = false;
    m_lossSeen = true;
    return announced;
}

void CSndApiPipeClient::SetEndReason(const wchar_t* reason) {
    const auto storyLock = m_storyLock.lock();
    if (m_endReason == nullptr) m_endReason = reason;
}

void CSndApiPipeClient::NoteLossCause(const lumlib::LumFailure& cause) {
    const auto storyLock = m_storyLock.lock();
    if (m_lossCauseKnown) return;
    m_lossCause = cause;
    m_lossCauseKnown = true;
}

void CSndApiPipeClient::OnConnectionLost(const lumlib::LumFailure& cause) {
    NoteLossCause(cause);
    // Logged before the 6: an application that ends the library on it still
    // finds the loss and its cause in the log, not a teardown.
    LogConnectionEnded();
    // The waiting requests are left to time out: the connection comes back by itself.
    NotifyLost();
}

void CSndApiPipeClient::LogConnectionEnded() {
    const auto storyLock = m_storyLock.lock();
    if (m_connectedAt == 0) return;
    TellConnected();  // a loss seen before the connecting thread got to tell the connection
    const ULONGLONG now = ::GetTickCount64();
    const ULONGLONG lasted = now - m_connectedAt;
    m_connectedAt = 0;
    m_downSince = now;
    wchar_t why[kStoryChars] = L"";
    wchar_t code[kStoryChars] = L"";
    if (m_lossCauseKnown) DescribeFailure(code, m_lossCause);
    const uint32_t error = m_lossCauseKnown ? m_lossCause.error : 0;
    if (IsStopped())
        wcsncpy(why, L"teardown", kStoryChars - 1);
    else if (m_endReason != nullptr)
        _snwprintf_s(why, kStoryChars, _TRUNCATE, L"%s", m_endReason);
    else if (!m_lossCauseKnown)
        wcsncpy(why, L"this side dropped it", kStoryChars - 1);
    else if (error == 0 || error == ERROR_BROKEN_PIPE || error == ERROR_NO_DATA || error == ERROR_PIPE_NOT_CONNECTED)
        _snwprintf_s(why, kStoryChars, _TRUNCATE, L"the service closed it (%s)", error == 0 ? L"end of data" : code);
    else
        _snwprintf_s(why, kStoryChars, _TRUNCATE, L"%s", code);
    m_endReason = nullptr;
    m_lossCauseKnown = false;
    // A teardown is the application's own ordinary end: INFO, so a healthy process leaves no WARNING.
    LogPrint(m_logger.get(), IsStopped() ? LOG_INFO : LOG_WARNING,
             L"sndapi: CSndApiPipeClient::OnConnectionClosed: (%u): the connection to the service ended after %u.%03u s: %s.",
             __LINE__, Seconds(lasted), Millis(lasted), why);
}

void CSndApiPipeClient::OnConnectFailed(uint32_t failureCount, const lumlib::LumFailure& cause) {
    if (IsStopped()) return;  // an attempt that a teardown ended is no failure to tell
    const bool untrusted = cause.reason == lumlib::LumReason::kServerRefused;
    const uint64_t kind = untrusted ? (uint64_t(1) << 32) : cause.error;
    const auto storyLock = m_storyLock.lock();
    const ULONGLONG now = ::GetTickCount64();
    if (m_downSince == 0) m_downSince = now;
    const CLogThrottle::Verdict verdict = m_connectThrottle.Note(kind, now);
    if (verdict == CLogThrottle::kSummary) {
        const ULONGLONG over = m_connectThrottle.Since(now);
        LogPrint(m_logger.get(), LOG_WARNING,
                 L"sndapi: CSndApiPipeClient::OnConnectFailed: (%u): still not connected after %u attempts over %u s; last error %u (%S).",
                 __LINE__, m_connectThrottle.Count(), Seconds(over), cause.error, SndErrorName(cause.error));
        return;
    }
    if (verdict != CLogThrottle::kLine) return;
    // What the open's error means is said only of the open's: the same code
    // from another step (a thread start denied) is that step's, told by its origin.
    const bool open = cause.reason == lumlib::LumReason::kOpenFailed;
    const wchar_t* what = L"the attempt failed";
    if (untrusted) what = L"the server is not trusted";
    else if (open && cause.error == ERROR_FILE_NOT_FOUND) what = L"no pipe (the service is not running)";
    // The open waits up to a second for a free instance; then the wait's own error tells it.
    else if (open && (cause.error == ERROR_PIPE_BUSY || cause.error == ERROR_SEM_TIMEOUT)) what = L"the pipe is busy";
    else if (open && cause.error == ERROR_ACCESS_DENIED) what = L"the pipe refused the open";
    wchar_t code[kStoryChars] = L"";
    DescribeFailure(code, cause);
    LogPrint(m_logger.get(), LOG_WARNING,
             L"sndapi: CSndApiPipeClient::OnConnectFailed: (%u): cannot connect to the service (attempt %u): %s; %s.",
             __LINE__, failureCount, what, code);
}

void CSndApiPipeClient::OnConnectionClosed() {
    LogConnectionEnded();
    // Also a connection this side dropped (a message it could not use, a
    // session id it could not send) ends the one that callback 8 announced.
    NotifyLost();
    // The keeper gives a service that just dropped us a moment before it
    // tries again; the channel is retired at once, so during the pause there
    // is no connection (a request waits for the next one, a one-way call says 20).
    m_connection.PauseAttempts(kReconnectPauseMs);
}

void CSndApiPipeClient::OnFrameRefused(uint32_t length) {
    SetEndReason(L"a frame was refused");
    LogError(m_streamErrors, 1,
             L"sndapi: CSndApiPipeClient::OnFrameRefused: (%u): frame of %u bytes is longer than %u bytes; connection dropped.",
             __LINE__, length, CChannel::kMaxFrame);
}

void CSndApiPipeClient::OnWriteStalled() {
    SetEndReason(L"the service stopped reading");
    LogError(m_streamErrors, 2,
             L"sndapi: CSndApiPipeClient::OnWriteStalled: (%u): the service read nothing for %u ms; connection dropped.",
             __LINE__, static_cast<uint32_t>(CPipeConnection::kWriteStallMs));
}

// Reported a second at most (and once the queue has drained), then throttled like every ERROR line: a line
// per drop would write through to disk at the rate the service sends.
void CSndApiPipeClient::OnNotificationsDropped(uint32_t count, uint64_t bytes, uint32_t total) {
    LogError(m_streamErrors, 3,
             L"sndapi: CSndApiPipeClient::OnNotificationsDropped: (%u): %u notifications (%u bytes) dropped, %u dropped so far: the callback is too slow.",
             __LINE__, count, static_cast<uint32_t>(bytes < 0xFFFFFFFFu ? bytes : 0xFFFFFFFFu), total);
}

uint32_t CSndApiPipeClient::SendOneWay(const uint8_t* message, uint32_t length) {
    return m_connection.Send(message, length);
}

uint32_t CSndApiPipeClient::OnInitConnection() {
    uint8_t message[kSndStandardRequestSize] = {};
    {
        // Before the 8: an application that looks at the log on it finds the connection there.
        const auto storyLock = m_storyLock.lock();
        TellConnected();
    }
    // Announced under the pair lock, so that a loss seen meanwhile on the
    // reader thread reports 6 only after this 8, and only when the callback
    // was called: a 6 goes only to an application that saw its 8. Under the
    // delivery lock too, so nothing the ended connection sent is handed over
    // after this 8 (what is still queued is dropped and counted: Process).
    {
        const auto pairLock = m_pairLock.lock();
        const auto deliveryLock = m_deliveryLock.lock();
        m_announcedEpoch = m_delivery.CurrentEpoch();
        m_announced = Notify(ZKSND_NOTIFY_CONNECTED, 0);
        if (m_announced) m_announcedOnce.store(true);
    }
    ::WakeAllConditionVariable(&m_announcedChanged);
    SndBuildSetSessionId(message, sizeof(message), m_sessionId);
    LogPrint(m_logger.get(), LOG_DEBUG,
             L"sndapi: CSndApiPipeClient::OnInitConnection: (%u): nCmdSetSessionId <%u> request for session: %u...",
             __LINE__, static_cast<uint32_t>(nCmdSetSessionId), m_sessionId);
    uint32_t result = SendOneWay(message, sizeof(message));
    if (result == 0) return 1;
    LogPrint(m_logger.get(), LOG_DEBUG,
             L"sndapi: CSndApiPipeClient::OnInitConnection: (%u): nCmdSetSessionId <%u> request for session: %u - Failed with err: %u.",
             __LINE__, static_cast<uint32_t>(nCmdSetSessionId), m_sessionId, result);
    // 2250: the connection has ended already (the service broke it right
    // after its greeting, or this side dropped it for what the greeting held).
    // While its channel is still current and its reader has not told the end
    // yet, the reader tells it (the 8 has come), with its cause, after handing
    // on what the service sent before it. Otherwise it is told here.
    lumlib::LumFailure lost;
    if (result == ERROR_NOT_CONNECTED && m_connection.CurrentLossCause(&lost)) {
        const auto pairLock = m_pairLock.lock();
        if (!m_lossSeen) return 1;
    }
    if (result != ERROR_NOT_CONNECTED) SetEndReason(L"the session id could not be sent");
    // The connection announced by 8 is dropped: logged, cut (a request made from the 6 must not
    // go out on it), then the application hears it ended, on this thread. The loss is taken before
    // the cut: the reader the cut ends would tell it on its own thread, where a request made from
    // the 6 waits 3 s for a connection instead of failing at once.
    LogConnectionEnded();
    const bool announced = TakeLoss();
    m_connection.Disconnect();
    if (announced) Notify(ZKSND_NOTIFY_CONNECTION_LOST, m_sessionId);
    return 0;
}

void CSndApiPipeClient::OnNotification(const uint8_t* message, uint32_t length) {
    SndDecodedMsg msg;
    SndDecodeMessage(message, length, msg);
    if (length >= 4)
        LogPrint(m_logger.get(), LOG_INFO, L"sndapi: CSndApiPipeClient::OnNotification: (%u): size: %u.", __LINE__, msg.size);

    if (msg.kind == SndMsgKind::NotConnectedNotice || msg.kind == SndMsgKind::Short) {
        // Shorter than the header (the local not-connected notice among them):
        // there is no event to read and nothing for the application.
        LogPrint(m_logger.get(), LOG_INFO,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): short message of %u bytes, link status: %u.",
                 __LINE__, length, msg.linkStatus);
        return;
    }
    if (msg.asyncFlag == 0 || msg.event == 0) {
        LogError(m_streamErrors, (uint64_t(4) << 32) | msg.event,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): received something: unknown evt: %u, unknown cmd: %u.",
                 __LINE__, msg.event, msg.command);
        return;
    }

    const char* name = SndEventName(msg.event);
    switch (msg.event) {
    case eZkSndRdpVServerInfo:
        LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>.",
                 __LINE__, name, msg.event);
        NotifyServerInfo(message + kSndOffPayload, length > kSndOffPayload ? length - kSndOffPayload : 0);
        break;
    case eZkSndRdpVDeviceInfo:
        if (msg.device.state != SndDeviceRecordState::Complete) {
            // The application would read past the message: drop the record.
            LogError(m_streamErrors, 5,
                     L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>. Malformed device record of %u bytes dropped.",
                     __LINE__, name, msg.event, length);
            break;
        }
        LogPrint(m_logger.get(), LOG_DEBUG,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>. def: %u, render: %u, devName: %s.",
                 __LINE__, name, msg.event, msg.device.def, msg.device.render,
                 reinterpret_cast<const wchar_t*>(msg.device.devName));
        Notify(ZKSND_NOTIFY_DEVICE_INFO, reinterpret_cast<uintptr_t>(message + kSndOffPayload));
        break;
    case eZkSndRdpVLastDeviceInfo:
        LogPrint(m_logger.get(), LOG_DEBUG,
                 L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>. END of device list.",
                 __LINE__, name, msg.event);
        Notify(ZKSND_NOTIFY_DEVICE_LIST_END, 0);
        break;
    default:
        LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::OnNotification: (%u): received evt: %S <%u>.",
                 __LINE__, name, msg.event);
        break;
    }
}

CTransferBuffer::BlockKind CSndApiPipeClient::NotificationKind(const uint8_t* message, uint32_t size) {
    if (size < kSndHeaderSize || SndLoadU32(message, kSndOffAsyncFlag) == 0) return CTransferBuffer::kLoose;
    switch (SndLoadU32(message, kSndOffEvent)) {
    case eZkSndRdpVServerInfo:
        return CTransferBuffer::kLatest;  // only the newest matters; never lost to the cap
    case eZkSndRdpVDeviceInfo:
        return CTransferBuffer::kGroupItem;
    case eZkSndRdpVLastDeviceInfo:
        return CTransferBuffer::kGroupEnd;
    default:
        return CTransferBuffer::kLoose;
    }
}

void CSndApiPipeClient::OnDelivery(const uint8_t* message, uint32_t size, uint64_t epoch) {
    // Shorter than the header (the local not-connected notice among them): a
    // log line and no callback, so no connection's 8 to wait for. The notice
    // may be queued while a connection that never got its 8 is the newest.
    if (size < kSndHeaderSize) return OnNotification(message, size);
    bool stale = false;
    {
        const auto deliveryLock = m_deliveryLock.lock();
        // The reader runs before the connection's 8 is told: its first
        // notifications wait for it (a teardown ends the wait).
        while (epoch != CTransferBuffer::kOlderEpoch && epoch > m_announcedEpoch && !IsStopped())
            m_deliveryLock.wait(m_announcedChanged, kAnnounceWaitMs);
        stale = epoch == CTransferBuffer::kOlderEpoch || epoch < m_announcedEpoch;
        if (!stale) OnNotification(message, size);
    }
    if (stale) m_delivery.CountDrops(1, size);
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
        LogPrint(m_logger.get(), LOG_ERROR,
                 L"sndapi: CSndApiPipeClient::NotifyServerInfo: (%u): no memory for %u bytes of server information.",
                 __LINE__, length);
    }
}

DWORD CSndApiPipeClient::PipeOpenFlags() {
    // Read once; then again only when a pipe is found (ConfirmOpenFlags):
    // an absent service costs no registry read an attempt.
    if (!m_pipeSettingsRead) ConfirmOpenFlags();
    return lumlib::PipeOpenFlags(m_pipeSettings.level);
}

DWORD CSndApiPipeClient::ConfirmOpenFlags() {
    m_pipeSettings = lumlib::ActivePipeIdentityApi().readSettings();
    m_pipeSettingsRead = true;
    return lumlib::PipeOpenFlags(m_pipeSettings.level);
}

bool CSndApiPipeClient::AcceptServer(HANDLE pipe) {
    lumlib::ServerIdentity server;
    const DWORD rc = lumlib::ActivePipeIdentityApi().queryServer(pipe, &server);
    if (rc != ERROR_SUCCESS) {
        LogError(m_serverErrors, rc,
                 L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server refused: process %u, its account could not be read, err: %u.",
                 __LINE__, server.processId, rc);
        return false;
    }
    const wchar_t* source = server.ownerOfPipe ? L"owner of the pipe" : L"process user";
    // The caller's own account is read until it is known: a token query
    // that failed once must not refuse the caller's own service for the session.
    if (m_callerSid.empty()) m_callerSid = lumlib::CurrentUserSid();
    if (!lumlib::SpeaksForServer(server)) {
        LogError(m_serverErrors, (uint64_t(2) << 32) ^ server.sessionId,
                 L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server refused: process %u in session %u: its account could not be read, and the pipe's owner (SID %s) vouches only for a server in session 0.",
                 __LINE__, server.processId, server.sessionId, server.sid.c_str());
        return false;
    }
    if (!lumlib::IsAcceptedServer(server, m_callerSid, m_pipeSettings.trustedSids)) {
        LogError(m_serverErrors, (uint64_t(1) << 32) ^ std::hash<std::wstring>()(server.sid),
                 L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server refused: process %u, SID %s (%s) is not an account the service runs as.",
                 __LINE__, server.processId, server.sid.c_str(), source);
        return false;
    }
    {
        // For the line that tells the connection was made.
        const auto storyLock = m_storyLock.lock();
        m_serverProcessId = server.processId;
        wcsncpy(m_serverSid, server.sid.c_str(), _countof(m_serverSid) - 1);
        m_pipeSessionKnown = ::GetNamedPipeServerSessionId(pipe, &m_pipeSession) != FALSE;
    }
    const bool lent = m_pipeSettings.level == lumlib::PipeClientLevel::Impersonation;
    LogPrint(m_logger.get(), lent ? LOG_WARNING : LOG_DEBUG,
             L"sndapi: CSndApiPipeClient::AcceptServer: (%u): pipe server: process %u, SID %s (%s), caller lent for %s.",
             __LINE__, server.processId, server.sid.c_str(), source,
             lent ? L"impersonation (PipeImpersonationLevel)" : L"identification");
    return true;
}

uint32_t CSndApiPipeClient::ApiGetDeviceList() {
    uint8_t message[kSndStandardRequestSize] = {};
    LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::ApiGetDeviceList: (%u): Request list of devices...",
             __LINE__);
    SndBuildGetDeviceList(message, sizeof(message));
    const uint32_t code = SendOneWay(message, sizeof(message));
    // The list comes as notifications, which no caller reads for: not left
    // waiting for the end of the reader's standby after a burst of requests.
    if (code == 0) m_connection.AskReader();
    return Finish(L"ZkSndVGetDeviceList", SndErrorToStatus(code), code);
}

uint32_t CSndApiPipeClient::ApiSetDefaultDevice(uint32_t device) {
    LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::ApiSetDefaultDevice: (%u): Set default device...",
             __LINE__);
    const CZerosRequest message(&SndBuildSetDefaultDevice, device, kSndSetDefaultUsedSize);
    const uint32_t code = m_connection.Send(message, kSndSetDefaultRequestSize);
    return Finish(L"ZkSndSetDefault", SndErrorToStatus(code), code);
}

// Sends a numbered request and converts the outcome to an API status exactly
// once. No reply at all gives 1. A reply shorter than minReplyLength is refused
// (status 1): the record it should carry is not all there.
uint32_t CSndApiPipeClient::Exchange(const IMessageSource& request, uint32_t size, uint32_t minReplyLength, void* record,
                                     uint32_t* code) {
    CReplyRecord reply(record, minReplyLength);
    const uint32_t result = SendRequest(m_connection, m_pending, request, size, reply);
    *code = result;
    // Not queued (the outgoing queue is full): 2, as for the one-way calls.
    if (result == ERROR_NOT_ENOUGH_MEMORY) return ZKSND_STATUS_NO_MEMORY;
    if (result != 0) return ZKSND_STATUS_FAILED;
    *code = reply.code;
    return reply.status;
}

static_assert(kSndSettingsReplySize - kSndOffPayload == kSndSettingsSize, "the reply carries the whole record");

uint32_t CSndApiPipeClient::GetSettings(void* settings) {
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::GetSettings: (%u): Getting settings...", __LINE__);
    const CZerosRequest request(&SndBuildGetSettings, 0, kSndHeaderSize);

    uint32_t code = 0;
    const uint32_t status = Exchange(request, kSndStandardRequestSize, kSndSettingsReplySize, settings, &code);
    return Finish(L"ZkSndGetSettings", status, code);
}

uint32_t CSndApiPipeClient::SetSettings(const void* settings) {
    if (settings == nullptr) return ZKSND_STATUS_INVALID_PARAMETER;
    uint8_t request[kSndSetSettingsRequestSize];
    LogPrint(m_logger.get(), LOG_DEBUG, L"sndapi: CSndApiPipeClient::SetSettings: (%u): Getting settings...", __LINE__);
    // The header, then the application's record read straight into the request behind its own
    // handler: a record its memory does not hold is status 4, and leaves nothing of the call's held.
    SndBuildSetSettings(request, sizeof(request), nullptr);
    if (CopyGuarded(request + kSndOffPayload, settings, kSndSettingsSize) != 0)
        return Finish(L"ZkSndSetSettings", ZKSND_STATUS_INVALID_PARAMETER, ERROR_NOACCESS);

    uint32_t code = 0;
    const uint32_t status = Exchange(CMessageBytes(request), sizeof(request), kSndHeaderSize, nullptr, &code);
    return Finish(L"ZkSndSetSettings", status, code);
}

uint32_t CSndApiPipeClient::Finish(const wchar_t* exportName, uint32_t status, uint32_t code) {
    // A kind per export (its name's literal), status and code: a caller in a
    // loop gets one line, then one summary a minute; a success ends the story.
    if (status == ZKSND_STATUS_OK && !m_callsFailing.load()) return status;
    const uint64_t kind = (uint64_t(reinterpret_cast<uintptr_t>(exportName)) << 24) ^ (uint64_t(status) << 32) ^ code;
    const auto storyLock = m_storyLock.lock();
    m_callsFailing.store(status != ZKSND_STATUS_OK);
    if (status == ZKSND_STATUS_OK) {
        m_callThrottle.Reset();
        return status;
    }
    const ULONGLONG now = ::GetTickCount64();
    const CLogThrottle::Verdict verdict = m_callThrottle.Note(kind, now);
    if (verdict == CLogThrottle::kLine)
        LogPrint(m_logger.get(), LOG_WARNING,
                 L"sndapi: CSndApiPipeClient::Finish: (%u): %s returned status %u; underlying code %u (%S).", __LINE__,
                 exportName, status, code, SndErrorName(code));
    else if (verdict == CLogThrottle::kSummary)
        LogPrint(m_logger.get(), LOG_WARNING,
                 L"sndapi: CSndApiPipeClient::Finish: (%u): calls still failing: %u failures over %u s; last %s returned status %u, code %u (%S).",
                 __LINE__, m_callThrottle.Count(), Seconds(m_callThrottle.Since(now)), exportName, status, code,
                 SndErrorName(code));
    return status;
}
