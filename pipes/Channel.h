// Channels: whole messages over one connection, framed with a 32-bit length;
// sending through the transfer queue, receiving on one reader thread that
// hands each message to its owner as it arrives.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "pipes/Connection.h"
#include "pipes/FrameReader.h"
#include "pipes/TransferBuffer.h"
#include "support/ByteBlock.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

// What a CSinglePipeChannel tells the object it belongs to; each runs on the
// channel's reader thread (OnWriteStalled on its transfer thread).
class IChannelOwner {
public:
    // One whole message, in the order received; data is valid for the call only.
    virtual void OnMessage(const uint8_t* data, uint32_t size) = 0;
    // Every message of one read has been given: the end of a batch.
    virtual void OnMessagesEnd() {}
    // After the last message: the connection is lost.
    virtual void OnConnectionLost() = 0;
    // A frame announced a length above CChannel::kMaxFrame; the connection ends.
    virtual void OnFrameRefused(uint32_t /*length*/) {}
    // A write made no progress for CPipeConnection::kWriteStallMs (the
    // service stopped reading); the connection ends.
    virtual void OnWriteStalled() {}
    // Just before OnConnectionLost: what ended the connection (error 0: the
    // other end closed it, or this side stopped reading; else the reason, the
    // module and the line of the failed step).
    virtual void OnLossCause(const lumlib::LumFailure& /*cause*/) {}

protected:
    ~IChannelOwner() = default;
};

class CChannel : public CTransferBuffer {
public:
    // Longest frame accepted from the peer: 16 times the client's standard
    // receive buffer (the service's longest message is under 9 KB). A longer
    // one ends the connection instead of committing what its header asks for.
    static const uint32_t kMaxFrame = kMaxFrameLength;
    // Messages waiting to be written: past this a SendData is refused (8).
    static constexpr uint64_t kSendQueueCap = 4 * 1024 * 1024;
    // What one read may take: whatever has arrived, up to this.
    static constexpr uint32_t kReadChunk = 64 * 1024;

    // Raises only what CTransferBuffer's construction raises; a null
    // connection is kept in StartError.
    explicit CChannel(CConnection* connection);
    // Derived classes call Shutdown first (the reader has ended then).
    ~CChannel() override;

    // Writes one frame on the transfer thread.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // On the reader thread: one message (valid for the call only), then the
    // end of each read's batch.
    virtual void OnMessage(const uint8_t* data, uint32_t size) = 0;
    virtual void OnMessagesEnd() {}
    // On the reader thread, after the last message: the connection is lost
    // (not after a Disconnect or a stop).
    virtual void OnDisconnected() {}
    virtual void OnFrameRefused(uint32_t /*length*/) {}
    virtual void OnWriteStalled() {}

    // Starts the reader; the construction's error, or the thread's ("Channel").
    lumlib::LumError StartThreads();
    // Queues one message: kLost (1236) once the connection is lost or
    // ending, kInvalid (87), kNoMemory (8) when the queue refused it.
    lumlib::LumError SendData(const void* data, uint32_t size);
    const lumlib::LumError& StartError() const { return m_startError; }
    // Ends the connection: no message is given after this returns, and the
    // connection is released without OnDisconnected.
    void Disconnect();
    // Asks the reader to end; 1 once it has.
    uint32_t RequestStop();
    void Shutdown();

protected:
    // What ended the connection; read by OnDisconnected (on the reader thread).
    const lumlib::LumFailure& LostCause() const { return m_lostCause; }

private:
    static unsigned __stdcall ReaderThread(void* self);
    // Reads and hands on messages until the connection ends; cause: why.
    void ReadUntilEnd(lumlib::LumFailure* cause);
    // Hands on the whole messages the reader holds; false when reading ends.
    bool DeliverFrames(CFrameReader& reader);
    // After the reading: the loss is told, then the connection released.
    void FinishReading();
    // Sets the connection's abort event without the send lock, so a write
    // stuck on a full pipe is ended by it (the writer holds the send lock).
    void CancelConnection();
    // Takes the connection off the channel (send lock, then cancel lock).
    CConnection* DetachConnection();
    // Marks the connection lost; the first cause given is kept (null: none known).
    void MarkLost(const lumlib::LumFailure* cause = nullptr);
    bool IsLost() const { return m_lost.load(); }
    // The reader gives no more messages: a stop, or a Disconnect (which
    // refuses pushes: the transfer buffer's closing flag).
    bool StopAsked() const { return m_stopRequested.load() || IsClosing(); }

    lumlib::LumError m_startError;
    CConnection* m_connection;  // changed under both the send lock and m_cancelLock
    lumlib::unique_critical_section m_cancelLock;
    lumlib::unique_critical_section m_sendLock;
    lumlib::CByteBlock m_frame;     // length and message of the frame being written (send lock)
    lumlib::unique_critical_section m_causeLock;
    lumlib::LumFailure m_lostCause;  // under m_causeLock until m_lost is set, then fixed
    std::atomic<bool> m_lost{false};
    std::atomic<bool> m_stopRequested{false};
    bool m_started = false;
    lumlib::CWorkerThread m_reader;
};

// The channel of one connection of a CSinglePipeClient; forwards its
// notifications to that client.
class CSinglePipeChannel : public CChannel {
public:
    // Starts the threads; when they cannot start, StartError says why and the
    // connection stays with the caller.
    CSinglePipeChannel(CConnection* connection, IChannelOwner* owner);
    ~CSinglePipeChannel() override;

    void OnMessage(const uint8_t* data, uint32_t size) override;
    void OnMessagesEnd() override;
    void OnDisconnected() override;  // owner's OnLossCause, then OnConnectionLost
    void OnFrameRefused(uint32_t length) override;
    void OnWriteStalled() override;

private:
    IChannelOwner* m_owner;
};
