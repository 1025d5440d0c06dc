// Byte transport under the messaging framework: a connection over one open
// named-pipe handle with blocking, cancellable overlapped reads and writes.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "support/lumlib.h"

class CConnection;

// Told when one of its connections is released.
class CConnectionOwner {
public:
    virtual ~CConnectionOwner() {}
    // Called from Release on the releasing thread, after the pipe handle is closed.
    virtual void OnConnectionClosed(CConnection* connection) = 0;
};

class CConnection {
public:
    // Never raises: a connection that could not be made says so in StartError.
    explicit CConnection(CConnectionOwner* owner);
    virtual ~CConnection();
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    // Failed construction ("Connection", "PipeConnection"); such a connection is never used.
    const lumlib::LumError& StartError() const { return m_startError; }

    // Return the step that failed, by value (a broken pipe or a cancel is an
    // ordinary end: it costs no exception); *length holds the bytes moved.
    virtual lumlib::LumError Read(void* buffer, uint32_t* length) = 0;
    virtual lumlib::LumError Write(const void* buffer, uint32_t* length) = 0;
    virtual uint32_t Flush() = 0;
    // Tells the owner and destroys this object.
    virtual void Release();

    // Sets the abort event: every read or write, pending or later, fails with 1223.
    void Cancel();
protected:
    // The first failure of construction is kept.
    void FailStart(const lumlib::LumError& error) {
        if (!m_startError.failed()) m_startError = error;
    }

    bool IsCancelled() const { return m_cancelled.load(); }
    HANDLE AbortEvent() const { return m_abortEvent.get(); }
    CConnectionOwner* Owner() const { return m_owner; }

private:
    lumlib::LumError m_startError;
    CHandleHolder m_abortEvent;   // ends a pending wait
    std::atomic<bool> m_cancelled{false};  // set with it: read without a kernel call
    CConnectionOwner* m_owner;
};

class CPipeConnection : public CConnection {
public:
    // Takes the pipe: it is closed with the connection, also when construction failed (StartError).
    CPipeConnection(CConnectionOwner* owner, CHandleHolder&& pipe);
    ~CPipeConnection() override;

    // Longest wait of one write for the reader (a write to a full pipe
    // completes only when the server reads): past it Write fails with 1460 (kStalled).
    static constexpr DWORD kWriteStallMs = 10000;

    lumlib::LumError Read(void* buffer, uint32_t* length) override;
    lumlib::LumError Write(const void* buffer, uint32_t* length) override;
    uint32_t Flush() override;
    // Does not flush a cancelled connection: a flush waits until the server
    // has read everything, which a server that stopped reading never does.
    // What was written stays readable by the server after the close.
    void Release() override;

    HANDLE GetPipe() const { return m_pipe.get(); }

protected:
    CHandleHolder m_pipe;
    CHandleHolder m_readEvent;
    OVERLAPPED m_readOverlapped;
    CHandleHolder m_writeEvent;
    OVERLAPPED m_writeOverlapped;
};

// Opens the client end of a named pipe and wraps it in a CPipeConnection it owns.
class CPipeClient : public CConnectionOwner {
public:
    // Longest wait for a free instance in one open, and its slices.
    static const DWORD kOpenBudgetMs = 1000;
    static const DWORD kOpenSliceMs = 250;

    // name is without the "\\.\pipe\" prefix; sa may be null. flags go to CreateFileW
    // (the session client adds its quality-of-service request). The connection,
    // or null with *failure (never null) naming the error and the step ("PipeClient"): a
    // keeper that finds no pipe once a second pays no exception for it. Allocates nothing.
    // A pipe nobody created fails at once. A busy one is waited for in slices
    // that check stopEvent (may be null), for at most kOpenBudgetMs in all:
    // the server's own default time-out can be weeks. A stop ends the wait
    // with ERROR_CANCELLED, the budget with the wait's error (ERROR_SEM_TIMEOUT).
    std::unique_ptr<CPipeConnection> TryOpenPipe(const wchar_t* name, SECURITY_ATTRIBUTES* sa, DWORD flags,
                                                 HANDLE stopEvent, lumlib::LumFailure* failure);
    // TryOpenPipe without the record: the connection, or null.
    CPipeConnection* OpenPipe(const wchar_t* name, SECURITY_ATTRIBUTES* sa, DWORD flags = FILE_FLAG_OVERLAPPED,
                              HANDLE stopEvent = nullptr);

private:
    std::unique_ptr<CPipeConnection> Wrap(CHandleHolder&& pipe, lumlib::LumFailure* failure);
    // Fills *failure with the step's error; returns null.
    static std::unique_ptr<CPipeConnection> Failed(lumlib::LumFailure* failure, const lumlib::LumError& error);
};
