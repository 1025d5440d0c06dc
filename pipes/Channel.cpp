#include "pipes/Channel.h"

#include <cstring>
#include <new>

#include "pipes/FrameReader.h"

using lumlib::LumError;
using lumlib::LumReason;

namespace {

const wchar_t kChannelModule[] = L"Channel";

// What the frame buffer goes back to after a large message.
const uint64_t kStandardFrameBuffer = 16 * 1024;

// Writes all of it; the failed step's error.
LumError WriteAll(CConnection* connection, const uint8_t* p, uint32_t left) {
    while (left) {
        uint32_t written = left;
        const LumError error = connection->Write(p, &written);
        if (error.failed()) return error;
        if (written > left) written = left;
        p += written;
        left -= written;
    }
    return LumError();
}

}  // namespace

// ---- CChannel: construction and destruction --------------------------------

CChannel::CChannel(CConnection* connection) : CTransferBuffer(), m_connection(nullptr) {
    if (!connection) {
        // Nothing to carry: StartThreads refuses to start.
        m_startError = lumlib::Fail(ERROR_INVALID_PARAMETER, LumReason::kInvalid, kChannelModule, __LINE__);
        return;
    }
    m_connection = connection;  // the caller keeps it until the threads started
    SetQueueCap(kSendQueueCap);
}

CChannel::~CChannel() {
    // End the transfer worker before the members Process uses go away;
    // frames not yet written are dropped. The reader has ended already when
    // the derived class called Shutdown; this is the safety net.
    StopTransfer(1);
    m_stopRequested.store(true);
    CancelConnection();
    m_reader.Join();
}

LumError CChannel::StartThreads() {
    if (m_started) return LumError();
    if (!m_startError.failed()) {
        const DWORD error = m_reader.Start(ReaderThread, this);
        if (error != ERROR_SUCCESS) m_startError = lumlib::Fail(error, LumReason::kFailed, kChannelModule, __LINE__);
    }
    // Nothing reads: the connection stays with the caller.
    if (m_startError.failed()) {
        DetachConnection();
        return m_startError;
    }
    m_started = true;
    return LumError();
}

// ---- Sending ---------------------------------------------------------------

LumError CChannel::SendData(const void* data, uint32_t size) {
    // After a Disconnect the connection is on its way out, as after a loss.
    if (IsLost() || IsClosing()) return lumlib::Fail(ERROR_CONNECTION_ABORTED, LumReason::kLost, kChannelModule, __LINE__);
    if (!data && size) return lumlib::Fail(ERROR_INVALID_PARAMETER, LumReason::kInvalid, kChannelModule, __LINE__);
    // A message the queue refused (at its cap, no memory) was never queued: say so.
    if (!Push(data, size)) return lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__);
    return LumError();
}

uint32_t CChannel::Process(const uint8_t* data, uint64_t size, uint32_t /*queueEmpty*/) {
    // Lost: what is still queued is dropped at once, not handed to a write
    // that would wait out its stall bound again.
    if (IsLost()) return 0;
    auto sendLock = m_sendLock.lock();
    if (!m_connection) return 0;  // released: the message is dropped
    const uint32_t length = static_cast<uint32_t>(size);
    uint8_t header[kFrameLengthSize];
    StoreFrameLength(header, length);
    LumError error;
    // Length and message in one write: each write is a kernel call and a
    // completion to wait for. Without room for the copy, two writes.
    if (m_frame.Grow(kFrameLengthSize + size)) {
        std::memcpy(m_frame.get(), header, kFrameLengthSize);
        if (length) std::memcpy(m_frame.get() + kFrameLengthSize, data, length);
        error = WriteAll(m_connection, m_frame.get(), kFrameLengthSize + length);
        ShrinkToStandard(m_frame, kStandardFrameBuffer);
    } else {
        error = WriteAll(m_connection, header, kFrameLengthSize);
        if (!error.failed()) error = WriteAll(m_connection, data, length);
    }
    if (!error.failed()) return 1;
    sendLock.reset();
    // The connection's write bound (the service stopped reading) is reported;
    // a cancel or a broken pipe is the loss itself.
    if (error.reason == LumReason::kStalled) OnWriteStalled();
    // The rest of the frame is lost; the channel is done for. The reader's
    // pending read ends with the cancel.
    lumlib::LumFailure cause;
    cause.Keep(error);
    MarkLost(&cause);
    CancelConnection();
    return 0;
}

// ---- Receiving -------------------------------------------------------------

unsigned __stdcall CChannel::ReaderThread(void* self) {
    CChannel* channel = static_cast<CChannel*>(self);
    lumlib::LumFailure cause;
    channel->ReadUntilEnd(&cause);
    channel->MarkLost(&cause);
    channel->FinishReading();
    return 0;
}

void CChannel::ReadUntilEnd(lumlib::LumFailure* cause) {
    // The connection stays attached while this thread reads: it is detached
    // only by this thread, or after it has ended.
    CConnection* connection = m_connection;
    CFrameReader reader(kMaxFrame);
    bool batchOpen = false;
    // Any failure (a broken or cancelled connection, a frame that is too
    // long or cannot be held) ends the connection; the failed step returns
    // its error, and the boundary keeps anything an owner raises in the thread.
    lumlib::CatchReturn([&] {
        while (!IsLost() && !StopAsked()) {
            // Whatever has arrived, up to the room there is (one chunk, or
            // the rest of a large message), straight into the frame reader's
            // buffer: no copy before the messages are cut out.
            size_t room = 0;
            uint8_t* tail = reader.Reserve(kReadChunk, &room);
            if (tail == nullptr) {
                return cause->Keep(lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__));
            }
            uint32_t got = static_cast<uint32_t>(room < kMaxFrame ? room : kMaxFrame);
            const LumError error = connection->Read(tail, &got);
            if (error.failed()) return cause->Keep(error);
            reader.Commit(got);
            batchOpen = true;
            const bool goOn = DeliverFrames(reader);
            // The batch ends before the next read moves the reader's bytes.
            batchOpen = false;
            OnMessagesEnd();
            if (!goOn) return;
            // A large frame grew the reader's buffer: let it go once nothing is pending.
            reader.Shrink(kStandardFrameBuffer + kReadChunk);
        }
    }, cause);
    // A batch a raise cut short ends while its bytes are still there.
    if (batchOpen) OnMessagesEnd();
}

bool CChannel::DeliverFrames(CFrameReader& reader) {
    const uint8_t* message = nullptr;
    uint32_t length = 0;
    CFrameReader::Result result;
    // Each message is looked at as it stands in the reader's buffer; a
    // Disconnect or a stop ends the giving between two messages.
    while (!StopAsked() && (result = reader.Next(&message, &length)) == CFrameReader::kFrame) OnMessage(message, length);
    if (StopAsked()) return false;
    if (result != CFrameReader::kTooLarge) return true;
    OnFrameRefused(reader.Announced());
    return false;
}

void CChannel::FinishReading() {
    // Nothing more is read: a write stuck on a full pipe ends now too, so
    // the send lock is free for the detach below.
    CancelConnection();
    // Everything received before the loss was given; a Disconnect or a stop
    // ends the connection without telling the loss.
    // The owner's handlers run inside the thread's error boundary: whatever
    // they raise, the connection is still released.
    if (!StopAsked()) lumlib::CatchReturn([this] { OnDisconnected(); });
    // A stop leaves the connection to Shutdown; otherwise it is released
    // here, once nobody reads from it (its owner then retires the channel).
    if (m_stopRequested.load()) return;
    if (CConnection* connection = DetachConnection()) lumlib::CatchReturn([connection] { connection->Release(); });
}

void CChannel::MarkLost(const lumlib::LumFailure* cause) {
    const auto causeLock = m_causeLock.lock();
    if (cause != nullptr && !IsLost()) m_lostCause = *cause;
    m_lost.store(true);
}

// ---- Ending ----------------------------------------------------------------

void CChannel::CancelConnection() {
    const auto cancelLock = m_cancelLock.lock();
    if (m_connection) m_connection->Cancel();
}

CConnection* CChannel::DetachConnection() {
    // The send lock waits for a frame being written (the cancel ends it).
    const auto sendLock = m_sendLock.lock();
    const auto cancelLock = m_cancelLock.lock();
    CConnection* connection = m_connection;
    m_connection = nullptr;
    return connection;
}

void CChannel::Disconnect() {
    // Without the send lock: the transfer thread may hold it in a write that
    // only this cancel can end. The flag first: the reader checks it between
    // messages, and its read ends with the cancel.
    const auto cancelLock = m_cancelLock.lock();
    if (m_connection) {
        RefusePushes();
        m_connection->Cancel();
    }
}

uint32_t CChannel::RequestStop() {
    m_stopRequested.store(true);
    return m_reader.HasEnded() ? 1 : 0;
}

void CChannel::Shutdown() {
    // The cancel ends a read the reader may be waiting in; the reader is
    // joined (unless this is the reader itself, in a callback of its own).
    m_stopRequested.store(true);
    CancelConnection();
    m_reader.Join();
    if (CConnection* connection = DetachConnection()) connection->Release();
    m_started = false;
}

// ---- CSinglePipeChannel ----------------------------------------------------

CSinglePipeChannel::CSinglePipeChannel(CConnection* connection, IChannelOwner* owner)
    : CChannel(connection), m_owner(owner) {
    // If this fails (StartError), the connection stays with the caller.
    StartThreads();
}

CSinglePipeChannel::~CSinglePipeChannel() { Shutdown(); }

void CSinglePipeChannel::OnMessage(const uint8_t* data, uint32_t size) {
    if (m_owner) m_owner->OnMessage(data, size);
}

void CSinglePipeChannel::OnMessagesEnd() {
    if (m_owner) m_owner->OnMessagesEnd();
}

void CSinglePipeChannel::OnDisconnected() {
    if (!m_owner) return;
    m_owner->OnLossCause(LostCause());
    m_owner->OnConnectionLost();
}

void CSinglePipeChannel::OnFrameRefused(uint32_t length) {
    if (m_owner) m_owner->OnFrameRefused(length);
}

void CSinglePipeChannel::OnWriteStalled() {
    if (m_owner) m_owner->OnWriteStalled();
}
