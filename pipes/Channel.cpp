#include "pipes/Channel.h"

#include <cstring>
#include <new>

#include "pipes/FrameReader.h"

using lumlib::LumError;
using lumlib::LumReason;

namespace {

const wchar_t kChannelModule[] = L"Channel";

// A message queued behind a backlog is built on the caller's stack up to this
// (the service's longest message is under 9 KB).
const uint32_t kBuildOnStack = 9 * 1024;
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

// ---- Construction and destruction ------------------------------------------

CChannel::CChannel(std::unique_ptr<CConnection> connection, IChannelOwner* owner, DWORD readerStandbyMs)
    : m_owner(owner), m_connection(std::move(connection)), m_standbyMs(readerStandbyMs), m_outgoing(this) {
    // Nothing to carry: StartThreads refuses to start.
    if (!m_connection || !owner) m_startError = lumlib::Fail(ERROR_INVALID_PARAMETER, LumReason::kInvalid, kChannelModule, __LINE__);
}

CChannel::~CChannel() { Shutdown(); }

LumError CChannel::StartThreads(bool readerSuspended) {
    if (m_started) return LumError();
    if (!m_startError.failed()) {
        m_outgoing.SetQueueCap(kSendQueueCap);
        // No writer thread while callers find the pipe free.
        m_outgoing.SetOnDemand(kWriterIdleMs);
        m_outgoing.DeliverEmptyBlocks();  // the wake for a write a caller handed over
        DWORD error = m_outgoing.Start();
        if (error == ERROR_SUCCESS) error = m_reader.Start(ReaderThread, this, readerSuspended);
        if (error != ERROR_SUCCESS) m_startError = lumlib::Fail(error, LumReason::kFailed, kChannelModule, __LINE__);
    }
    if (m_startError.failed()) return m_startError;
    m_started = true;
    return LumError();
}

// ---- Sending ---------------------------------------------------------------

LumError CChannel::SendData(const IMessageSource& message, uint32_t size) {
    // After a Disconnect the connection is on its way out, as after a loss
    // (or once the service closed its end: its reader drains what is left).
    if (IsLost() || SendsBroken() || m_outgoing.IsClosing()) return lumlib::Fail(ERROR_CONNECTION_ABORTED, LumReason::kLost, kChannelModule, __LINE__);
    if (size == 0) return LumError();  // no frame at all
    auto pipeLock = m_pipeLock.lock();
    // Behind a backlog: queued, so the order of the calls is kept.
    if (m_callerWriting || m_handovers != 0 || !m_outgoing.IsIdle()) return Queue(message, size);
    // The pipe is free: nobody holds the send lock, so this waits for nothing.
    m_callerWriting = true;
    auto sendLock = m_sendLock.lock();
    pipeLock.reset();
    // Every message needs the frame's room (kept between messages); without
    // it the call is refused, the connection kept. A frame written in pieces
    // would wait here for each piece's completion, up to the stall bound,
    // holding the client (and every export) all that time.
    const bool room = m_frame.Grow(kFrameLengthSize + uint64_t(size));
    bool unsent = false;
    const LumError error = room ? WriteNow(message, size, &unsent) : LumError();
    // Without the pipe lock: a caller that still sees the flag queues behind
    // this frame, one that no longer sees it waits for the send lock below.
    m_callerWriting.store(false);
    sendLock.reset();
    if (!room) return lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__);
    // The loss is told by the reader, as for a queued frame. A frame of which
    // nothing left met a pipe already closed: the call sees a lost connection,
    // as a moment later it would, so a request waits for the next one. Once
    // part of it may have left, it cannot be sent again: the call succeeded.
    if (error.failed()) OnWriteFailed(error);
    if (error.failed() && unsent) return lumlib::Fail(ERROR_CONNECTION_ABORTED, LumReason::kLost, kChannelModule, __LINE__);
    return LumError();
}

LumError CChannel::Queue(const IMessageSource& message, uint32_t size) {
    const void* bytes = message.Bytes();
    // Built here, then copied into the queue. On this stack when it fits (a
    // heap block per queued call would add an allocation where the caller
    // had none, and a checking heap holds freed blocks back a while).
    uint8_t onStack[kBuildOnStack];
    lumlib::CByteBlock onHeap;
    if (bytes == nullptr) {
        uint8_t* built = size <= sizeof(onStack) ? onStack : onHeap.Grow(size) ? onHeap.get() : nullptr;
        if (built != nullptr) message.WriteTo(built, size, 0);
        bytes = built;
    }
    // A message the queue refused (at its cap, no memory) was never queued: say so.
    if (bytes != nullptr && m_outgoing.Push(bytes, size)) return LumError();
    return lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__);
}

LumError CChannel::WriteNow(const IMessageSource& message, uint32_t size, bool* unsent) {
    bool pending = false;
    // Detached: the channel is ending, and the message is dropped as a queued one would be.
    if (!m_connection) return LumError();
    LumError error = StartFrame(message, size, &pending);
    *unsent = error.failed() && m_frameSent == 0;  // refused before any byte went
    if (error.failed() || !pending) return error;
    // The pipe is full for a moment (the service reads it in its own time):
    // waited for here, as a raw writer would, before a thread takes it over.
    error = FinishFrame(kCallerWaitMs);
    if (error.failed() || !m_framePending) return error;
    {
        // A write must not stay pending on a thread that may end (its end
        // would cancel it): the writer finishes it, before anything queued
        // behind it.
        const auto pipeLock = m_pipeLock.lock();
        if (m_outgoing.PushBlock(nullptr, 0, true)) {
            ++m_handovers;
            return LumError();
        }
    }
    // No writer to take it (no thread or memory, or the channel is ending):
    // rather than hold the client for up to the stall bound, the write is
    // ended here and the connection with it, as a lost queued frame would end
    // it. The loss is told with that cause, not the cancel's that ends the write.
    lumlib::LumFailure cause;
    cause.Keep(lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__));
    MarkLost(&cause);
    m_connection->Cancel();
    FinishFrame();
    return cause;
}

LumError CChannel::StartFrame(const IMessageSource& message, uint32_t size, bool* pending) {
    *pending = false;
    uint8_t header[kFrameLengthSize];
    StoreFrameLength(header, size);
    // Length and message in one write: each write is a kernel call and a
    // completion to wait for. Without room for the copy (only on the writer:
    // a caller's send was refused), two writes that end before this returns
    // (the bytes are the queued copy's).
    if (!m_frame.Grow(kFrameLengthSize + uint64_t(size))) {
        const uint8_t* bytes = static_cast<const uint8_t*>(message.Bytes());
        if (bytes == nullptr) return lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__);
        const LumError error = WriteAll(m_connection.get(), header, kFrameLengthSize);
        return error.failed() ? error : WriteAll(m_connection.get(), bytes, size);
    }
    std::memcpy(m_frame.get(), header, kFrameLengthSize);
    BuildInFrame(message, size);
    m_frameLength = kFrameLengthSize + size;
    m_frameSent = 0;
    return WriteRest(pending);
}

void CChannel::BuildInFrame(const IMessageSource& message, uint32_t size) {
    const uint64_t begin = kFrameLengthSize;
    const uint64_t end = begin + size;
    const uint64_t zerosFrom = m_zerosFrom;
    const uint64_t zerosTo = m_zerosTo;
    // The zeros the frame holds at the end of where the message goes.
    const uint64_t zeroedFrom = zerosFrom > begin ? zerosFrom : begin;
    const bool known = zeroedFrom < end && zerosTo >= end;
    // Nothing is known while the message writes: one that raised half-way leaves no false zeros.
    m_zerosFrom = m_zerosTo = 0;
    message.WriteTo(m_frame.get() + begin, size, known ? static_cast<uint32_t>(end - zeroedFrom) : 0);
    // Now: the message's own zero tail, joined to zeros after it that it left as they were.
    const uint32_t tail = message.ZeroTail(size);
    const uint64_t tailFrom = end - (tail < size ? tail : size);
    const uint64_t afterFrom = zerosFrom > end ? zerosFrom : end;
    const bool after = afterFrom < zerosTo;
    if (tailFrom < end) {
        m_zerosFrom = tailFrom;
        m_zerosTo = after && afterFrom == end ? zerosTo : end;
    } else if (after) {
        m_zerosFrom = afterFrom;
        m_zerosTo = zerosTo;
    }
}

LumError CChannel::WriteRest(bool* pending) {
    *pending = false;
    while (m_frameSent < m_frameLength) {
        uint32_t written = m_frameLength - m_frameSent;
        const LumError error = m_connection->StartWrite(m_frame.get() + m_frameSent, &written, pending);
        if (error.failed()) return error;
        if (*pending) {
            m_framePending = true;
            return LumError();
        }
        m_frameSent += written < m_frameLength - m_frameSent ? written : m_frameLength - m_frameSent;
    }
    ShrinkToStandard(m_frame, kStandardFrameBuffer);
    // Bytes past a smaller block are gone (growing keeps what there was).
    if (m_zerosTo > m_frame.capacity()) m_zerosFrom = m_zerosTo = 0;
    return LumError();
}

LumError CChannel::FinishFrame(DWORD waitMs) {
    const ULONGLONG start = ::GetTickCount64();
    while (m_framePending && m_connection) {
        const ULONGLONG waited = ::GetTickCount64() - start;
        const DWORD left = waitMs == INFINITE ? INFINITE : waited >= waitMs ? 0 : static_cast<DWORD>(waitMs - waited);
        uint32_t written = 0;
        bool stillPending = false;
        const LumError error = m_connection->FinishWrite(&written, left, waitMs == INFINITE ? nullptr : &stillPending);
        if (stillPending) return error;
        m_framePending = false;
        if (error.failed()) return error;
        m_frameSent += written < m_frameLength - m_frameSent ? written : m_frameLength - m_frameSent;
        // A completed write that took less than it was given: the rest, from this thread.
        bool pending = false;
        const LumError rest = WriteRest(&pending);
        if (rest.failed()) return rest;
    }
    return LumError();
}

uint32_t CChannel::Process(const uint8_t* data, uint64_t size, uint32_t /*queueEmpty*/) {
    const bool handover = size == 0;  // an empty block: a caller's write to finish
    LumError error;
    {
        const auto sendLock = m_sendLock.lock();
        // Lost: what is still queued is dropped at once, not handed to a write
        // that would wait out its stall bound again. Released, or the
        // service's end closed: dropped too.
        if (m_connection && !IsLost() && !SendsBroken()) {
            // A write a caller handed over goes out before anything behind it.
            error = FinishFrame();
            bool pending = false;
            if (!error.failed() && !handover) error = StartFrame(CMessageBytes(data), static_cast<uint32_t>(size), &pending);
            if (!error.failed() && pending) error = FinishFrame();
        }
    }
    if (handover) {
        const auto pipeLock = m_pipeLock.lock();
        --m_handovers;
    }
    if (error.failed()) OnWriteFailed(error);
    return error.failed() ? 0 : 1;
}

void CChannel::Dropped(uint32_t /*blocks*/, uint64_t /*bytes*/) {
    OnWriteFailed(lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__));
}

void CChannel::OnWriteFailed(const LumError& error) {
    lumlib::LumFailure cause;
    cause.Keep(error);
    // The service closed its end: what it wrote before is still in the pipe
    // and must reach the owner before the loss, so the reads are not
    // cancelled. Nothing more is sent; the reader, woken at once (also out of
    // a read it waits in), reads to the end of the data and tells the loss.
    const bool peerClosed = error.error == ERROR_NO_DATA || error.error == ERROR_BROKEN_PIPE ||
                            error.error == ERROR_PIPE_NOT_CONNECTED;
    if (peerClosed && error.reason != LumReason::kStalled) {
        MarkSendsBroken(cause);
        m_reader.Signal();
        AskReader();
        return;
    }
    // The connection's write bound (the service stopped reading) is reported;
    // a cancel is the loss itself.
    if (error.reason == LumReason::kStalled) m_owner->OnWriteStalled();
    // The rest of the frame is lost; the channel is done for. The reader's
    // pending read ends with the cancel.
    MarkLost(&cause);
    CancelConnection();
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
    bool batchOpen = false;
    // Any failure (a broken or cancelled connection, a frame that is too
    // long or cannot be held) ends the connection; the failed step returns
    // its error, and the boundary keeps anything an owner raises in the thread.
    lumlib::CatchReturn([&] {
        while (AwaitReaderTurn()) {
            // Once the sends broke the service's end is closed: what it wrote
            // is there already and its end follows at once. A read that
            // waits out the bound all the same ends the connection (the
            // write's cause is told). Until then a read waits for data
            // without a bound, or for this thread's stop event, set when
            // the sends break.
            const bool draining = SendsBroken();
            Step step = ReadAndGive(draining ? kDrainMs : INFINITE, draining ? nullptr : m_reader.StopEvent(), cause, &batchOpen);
            if (step == Step::kCutShort) step = draining ? Step::kEnd : Step::kGoOn;
            if (step == Step::kRefused) m_owner->OnFrameRefused(m_frames.Announced());
            EndBatch(&batchOpen);
            // A large frame grew the buffer: let go once nothing is pending,
            // while the turn is held (a caller's read may go into it next).
            if (step == Step::kGoOn) m_frames.Shrink(kStandardFrameBuffer + kReadChunk);
            GiveBackTurn(Turn::kReader, false);
            if (step != Step::kGoOn) return;
        }
    }, cause);
    // A batch a raise cut short ends while its bytes are still there.
    lumlib::CatchReturn([&] { EndBatch(&batchOpen); });
}

bool CChannel::AwaitReaderTurn() {
    uint32_t seenTurns = 0;
    bool standingBy = false;
    DWORD standbyMs = m_standbyMs;
    const DWORD mostMs = m_standbyMs * (kReaderStandbyMostMs / kReaderStandbyMs);
    for (;;) {
        // Callers that could not read their replies wait for this thread.
        const bool awaited = m_owner->RepliesAwaited();
        const auto lock = m_readLock.lock_exclusive();
        if (IsLost() || StopAsked()) return false;
        // Callers read for their replies: each wakes itself when its reply
        // arrives, which costs less than this thread waking it. Their turns
        // leave nothing pending, so the pipe is read again once a standby
        // passes without a caller's turn.
        const bool turnsSeen = standingBy && seenTurns != m_callerTurns;
        const bool callersRead = m_callerWanted || turnsSeen;
        if (m_turn == Turn::kFree && (m_readerAsked || awaited || !callersRead || SendsBroken())) {
            m_turn = Turn::kReader;
            m_readerAsked = false;
            return true;
        }
        if (turnsSeen) standbyMs = standbyMs * 2 < mostMs ? standbyMs * 2 : mostMs;
        m_callerWanted = false;
        seenTurns = m_callerTurns;
        standingBy = true;
        m_readLock.wait(m_turnChanged, standbyMs);
    }
}

bool CChannel::TakeCallerTurn() {
    const auto lock = m_readLock.lock_exclusive();
    if (m_turn == Turn::kReader) m_callerWanted = true;
    if (m_turn != Turn::kFree || IsLost() || StopAsked()) return false;
    m_turn = Turn::kCaller;
    m_callerThread = ::GetCurrentThreadId();
    return true;
}

void CChannel::ReadAsCaller(IReadGoal& goal, ULONGLONG deadline, HANDLE stopEvent) {
    bool batchOpen = false;
    bool readerNeeded = true;
    lumlib::LumFailure cause;
    const uint32_t raised = lumlib::CatchReturn([&] { readerNeeded = CallerReads(goal, deadline, stopEvent, &cause, &batchOpen); }, &cause);
    lumlib::CatchReturn([&] { EndBatch(&batchOpen); });
    if (raised != ERROR_SUCCESS) {
        // As on the reader: what an owner raised ends the connection.
        MarkLost(&cause);
        CancelConnection();
    }
    // Reads left unfinished (a refused frame held, a raise) need the reader.
    // Another caller's reply needs no asking here: that caller leaves it to
    // the reader itself (LeaveReplyToReader).
    GiveBackTurn(Turn::kCaller, readerNeeded);
}

bool CChannel::CallerReads(IReadGoal& goal, ULONGLONG deadline, HANDLE stopEvent, lumlib::LumFailure* cause, bool* batchOpen) {
    while (!goal.Reached()) {
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline) return true;
        const Step step = ReadAndGive(static_cast<DWORD>(deadline - now), stopEvent, cause, batchOpen);
        EndBatch(batchOpen);
        if (step == Step::kEnd && !StopAsked()) {
            // The connection failed under this caller: lost, with its cause,
            // and the reader, woken by the cancel, tells it.
            MarkLost(cause);
            CancelConnection();
        }
        // A refused frame is left held for the reader, which reports it.
        if (step != Step::kGoOn) return true;
        m_frames.Shrink(kStandardFrameBuffer + kReadChunk);
    }
    return false;
}

CChannel::Step CChannel::ReadAndGive(DWORD waitMs, HANDLE stopEvent, lumlib::LumFailure* cause, bool* batchOpen) {
    // What an earlier turn left: at most a refused frame.
    Step step = GiveHeld(batchOpen);
    if (step != Step::kGoOn) return step;
    // Whatever has arrived, up to the room there is (one chunk, or the rest
    // of a large message), straight into the frame reader's buffer: no copy
    // before the messages are cut out.
    size_t room = 0;
    uint8_t* tail = m_frames.Reserve(kReadChunk, &room);
    if (tail == nullptr) {
        cause->Keep(lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kChannelModule, __LINE__));
        return Step::kEnd;
    }
    uint32_t got = static_cast<uint32_t>(room < kMaxFrame ? room : kMaxFrame);
    bool cutShort = false;
    // The connection stays attached while a turn is held: it is detached
    // only after the turns are closed.
    const LumError error = m_connection->ReadFor(tail, &got, waitMs, stopEvent, &cutShort);
    if (error.failed()) {
        cause->Keep(error);
        return Step::kEnd;
    }
    m_frames.Commit(got);
    step = GiveHeld(batchOpen);
    return step == Step::kGoOn && cutShort ? Step::kCutShort : step;
}

void CChannel::EndBatch(bool* batchOpen) {
    // The batch ends before the next read moves the reader's bytes.
    if (!*batchOpen) return;
    *batchOpen = false;
    m_owner->OnMessagesEnd();
}

CChannel::Step CChannel::GiveHeld(bool* batchOpen) {
    const uint8_t* message = nullptr;
    uint32_t length = 0;
    CFrameReader::Result result;
    // Each message is looked at as it stands in the reader's buffer; a
    // Disconnect or a stop ends the giving between two messages.
    while (!StopAsked() && (result = m_frames.Next(&message, &length)) == CFrameReader::kFrame) {
        *batchOpen = true;
        m_owner->OnMessage(message, length);
    }
    if (StopAsked()) return Step::kEnd;
    return result == CFrameReader::kTooLarge ? Step::kRefused : Step::kGoOn;
}

void CChannel::GiveBackTurn(Turn from, bool wakeReader) {
    const auto lock = m_readLock.lock_exclusive();
    if (m_turn != from) return;  // closed meanwhile (a Shutdown on this thread)
    m_turn = Turn::kFree;
    if (from != Turn::kCaller) return;
    ++m_callerTurns;
    m_callerThread = 0;
    m_readerAsked = m_readerAsked || wakeReader;
    // The reader waits for it when asked to read on, and the channel's end
    // waits for every caller's turn to come back; otherwise the reader,
    // standing by, is left asleep: the next caller reads. Woken under the
    // lock: once the turn is free the channel may end and go, and a caller
    // must not touch it after that.
    if (m_readerAsked || m_closing) ::WakeAllConditionVariable(&m_turnChanged);
}

void CChannel::CloseTurns() {
    const auto lock = m_readLock.lock_exclusive();
    m_closing = true;
    // A caller's turn ends quickly once the connection is cancelled; one on
    // this very thread (an owner's handler ending the channel) is not waited for.
    while (m_turn == Turn::kCaller && m_callerThread != ::GetCurrentThreadId()) m_readLock.wait(m_turnChanged, INFINITE);
    m_turn = Turn::kClosed;
}

void CChannel::AskReader() {
    {
        const auto lock = m_readLock.lock_exclusive();
        m_readerAsked = true;
    }
    ::WakeAllConditionVariable(&m_turnChanged);
}

void CChannel::LeaveReplyToReader() {
    {
        const auto lock = m_readLock.lock_exclusive();
        // Not while it reads: asked, it would read on after the reply came,
        // and the caller's next request would find the turn taken again.
        if (m_turn == Turn::kReader) return;
        m_readerAsked = true;
    }
    ::WakeAllConditionVariable(&m_turnChanged);
}

void CChannel::WakeReader() {
    // Taken and let go: a reader about to wait has seen the flag, or waits already.
    { const auto lock = m_readLock.lock_exclusive(); }
    ::WakeAllConditionVariable(&m_turnChanged);
}

void CChannel::FinishReading() {
    // Nothing more is read: a write stuck on a full pipe ends now too, so
    // the send lock is free for the detach below.
    CancelConnection();
    // A caller reading gives its last message before the loss is told.
    CloseTurns();
    // Everything received before the loss was given; a Disconnect or a stop
    // ends the connection without telling the loss.
    // The owner's handlers run inside the thread's error boundary: whatever
    // they raise, the connection is still released.
    if (!StopAsked()) lumlib::CatchReturn([this] { m_owner->OnConnectionLost(m_lostCause); });
    // A stop leaves the connection to the channel's end; otherwise it is
    // released here, once nobody reads from it (its owner then retires the channel).
    if (m_stopRequested.load()) return;
    std::unique_ptr<CConnection> connection = DetachConnection();
    lumlib::CatchReturn([&connection] { CConnection::Release(std::move(connection)); });
}

bool CChannel::LossCause(lumlib::LumFailure* cause) {
    const auto causeLock = m_causeLock.lock();
    if (!(IsLost() || SendsBroken()) || StopAsked()) return false;
    *cause = m_lostCause;
    return true;
}

void CChannel::MarkLost(const lumlib::LumFailure* cause) {
    const auto causeLock = m_causeLock.lock();
    if (cause != nullptr && !IsLost() && !SendsBroken()) m_lostCause = *cause;
    m_lost.store(true);
}

void CChannel::MarkSendsBroken(const lumlib::LumFailure& cause) {
    const auto causeLock = m_causeLock.lock();
    if (!IsLost() && !SendsBroken()) m_lostCause = cause;
    m_sendsBroken.store(true);
}

// ---- Ending ----------------------------------------------------------------

void CChannel::CancelConnection() {
    {
        const auto cancelLock = m_cancelLock.lock();
        if (m_connection) m_connection->Cancel();
    }
    WakeReader();
}

std::unique_ptr<CConnection> CChannel::DetachConnection() {
    // The send lock waits for a frame being written (the cancel ends it).
    const auto sendLock = m_sendLock.lock();
    const auto cancelLock = m_cancelLock.lock();
    return std::move(m_connection);
}

void CChannel::Disconnect() {
    // Without the send lock: the transfer thread may hold it in a write that
    // only this cancel can end. The flag first: the reader checks it between
    // messages, and its read ends with the cancel.
    {
        const auto cancelLock = m_cancelLock.lock();
        if (m_connection) {
            m_outgoing.RefusePushes();
            m_connection->Cancel();
        }
    }
    WakeReader();
}

uint32_t CChannel::RequestStop() {
    m_stopRequested.store(true);
    WakeReader();
    return m_reader.HasEnded() ? 1 : 0;
}

void CChannel::Shutdown() {
    // The cancel ends a read the reader may be waiting in, and a write; the
    // reader is joined (unless this is the reader itself, in a callback of
    // its own), then the writer, whose frames are dropped.
    m_stopRequested.store(true);
    CancelConnection();
    m_reader.Join();
    // A caller may still read (the reader never ran, or ended first).
    CloseTurns();
    m_outgoing.StopTransfer(1);
    CConnection::Release(DetachConnection());
    m_started = false;
}
