// Request/response exchanges on top of the single pipe client: numbered
// requests matched to their replies, everything else delivered to
// OnNotification on the client's own transfer thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <list>

#include "pipes/SinglePipeClient.h"

class CSinglePipeClientEx : public CSinglePipeClient {
public:
    struct PendingRequest {
        uint32_t requestId = 0;
        CHandleHolder replyEvent;  // owned by the entry, closed with it
        uint8_t* reply = nullptr;  // heap copy of the reply, or null
    };

    explicit CSinglePipeClientEx(std::unique_ptr<CPipeSecurity> sa);
    ~CSinglePipeClientEx() override;

    uint32_t Send(const void* data, uint32_t length) override { return 0; }
    uint32_t Post(const void* data, uint32_t length) override { return 0; }
    void OnDataAvailable(uint32_t size) override;
    void OnConnectionLost() override;
    void Stop() override;
    uint32_t Connect() override;
    virtual uint32_t Start();
    virtual void OnNotification(const uint8_t* message, uint32_t length) {}

    // Delivery thread: forwards each queued notification to OnNotification.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;

    // Sends a request (its first field is its length, at least 12; its request
    // number is written here) and waits up to 3 s for the reply. On 0, *reply
    // is a malloc'ed copy of exactly the reply's length that the caller
    // releases with free(); on any other result *reply is null.
    // 2250 no connection for about 3 s, 1168 no usable reply in time, 1460
    // the client stopped (or the connection was lost) while waiting, 87 bad
    // arguments, else the send's or the event creation's error.
    uint32_t SendRequest(uint8_t* request, uint8_t** reply);

    uint32_t GetLastRequestId() const { return static_cast<uint32_t>(m_lastRequestId); }
    uint64_t GetReceiveBufferSize() const { return m_receiveBufferSize; }
    size_t GetPendingCount();
    // The process-wide failed-attempt counter (-1 once connected or noticed).
    static int32_t GetFailedAttempts() { return s_failedAttempts; }

protected:
    uint32_t RegisterAndSend(uint8_t* request, HANDLE* replyEvent);
    uint32_t TakeReply(HANDLE replyEvent, uint8_t** reply);
    uint32_t DispatchIncoming(const uint8_t* message, uint32_t received);
    // Unlinks the entry of that reply event, closing the event and freeing any reply.
    void RemovePending(HANDLE replyEvent);
    bool GrowReceiveBuffer(uint64_t size);

    CHandleHolder m_pendingLock;
    std::list<PendingRequest> m_pending;
    int32_t m_noticeThreshold;
    volatile LONG m_lastRequestId;
    CHandleHolder m_disconnectedEvent;
    uint8_t* m_receiveBuffer;
    uint64_t m_receiveBufferSize;

    // Process-wide: raised the not-connected notice or connected once → -1.
    static int32_t s_failedAttempts;
};
