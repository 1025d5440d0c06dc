// A channel: whole messages over one connection, framed with a 32-bit
// length. A caller that finds the pipe free writes its frame itself; behind a
// backlog frames wait in the outgoing queue for its writer thread. Received
// messages go to the owner as they arrive, from whoever reads the pipe: the
// reader thread, or a caller waiting for its reply that found the reads free
// (the reading turn: one at a time, so messages keep their order).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "pipes/Connection.h"
#include "pipes/FrameReader.h"
#include "support/ByteBlock.h"
#include "support/TransferBuffer.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

// What a channel tells the object it belongs to. OnMessage and OnMessagesEnd
// run on the thread that has the reading turn, the others on the channel's
// reader thread (OnWriteStalled on the thread whose write stalled).
class IChannelOwner {
public:
    // One whole message, in the order received; data is valid for the call only.
    virtual void OnMessage(const uint8_t* data, uint32_t size) = 0;
    // Every message of one read has been given: the end of a batch.
    virtual void OnMessagesEnd() {}
    // After the last message: the connection is lost (not after a
    // Disconnect or a stop). cause: what ended it (error 0: the other end
    // closed it, or this side stopped reading; else the failed step).
    virtual void OnConnectionLost(const lumlib::LumFailure& cause) = 0;
    // A caller that could not read its reply waits for the reader to read it
    // (the reader then reads on rather than leave the reads to callers).
    // Called with none of the channel's locks held.
    virtual bool RepliesAwaited() { return false; }
    // A frame announced a length above CChannel::kMaxFrame; the connection ends.
    virtual void OnFrameRefused(uint32_t /*length*/) {}
    // A write was still pending CPipeConnection::kWriteStallMs after it
    // started (the service stopped reading, or reads too slowly); the connection ends.
    virtual void OnWriteStalled() {}

protected:
    ~IChannelOwner() = default;
};

// What a caller reading for its own reply waits for; asked between reads.
class IReadGoal {
public:
    // Its reply came, or the wait is over for another reason.
    virtual bool Reached() = 0;

protected:
    ~IReadGoal() = default;
};

// A message written straight into the frame that carries it (or into its
// queued copy): a large one is not built first and copied after.
class IMessageSource {
public:
    // Writes the whole message, size bytes (as given to the send), to out,
    // whose last `zeroed` bytes are zeros already: a source may leave those.
    virtual void WriteTo(uint8_t* out, uint32_t size, uint32_t zeroed) const = 0;
    // How many of its last bytes are zeros (0: none known). A frame that
    // held them keeps them for the next message.
    virtual uint32_t ZeroTail(uint32_t /*size*/) const { return 0; }
    // Its bytes when it has them already, else null.
    virtual const void* Bytes() const { return nullptr; }

protected:
    ~IMessageSource() = default;
};

// A message that is bytes already (the caller's, or a queued copy).
class CMessageBytes final : public IMessageSource {
public:
    explicit CMessageBytes(const void* data) : m_data(data) {}
    void WriteTo(uint8_t* out, uint32_t size, uint32_t /*zeroed*/) const override { std::memcpy(out, m_data, size); }
    const void* Bytes() const override { return m_data; }

private:
    const void* m_data;
};

class CChannel final : private ITransferSink {
public:
    // Longest frame accepted from the peer: 16 times the client's standard
    // receive buffer (the service's longest message is under 9 KB). A longer
    // one ends the connection instead of committing what its header asks for.
    static const uint32_t kMaxFrame = kMaxFrameLength;
    // Messages waiting to be written: past this a message is refused (8).
    static constexpr uint64_t kSendQueueCap = 4 * 1024 * 1024;
    // What one read may take: whatever has arrived, up to this.
    static constexpr uint32_t kReadChunk = 64 * 1024;
    // The writer thread ends once nothing was queued for this long.
    static constexpr DWORD kWriterIdleMs = 2000;
    // How long a caller waits for its own write to a full pipe before the
    // writer takes it over (a caller never returns with its write pending).
    static constexpr DWORD kCallerWaitMs = 20;
    // After callers read for their replies, the reader thread leaves the
    // reads to them for this long at a time, and takes them back once a
    // whole period passed without a caller's turn (or when one asks). While
    // callers go on reading, each period is twice the last, up to the most:
    // a thread that wakes only to see callers at work costs them CPU.
    static constexpr DWORD kReaderStandbyMs = 20;
    static constexpr DWORD kReaderStandbyMostMs = 80;
    // Once the service closed its end, the longest wait for the rest of its
    // data and its end (both are there already).
    static constexpr DWORD kDrainMs = 2000;

    // The channel owns the connection; a null one is kept in StartError.
    // readerStandbyMs: the first standby period (the longest is 4 times it).
    CChannel(std::unique_ptr<CConnection> connection, IChannelOwner* owner, DWORD readerStandbyMs = kReaderStandbyMs);
    ~CChannel();  // Shutdown
    CChannel(const CChannel&) = delete;
    CChannel& operator=(const CChannel&) = delete;

    // Makes the outgoing queue and starts the reader (suspended: until
    // ResumeReader); the construction's error, or the failed step's
    // ("Channel"). Nothing reads on failure.
    lumlib::LumError StartThreads(bool readerSuspended = false);
    void ResumeReader() { m_reader.Resume(); }
    bool IsReaderThread() const { return m_reader.IsCurrent(); }
    // Sends one message (written in place, straight into its frame): at
    // once when the pipe is free, else queued behind the others. kLost (1236)
    // once the connection is lost or ending, or the service closed its end; kNoMemory (8) when the queue
    // refused it or the frame could not hold it. Never returns while a
    // write it started is pending on its thread.
    lumlib::LumError SendData(const IMessageSource& message, uint32_t size);
    const lumlib::LumError& StartError() const { return m_startError; }
    // The reading turn for a caller, when nobody reads: true, and the caller
    // must then call ReadAsCaller, which gives it back. While a caller has
    // the turn the channel is not released (its end waits for the turn).
    bool TakeCallerTurn();
    // Messages are due that no caller reads for (a request answered by
    // notifications): the reader takes the next free turn, standby or not.
    void AskReader();
    // A caller found the turn taken, or its reads ended without its reply,
    // and left the reply to the reader (RepliesAwaited is true): the reader
    // takes the next free turn. A reader reading at the time is not asked:
    // it looks at RepliesAwaited when its read ends.
    void LeaveReplyToReader();
    // With the turn: reads and hands on messages until goal is reached,
    // deadline (GetTickCount64) passes, stopEvent (may be null) is set or
    // the connection ends, then gives the turn back. Nothing is left pending.
    void ReadAsCaller(IReadGoal& goal, ULONGLONG deadline, HANDLE stopEvent);
    // Once the connection is lost, or its sends broke (not after a
    // Disconnect or a stop): true with what ended it, the cause the reader
    // tells the owner.
    bool LossCause(lumlib::LumFailure* cause);
    // Ends the connection: no message is given after this returns, and the
    // connection is released without the loss being told.
    void Disconnect();
    // Asks the reader to end; 1 once it has.
    uint32_t RequestStop();
    // Ends the reader (joined, unless called on it) and the writer, then
    // releases the connection. No message is given after it returns.
    void Shutdown();

private:
    // The writer thread: finishes a write a caller handed over, then writes
    // the frame taken from the queue (an empty block only wakes it).
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // Frames the writer had no memory to take: what was promised cannot go, so the connection ends.
    void Dropped(uint32_t blocks, uint64_t bytes) override;
    // Under the pipe lock: queued behind the others; kNoMemory when refused.
    lumlib::LumError Queue(const IMessageSource& message, uint32_t size);
    // Under the send lock: the frame into m_frame, then its write started.
    // *pending: the write goes on after the call (m_frame must stay).
    lumlib::LumError StartFrame(const IMessageSource& message, uint32_t size, bool* pending);
    // Under the send lock: the message into m_frame after its length field,
    // told how many of its last bytes the frame holds as zeros already.
    void BuildInFrame(const IMessageSource& message, uint32_t size);
    // Under the send lock: writes what is left of m_frame until done or pending.
    lumlib::LumError WriteRest(bool* pending);
    // Under the send lock: waits for the pending write and writes the rest of
    // the frame; with a waitMs, at most that long (then the write is left pending).
    lumlib::LumError FinishFrame(DWORD waitMs = INFINITE);
    // Under the send lock, on the caller's thread (the pipe was free): the
    // frame is written, or its pending write handed to the writer (or, with
    // no writer to be had, cancelled: the connection ends).
    // *unsent: the write failed before any byte of the frame left.
    lumlib::LumError WriteNow(const IMessageSource& message, uint32_t size, bool* unsent);
    // A write failed: the stall is told, the connection marked lost and
    // cancelled; or, when the service closed its end, its sends broken.
    void OnWriteFailed(const lumlib::LumError& error);

    // What one turn's read came to.
    enum class Step { kGoOn, kEnd, kRefused, kCutShort };
    enum class Turn { kFree, kReader, kCaller, kClosed };

    static unsigned __stdcall ReaderThread(void* self);
    // Reads and hands on messages until the connection ends; cause: why.
    void ReadUntilEnd(lumlib::LumFailure* cause);
    // The reader's turn, once nobody else reads and no caller read lately;
    // false once the connection is lost or stopping.
    bool AwaitReaderTurn();
    // The caller's reads until its goal; true when the reader must read on.
    bool CallerReads(IReadGoal& goal, ULONGLONG deadline, HANDLE stopEvent, lumlib::LumFailure* cause, bool* batchOpen);
    // With the turn: the messages held, one read (waitMs, stopEvent: see
    // CConnection::ReadFor), then the messages it completed; the batch is
    // left open (*batchOpen) for the turn's holder to end.
    Step ReadAndGive(DWORD waitMs, HANDLE stopEvent, lumlib::LumFailure* cause, bool* batchOpen);
    // Hands on the whole messages held: kGoOn, kEnd (a stop), kRefused (too long).
    Step GiveHeld(bool* batchOpen);
    // Ends an open batch: the owner is told once its messages are handed on.
    void EndBatch(bool* batchOpen);
    void GiveBackTurn(Turn from, bool wakeReader);
    // Waits until no caller has the turn, then closes the turns.
    void CloseTurns();
    // Wakes the reader waiting for its turn, to see a flag set before.
    void WakeReader();
    // After the reading: the loss is told, then the connection released.
    void FinishReading();
    // Sets the connection's abort event without the send lock, so a write
    // stuck on a full pipe is ended by it (its writer holds the send lock).
    void CancelConnection();
    // Takes the connection off the channel (send lock, then cancel lock).
    std::unique_ptr<CConnection> DetachConnection();
    // Marks the connection lost; the first cause given is kept (null: none known).
    void MarkLost(const lumlib::LumFailure* cause = nullptr);
    bool IsLost() const { return m_lost.load(); }
    // The service closed its end: nothing more is sent, while the reader
    // hands on what it wrote before (the cause is kept, as MarkLost's).
    void MarkSendsBroken(const lumlib::LumFailure& cause);
    bool SendsBroken() const { return m_sendsBroken.load(); }
    // The reader gives no more messages: a stop, or a Disconnect (which
    // refuses pushes: the outgoing queue's closing flag).
    bool StopAsked() const { return m_stopRequested.load() || m_outgoing.IsClosing(); }

    IChannelOwner* const m_owner;
    lumlib::LumError m_startError;
    std::unique_ptr<CConnection> m_connection;  // changed under both the send lock and m_cancelLock
    lumlib::unique_critical_section m_cancelLock;
    // Held by whoever writes to the pipe: a caller writing now, or the writer.
    lumlib::unique_critical_section m_sendLock;
    // Under the send lock: the frame being written (its length and message),
    // how much of it went out, and whether a write of it is pending.
    lumlib::CByteBlock m_frame;
    uint32_t m_frameLength = 0;
    uint32_t m_frameSent = 0;
    bool m_framePending = false;
    // Under the send lock: m_frame's bytes [m_zerosFrom, m_zerosTo) are zeros,
    // so a mostly-zero message written again need not zero them again.
    uint64_t m_zerosFrom = 0;
    uint64_t m_zerosTo = 0;
    // Who has the pipe, under m_pipeLock (never held across a write): a
    // caller writing, writes handed to the writer, frames in the queue. The
    // pipe is free when none: the next caller writes itself. Taken before
    // the send lock, or after it by the caller that holds the pipe.
    lumlib::unique_critical_section m_pipeLock;
    std::atomic<bool> m_callerWriting{false};  // set under m_pipeLock
    uint32_t m_handovers = 0;
    lumlib::unique_critical_section m_causeLock;
    lumlib::LumFailure m_lostCause;  // under m_causeLock until m_lost is set, then fixed
    std::atomic<bool> m_lost{false};
    std::atomic<bool> m_sendsBroken{false};  // set under m_causeLock
    std::atomic<bool> m_stopRequested{false};
    bool m_started = false;
    // The reading turn, under m_readLock (taken after the client lock, never
    // with another of the channel's locks). m_frames belongs to the turn's holder.
    lumlib::srw_lock m_readLock;
    CONDITION_VARIABLE m_turnChanged = CONDITION_VARIABLE_INIT;
    Turn m_turn = Turn::kFree;
    DWORD m_callerThread = 0;      // the thread with a caller's turn
    bool m_callerWanted = false;   // a caller found the reader reading
    // The reader is to take the next turn: a caller gave the turn back with
    // work left, or left its reply to the reader, or notifications are due.
    bool m_readerAsked = false;
    const DWORD m_standbyMs;
    bool m_closing = false;        // CloseTurns waits for a caller's turn
    uint32_t m_callerTurns = 0;
    CFrameReader m_frames{kMaxFrame};
    // The outgoing queue and its writer: started when a frame waits.
    CTransferBuffer m_outgoing;
    lumlib::CWorkerThread m_reader;
};
