#include "pipes/SinglePipeClientEx.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

int32_t CSinglePipeClientEx::s_failedAttempts = 0;

namespace {

// Every message starts with its total length, its request number and a
// link-status word; nothing else of it is read here.
const uint32_t kPrefixSize = 12;
const uint32_t kSizeOffset = 0;
const uint32_t kRequestIdOffset = 4;
const uint32_t kLinkStatusOffset = 8;
const uint32_t kReceiveBufferInitialSize = 65535;

const DWORD kRetryBudgetMs = 3000;  // the service may be restarting
const DWORD kRetryPauseMs = 200;
const DWORD kReplyWaitMs = 3000;

uint32_t ReadU32(const uint8_t* message, uint32_t offset) {
    uint32_t value;
    memcpy(&value, message + offset, sizeof(value));
    return value;
}

void WriteU32(uint8_t* message, uint32_t offset, uint32_t value) {
    memcpy(message + offset, &value, sizeof(value));
}

uint32_t LastErrorOr(uint32_t fallback) {
    DWORD error = ::GetLastError();
    return error != 0 ? error : fallback;
}

}  // namespace

CSinglePipeClientEx::CSinglePipeClientEx(std::unique_ptr<CPipeSecurity> sa)
    : CSinglePipeClient(std::move(sa)),
      m_noticeThreshold(-1),
      m_lastRequestId(0),
      m_receiveBuffer(static_cast<uint8_t*>(malloc(kReceiveBufferInitialSize))),
      m_receiveBufferSize(0) {
    // Without the first block the buffer simply grows on the first message.
    if (m_receiveBuffer != nullptr) m_receiveBufferSize = kReceiveBufferInitialSize;
}

CSinglePipeClientEx::~CSinglePipeClientEx() {
    // Owners stop the client first; one that was not stopped still has threads
    // calling into this object.
    if (m_keeperThread.is_valid()) Stop();

    StopTransfer(1);  // queued notifications are dropped
    free(m_receiveBuffer);
    m_receiveBuffer = nullptr;
    m_receiveBufferSize = 0;
    m_disconnectedEvent.reset();
    {
        lumlib::__auto_locker lock(m_pendingLock.get());
        lock.Lock();
        for (PendingRequest& entry : m_pending) free(entry.reply);
        m_pending.clear();  // closes the reply events
    }
    m_pendingLock.reset();
}

uint32_t CSinglePipeClientEx::Start() {
    if (m_pendingLock.is_valid() || IsStopped()) return 0;

    uint32_t result = 0;
    HANDLE disconnected = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (disconnected == nullptr) {
        result = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    } else {
        m_disconnectedEvent.reset(disconnected);
        HANDLE pendingLock = ::CreateMutexW(nullptr, FALSE, nullptr);
        if (pendingLock == nullptr) {
            result = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
        } else {
            m_pendingLock.reset(pendingLock);
            // The base part may have been started on its own already.
            if (!m_keeperThread.is_valid()) result = StartKeeper();
        }
    }
    // The first attempt's result goes to the status only; a 5 here means the
    // client's own objects could not be created, so nothing is left running.
    if (result == ERROR_ACCESS_DENIED) Stop();
    return result;
}

uint32_t CSinglePipeClientEx::Connect() {
    if (!m_clientLock.is_valid()) return ERROR_NOT_CONNECTED;  // not started

    uint32_t result = CSinglePipeClient::Connect();
    if (result == 0) {
        // A stopped client keeps its disconnected event set for late waiters.
        if (!IsStopped() && m_disconnectedEvent.is_valid()) ::ResetEvent(m_disconnectedEvent.get());
        s_failedAttempts = -1;
        return 0;
    }
    if (s_failedAttempts < 0) return result;
    s_failedAttempts = s_failedAttempts + 1;
    if (s_failedAttempts < m_noticeThreshold) return result;

    // Tell the notification handler, once per process, that the service
    // could not be reached.
    uint8_t* notice = static_cast<uint8_t*>(malloc(kPrefixSize));
    if (notice == nullptr) return result;  // nothing raised, the counter keeps its value
    WriteU32(notice, kSizeOffset, kPrefixSize);
    WriteU32(notice, kRequestIdOffset, 0);
    WriteU32(notice, kLinkStatusOffset, ERROR_NOT_CONNECTED);
    DispatchIncoming(notice, kPrefixSize);
    s_failedAttempts = -1;
    free(notice);
    return result;
}

void CSinglePipeClientEx::OnConnectionLost() {
    if (m_disconnectedEvent.is_valid()) ::SetEvent(m_disconnectedEvent.get());
}

void CSinglePipeClientEx::Stop() {
    ::InterlockedExchange(&m_stopped, 1);
    // Every waiting request returns 1460 at once.
    if (m_disconnectedEvent.is_valid()) ::SetEvent(m_disconnectedEvent.get());
    CSinglePipeClient::Stop();
    // A last keeper attempt may have succeeded and reset it meanwhile.
    if (m_disconnectedEvent.is_valid()) ::SetEvent(m_disconnectedEvent.get());
    // No channel is left to announce a message, so the buffer can go.
    free(m_receiveBuffer);
    m_receiveBuffer = nullptr;
    m_receiveBufferSize = 0;
}

uint32_t CSinglePipeClientEx::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    if (data != nullptr && size != 0) OnNotification(data, static_cast<uint32_t>(size));
    return 1;
}

size_t CSinglePipeClientEx::GetPendingCount() {
    lumlib::__auto_locker lock(m_pendingLock.get());
    lock.Lock();
    return m_pending.size();
}

uint32_t CSinglePipeClientEx::SendRequest(uint8_t* request, uint8_t** reply) {
    if (reply != nullptr) *reply = nullptr;
    if (request == nullptr || reply == nullptr) return ERROR_INVALID_PARAMETER;
    if (ReadU32(request, kSizeOffset) < kPrefixSize) return ERROR_INVALID_PARAMETER;

    HANDLE replyEvent = nullptr;
    uint32_t result = RegisterAndSend(request, &replyEvent);
    // No connection: retry every 200 ms for up to 3 s, each time under a new
    // request number. A client stopped meanwhile ends the wait at once.
    for (DWORD budget = kRetryBudgetMs; result == ERROR_NOT_CONNECTED && budget > 0; budget -= kRetryPauseMs) {
        if (IsStopped()) return ERROR_TIMEOUT;
        if (m_stopEvent.is_valid()) {
            if (::WaitForSingleObject(m_stopEvent.get(), kRetryPauseMs) == WAIT_OBJECT_0) return ERROR_TIMEOUT;
        } else {
            ::Sleep(kRetryPauseMs);
        }
        result = RegisterAndSend(request, &replyEvent);
    }
    if (result != 0) return result;  // the entry was already removed

    HANDLE waits[2] = {replyEvent, m_disconnectedEvent.get()};
    ::WaitForMultipleObjects(2, waits, FALSE, kReplyWaitMs);

    // A reply that made it in is handed over even when the connection has
    // just gone or the client is stopping.
    bool replied = ::WaitForSingleObject(replyEvent, 0) == WAIT_OBJECT_0;
    if (!replied && ::WaitForSingleObject(m_disconnectedEvent.get(), 0) == WAIT_OBJECT_0) {
        RemovePending(replyEvent);  // a late reply then finds no entry and is dropped
        return ERROR_TIMEOUT;
    }

    uint32_t taken = TakeReply(replyEvent, reply);
    if (*reply == nullptr) return ERROR_NOT_FOUND;  // timed out, or no usable reply
    return taken;
}

uint32_t CSinglePipeClientEx::RegisterAndSend(uint8_t* request, HANDLE* replyEvent) {
    uint32_t result = Start();
    if (result != 0) return result;
    if (!m_pendingLock.is_valid()) return ERROR_NOT_CONNECTED;  // stopped before it was started

    // Atomic, so concurrent callers get distinct numbers; 0 marks notifications
    // and is skipped when the counter wraps.
    uint32_t requestId;
    do {
        requestId = static_cast<uint32_t>(::InterlockedIncrement(&m_lastRequestId));
    } while (requestId == 0);
    WriteU32(request, kRequestIdOffset, requestId);

    CHandleHolder created(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!created.is_valid()) return LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
    HANDLE event = created.get();
    {
        lumlib::__auto_locker lock(m_pendingLock.get());
        lock.Lock();
        try {
            m_pending.emplace_back();
        } catch (const std::bad_alloc&) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
        PendingRequest& entry = m_pending.back();
        entry.requestId = requestId;
        entry.replyEvent = std::move(created);  // the entry owns the event from here on
        entry.reply = nullptr;
    }  // never held while sending

    result = CSinglePipeClient::Send(request, ReadU32(request, kSizeOffset));
    if (result == 0) {
        *replyEvent = event;
        return 0;
    }
    RemovePending(event);
    return result;
}

void CSinglePipeClientEx::RemovePending(HANDLE replyEvent) {
    lumlib::__auto_locker lock(m_pendingLock.get());
    lock.Lock();
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->replyEvent.get() != replyEvent) continue;
        free(it->reply);
        m_pending.erase(it);
        return;
    }
}

uint32_t CSinglePipeClientEx::TakeReply(HANDLE replyEvent, uint8_t** reply) {
    *reply = nullptr;
    uint32_t result = Start();
    if (result != 0) return result;

    lumlib::__auto_locker lock(m_pendingLock.get());
    lock.Lock();
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->replyEvent.get() != replyEvent) continue;
        *reply = it->reply;  // null when the wait timed out
        m_pending.erase(it);
        return 0;
    }
    return ERROR_FILE_NOT_FOUND;
}

void CSinglePipeClientEx::OnDataAvailable(uint32_t size) {
    if (size > m_receiveBufferSize && !GrowReceiveBuffer(size)) return;

    uint8_t* buffer = m_receiveBuffer;
    uint32_t length = static_cast<uint32_t>(m_receiveBufferSize);
    if (!Receive(&buffer, &length)) {
        // Only a message larger than announced (one a partial reader had
        // begun) is refused for room; grow to its real size and read it.
        if (length <= m_receiveBufferSize || !GrowReceiveBuffer(length)) return;
        buffer = m_receiveBuffer;
        length = static_cast<uint32_t>(m_receiveBufferSize);
        if (!Receive(&buffer, &length)) return;
    }

    if (length >= kPrefixSize && DispatchIncoming(buffer, length) == 0) return;
    // Too short to carry a request number: the stream cannot be trusted any
    // more, so start over with a new connection.
    Disconnect();
}

bool CSinglePipeClientEx::GrowReceiveBuffer(uint64_t size) {
    uint8_t* grown = static_cast<uint8_t*>(realloc(m_receiveBuffer, static_cast<size_t>(size)));
    if (grown == nullptr) return false;  // the old buffer stays as it was
    m_receiveBuffer = grown;
    m_receiveBufferSize = size;
    return true;
}

uint32_t CSinglePipeClientEx::DispatchIncoming(const uint8_t* message, uint32_t received) {
    uint32_t result = Start();
    if (result != 0) return result;
    if (!m_pendingLock.is_valid()) return ERROR_NOT_CONNECTED;
    if (message == nullptr || received < kPrefixSize) return ERROR_INVALID_DATA;

    uint32_t size = ReadU32(message, kSizeOffset);
    uint32_t requestId = ReadU32(message, kRequestIdOffset);
    // A length field that claims more than arrived (or less than the prefix)
    // makes the message unusable: nothing is copied past the received bytes.
    bool whole = size >= kPrefixSize && size <= received;

    if (requestId == 0) {
        if (whole) Push(message, size);  // delivered later on TransferThread
        return 0;
    }

    lumlib::__auto_locker lock(m_pendingLock.get());
    lock.Lock();
    for (PendingRequest& entry : m_pending) {
        if (entry.requestId != requestId) continue;
        if (entry.reply == nullptr && whole) {
            // A duplicate reply keeps the first one.
            uint8_t* copy = static_cast<uint8_t*>(malloc(size));
            if (copy != nullptr) memcpy(copy, message, size);
            entry.reply = copy;
        }
        // Without a usable copy the waiter wakes at once and reports 1168.
        ::SetEvent(entry.replyEvent.get());
        break;
    }
    // A reply nobody waits for any more is dropped.
    return 0;
}
