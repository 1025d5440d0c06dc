// Channels: whole messages over one connection, framed with a 32-bit length;
// sending through the transfer queue, receiving and announcing on threads of
// the channel's own.
#pragma once

#include <windows.h>

#include <cstdint>

#include "pipes/Connection.h"
#include "pipes/TransferBuffer.h"
#include "support/lumlib.h"

class CSinglePipeClient;

class CChannel : public CTransferBuffer {
public:
    explicit CChannel(CConnection* connection);  // raises CLumException* ("Channel")
    ~CChannel() override;

    // Writes one frame on the transfer thread.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // A message of size unread bytes waits in the receive queue.
    virtual void OnDataReceived(uint32_t size) = 0;
    // The connection is lost and the queue drained; nonzero stops the waiting.
    virtual uint32_t OnDisconnected() { return 0; }

    void StartThreads();                              // raises CLumException*
    void SendData(const void* data, uint32_t size);   // raises CLumException* (1236) once lost
    uint32_t ReadData(void* destination, uint32_t* size);
    uint32_t Receive(uint8_t** destination, uint32_t* size);
    uint32_t ReceiveAlloc(uint8_t** destination, uint32_t* size);
    void Disconnect();
    uint32_t RequestStop();
    void Shutdown();

    // The single pipe client reads under this lock (receive lock, then queue lock).
    HANDLE GetReceiveLock() const { return m_receiveLock.get(); }
    HANDLE GetReceivedEvent() const { return m_receivedEvent.get(); }
    CBuffersList* GetReceiveQueue() const { return m_receiveQueue; }
    uint64_t GetReceiveBufferSize() const { return m_receiveBufferSize; }

protected:
    static unsigned __stdcall ReceiveThread(void* self);
    static unsigned __stdcall DispatchThread(void* self);
    void DestroyResources();

    CConnection* m_connection;
    CBuffersList* m_receiveQueue;
    CHandleHolder m_receivedEvent;
    CHandleHolder m_receiveLock;
    CHandleHolder m_stopEvent;
    CHandleHolder m_disconnectedEvent;
    CHandleHolder m_sendLock;
    uint32_t m_notStarted;
    volatile uint32_t m_closing;
    CHandleHolder m_receiveThread;
    CHandleHolder m_dispatchThread;
    uint8_t* m_receiveBuffer;
    uint64_t m_receiveBufferSize;
};

// The channel of one connection of a CSinglePipeClient; forwards its two
// notifications to that client.
class CSinglePipeChannel : public CChannel {
public:
    // Starts the threads; raises CLumException* (the channel part is destroyed first).
    CSinglePipeChannel(CConnection* connection, CSinglePipeClient* owner);
    ~CSinglePipeChannel() override;

    void OnDataReceived(uint32_t size) override;  // owner's OnDataAvailable
    uint32_t OnDisconnected() override;           // owner's OnConnectionLost, returns 1

protected:
    CSinglePipeClient* m_owner;
};
