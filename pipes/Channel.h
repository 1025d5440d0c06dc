// Channels: whole messages over one connection, framed with a 32-bit length;
// sending through the transfer queue, receiving and announcing on threads of
// the channel's own.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pipes/Connection.h"
#include "pipes/FrameReader.h"
#include "pipes/TransferBuffer.h"
#include "support/ByteBlock.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

// What a CSinglePipeChannel tells the object it belongs to; each runs on one
// of the channel's threads (dispatch, receive or, for OnWriteStalled, transfer).
class IChannelOwner {
public:
    virtual void OnDataAvailable(uint32_t size) = 0;
    virtual void OnConnectionLost() = 0;
    // A frame announced a length above CChannel::kMaxFrame; the connection ends.
    virtual void OnFrameRefused(uint32_t /*length*/) {}
    // A write made no progress for CPipeConnection::kWriteStallMs (the
    // service stopped reading); the connection ends.
    virtual void OnWriteStalled() {}
    // Just before OnConnectionLost: what ended the connection (error 0: the
    // other end closed it, or this side stopped reading; the module and line
    // of the failed step when it raised).
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
    // Received messages waiting to be announced: while a frame does not fit,
    // ReceiveThread stops reading and the pipe holds the service's writes. A
    // frame always fits an empty queue, so kMaxFrame may exceed it.
    static constexpr uint64_t kReceiveQueueCap = 1024 * 1024;

    explicit CChannel(CConnection* connection);  // raises CLumException* ("Channel")
    // Derived classes call Shutdown first (both channel threads have ended then).
    ~CChannel() override;

    // Writes one frame on the transfer thread.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // A message of size unread bytes waits in the receive queue.
    virtual void OnDataReceived(uint32_t size) = 0;
    // The connection is lost and the queue drained; nonzero stops the waiting.
    virtual uint32_t OnDisconnected() { return 0; }
    virtual void OnFrameRefused(uint32_t /*length*/) {}
    virtual void OnWriteStalled() {}

    void StartThreads();                              // raises CLumException*
    void SendData(const void* data, uint32_t size);   // raises CLumException* (1236) once lost
    uint32_t ReadData(void* destination, uint32_t* size);
    // The one way to take a whole message out of the receive queue. allocate:
    // into a new block stored in *buffer (free it with free()); when it cannot
    // be allocated the message stays queued and *length holds its size.
    // Otherwise into *buffer, whose capacity is a nonzero *length (a larger
    // message stays queued, *length receives its size, the result is 0); a
    // *length of 0 means the caller has room for the announced size.
    // 1 when a message was taken.
    uint32_t TakeMessage(uint8_t** buffer, uint32_t* length, bool allocate);
    void Disconnect();
    uint32_t RequestStop();
    void Shutdown();

protected:
    static unsigned __stdcall ReceiveThread(void* self);
    static unsigned __stdcall DispatchThread(void* self);
    // Sets the connection's abort event without the send lock, so a write
    // stuck on a full pipe is ended by it (the writer holds the send lock).
    void CancelConnection();
    // Takes the connection off the channel (send lock, then cancel lock).
    CConnection* DetachConnection();
    void DropReceived();

    // Under m_receiveLock: the dispatcher has something to do (a message to
    // announce, the loss, a stop).
    bool DispatchWorkLocked() const { return m_stopRequested || m_lost || (!m_closing && !m_receiveQueue->IsEmpty()); }
    // Marks the connection lost (under the receive lock) and wakes the
    // dispatcher; the first cause given is kept (null: none known).
    void MarkLost(const lumlib::LumFailure* cause = nullptr);
    // Under m_receiveLock: waits until a frame of footprint bytes fits the
    // receive queue; false when the channel is lost, closing or stopping first.
    bool WaitForRoomLocked(uint64_t footprint);
    // Under m_receiveLock: a message of that footprint left the queue (0: all did).
    void ReleaseRoomLocked(uint64_t footprint);
    // Wakes ReceiveThread's wait for room, to look at the flags.
    void WakeReceiver() { ::WakeAllConditionVariable(&m_receiveRoom); }
    // Tells the dispatcher to end (under the receive lock), then signals or stops its thread.
    void StopDispatcher(bool join);
    bool IsLost() const { return ::InterlockedCompareExchange(const_cast<volatile LONG*>(&m_lost), 0, 0) != 0; }

    CConnection* m_connection;  // changed under both the send lock and m_cancelLock
    lumlib::unique_critical_section m_cancelLock;
    CBuffersList* m_receiveQueue;
    lumlib::unique_critical_section m_receiveLock;  // before the queue's own lock
    // The dispatcher sleeps on this under m_receiveLock; a queued message, the
    // loss and a stop wake it. Flags instead of events: reading them costs
    // nothing, where testing an event is a kernel call.
    CONDITION_VARIABLE m_dispatchWork = CONDITION_VARIABLE_INIT;
    volatile LONG m_lost = 0;       // set under m_receiveLock, never cleared
    lumlib::LumFailure m_lostCause; // under m_receiveLock: what MarkLost was told first
    bool m_lostCauseKnown = false;  // under m_receiveLock
    bool m_stopRequested = false;   // under m_receiveLock
    // ReceiveThread sleeps on this under m_receiveLock while the queue is full.
    CONDITION_VARIABLE m_receiveRoom = CONDITION_VARIABLE_INIT;
    uint64_t m_receivedBytes = 0;   // under m_receiveLock: footprint of the queued messages
    uint64_t m_roomWanted = 0;      // under m_receiveLock: what the waiting ReceiveThread needs; 0: none waits
    lumlib::unique_critical_section m_sendLock;
    lumlib::CByteBlock m_frame;     // length and message of the frame being written (send lock)
    uint32_t m_notStarted;
    volatile uint32_t m_closing;
    lumlib::CByteBlock m_receiveBuffer;
    lumlib::CWorkerThread m_receiveThread;
    lumlib::CWorkerThread m_dispatchThread;
};

// The channel of one connection of a CSinglePipeClient; forwards its
// notifications to that client.
class CSinglePipeChannel : public CChannel {
public:
    // Starts the threads; raises CLumException* (the channel part is destroyed first).
    CSinglePipeChannel(CConnection* connection, IChannelOwner* owner);
    ~CSinglePipeChannel() override;

    void OnDataReceived(uint32_t size) override;  // owner's OnDataAvailable
    uint32_t OnDisconnected() override;           // owner's OnConnectionLost, returns 1
    void OnFrameRefused(uint32_t length) override;
    void OnWriteStalled() override;

protected:
    IChannelOwner* m_owner;
};
