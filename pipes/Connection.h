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
    // Called from CConnection::Release on the releasing thread, once the
    // connection is closed and gone.
    virtual void OnConnectionClosed() = 0;

protected:
    ~CConnectionOwner() = default;
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
    // Reads what has arrived, up to *length bytes, waiting at most waitMs or
    // until stopEvent (may be null) is set: then the read is cancelled and
    // *cutShort set, *length holding what it took before the cancel (perhaps
    // nothing). Never returns while the read is pending, so the calling
    // thread may end right after.
    virtual lumlib::LumError ReadFor(void* buffer, uint32_t* length, DWORD waitMs, HANDLE stopEvent, bool* cutShort) = 0;
    // Write is StartWrite, then FinishWrite when the write is pending.
    lumlib::LumError Write(const void* buffer, uint32_t* length);
    // Starts writing *length bytes. Done at once: *pending false and *length
    // the bytes written. Otherwise *pending: the buffer must stay valid until
    // FinishWrite (on any thread) has returned.
    virtual lumlib::LumError StartWrite(const void* buffer, uint32_t* length, bool* pending) = 0;
    // Waits for the pending write, at most until its stall bound (from its
    // start). A write that ended because the thread that started it ended
    // succeeds only when it moved every byte; otherwise it fails (995): how
    // much of it the service read is not known. With stillPending, the wait also ends after waitMs with the write
    // still pending (*stillPending set).
    virtual lumlib::LumError FinishWrite(uint32_t* length, DWORD waitMs, bool* stillPending) = 0;
    // Closes the connection, destroys it and then tells its owner.
    static void Release(std::unique_ptr<CConnection> connection);

    // Sets the abort event: every read or write, pending or later, fails with 1223.
    void Cancel();
protected:
    // The first failure of construction is kept.
    void FailStart(const lumlib::LumError& error) {
        if (!m_startError.failed()) m_startError = error;
    }

    bool IsCancelled() const { return m_cancelled.load(); }
    HANDLE AbortEvent() const { return m_abortEvent.get(); }
    // The first step of Release, before the object goes.
    virtual void Close() = 0;

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

    lumlib::LumError ReadFor(void* buffer, uint32_t* length, DWORD waitMs, HANDLE stopEvent, bool* cutShort) override;
    lumlib::LumError StartWrite(const void* buffer, uint32_t* length, bool* pending) override;
    lumlib::LumError FinishWrite(uint32_t* length, DWORD waitMs, bool* stillPending) override;

    HANDLE GetPipe() const { return m_pipe.get(); }

protected:
    // Does not flush a cancelled connection: a flush waits until the server
    // has read everything, which a server that stopped reading never does.
    // What was written stays readable by the server after the close.
    void Close() override;

private:
    // Ends a pending write (from any thread) and waits until it is over:
    // TRUE when it had completed all the same, with *count (may be null) its bytes.
    BOOL CancelWrite(DWORD* count = nullptr);

    CHandleHolder m_pipe;
    CHandleHolder m_readEvent;
    OVERLAPPED m_readOverlapped;
    CHandleHolder m_writeEvent;
    OVERLAPPED m_writeOverlapped;
    // Of the write started and not yet finished (its starter holds the
    // channel's send lock, or has handed the write over under it).
    bool m_writePending = false;
    ULONGLONG m_writeDeadline = 0;
    uint32_t m_writeLength = 0;
    // The completion port the pipe is bound to (none when it could not be
    // made); nothing is ever queued to it (see Tagged in Connection.cpp).
    CHandleHolder m_ioPort;
};

// Opens the client end of the named pipe name (without the "\\.\pipe\" prefix)
// and wraps it in a connection that owner is told of when it is released; sa
// may be null. flags go to CreateFileW (the session client adds its
// quality-of-service request). The connection, or null with *failure (never
// null) naming the error and the step ("PipeClient"): a keeper that finds no
// pipe once a second pays no exception for it. Allocates nothing before the
// pipe is found. A pipe nobody created fails at once. A busy one is waited for
// in slices that check stopEvent (may be null), for at most kOpenBudgetMs in
// all: the server's own default time-out can be weeks. A stop ends the wait
// with ERROR_CANCELLED, the budget with the wait's error (ERROR_SEM_TIMEOUT);
// a wait that found a free instance always gets one more open.
std::unique_ptr<CPipeConnection> TryOpenPipe(CConnectionOwner* owner, const wchar_t* name, SECURITY_ATTRIBUTES* sa,
                                             DWORD flags, HANDLE stopEvent, lumlib::LumFailure* failure);
// Longest wait for a free instance in one open, and its slices.
const DWORD kOpenBudgetMs = 1000;
const DWORD kOpenSliceMs = 250;
