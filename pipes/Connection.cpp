#include "pipes/Connection.h"

#include <new>
#include <utility>

#include "support/PipeIdentity.h"

using lumlib::LumError;
using lumlib::LumReason;

namespace {

const wchar_t kConnectionModule[] = L"Connection";
const wchar_t kPipeConnectionModule[] = L"PipeConnection";
const wchar_t kPipeClientModule[] = L"PipeClient";

const wchar_t kPipePrefix[] = L"\\\\.\\pipe\\";

// A wait for a free instance that returned within this found one at once;
// from the second such in a row, the open pauses this long before it tries again.
const ULONGLONG kOpenQuickWaitMs = 16;
const DWORD kOpenRetryPauseMs = 20;

const DWORD kWriteCancelPollMs = 1000;

// After CancelIo the kernel may still own the buffer and the OVERLAPPED (on
// Wine the cancellation completes later): both are reused by the next call
// and the buffer belongs to the caller, so wait until the operation is over.
// On the operation's own event, untagged (see Tagged).
BOOL WaitUntilFinished(HANDLE pipe, OVERLAPPED* overlapped, HANDLE event, DWORD* count) {
    for (;;) {
        if (::GetOverlappedResult(pipe, overlapped, count, FALSE)) return TRUE;
        if (::GetLastError() != ERROR_IO_INCOMPLETE) return FALSE;
        ::WaitForSingleObject(event, INFINITE);
    }
}

// An event as an OVERLAPPED carries it with its low bit set: the operation
// queues nothing to the completion port the pipe is bound to.
HANDLE Tagged(HANDLE event) { return reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1); }

LumError Cancelled(uint32_t line) { return lumlib::Fail(ERROR_CANCELLED, LumReason::kCancelled, kPipeConnectionModule, line); }

}  // namespace

// ---- CConnection -----------------------------------------------------------

CConnection::CConnection(CConnectionOwner* owner) : m_owner(owner) {
    if (!owner) {
        FailStart(lumlib::Fail(ERROR_INVALID_PARAMETER, LumReason::kInvalid, kConnectionModule, __LINE__));
        return;
    }
    m_abortEvent.reset(lumlib::NewEvent());
    if (!m_abortEvent.is_valid()) FailStart(lumlib::FailLast(kConnectionModule, __LINE__));
}

CConnection::~CConnection() {}

void CConnection::Release(std::unique_ptr<CConnection> connection) {
    if (connection == nullptr) return;
    CConnectionOwner* const owner = connection->m_owner;
    // Closed and gone before the owner hears of it: the owner may reconnect at once.
    connection->Close();
    connection.reset();
    owner->OnConnectionClosed();
}

LumError CConnection::Write(const void* buffer, uint32_t* length) {
    bool pending = false;
    const LumError started = StartWrite(buffer, length, &pending);
    if (started.failed() || !pending) return started;
    return FinishWrite(length, INFINITE, nullptr);
}

void CConnection::Cancel() {
    m_cancelled = true;
    ::SetEvent(m_abortEvent.get());
}

// ---- CPipeConnection -------------------------------------------------------

CPipeConnection::CPipeConnection(CConnectionOwner* owner, CHandleHolder&& pipe)
    : CConnection(owner), m_pipe(std::move(pipe)) {
    ZeroMemory(&m_readOverlapped, sizeof(m_readOverlapped));
    ZeroMemory(&m_writeOverlapped, sizeof(m_writeOverlapped));
    // (the holder counts INVALID_HANDLE_VALUE as empty and never closes it)
    if (m_pipe.get() == INVALID_HANDLE_VALUE) {
        FailStart(lumlib::Fail(ERROR_INVALID_PARAMETER, LumReason::kInvalid, kPipeConnectionModule, __LINE__));
        return;
    }
    m_readEvent.reset(lumlib::NewEvent(false));
    if (m_readEvent.is_valid()) m_writeEvent.reset(lumlib::NewEvent(false));
    if (!m_readEvent.is_valid() || !m_writeEvent.is_valid()) FailStart(lumlib::FailLast(kPipeConnectionModule, __LINE__));
    m_readOverlapped.hEvent = Tagged(m_readEvent.get());
    m_writeOverlapped.hEvent = Tagged(m_writeEvent.get());
    // Bound to a completion port, the pipe's operations belong to the pipe,
    // not to the thread that started them: a write a caller's thread leaves
    // pending is not cancelled when that thread ends (Windows since Vista;
    // Wine cancels it all the same, and FinishWrite then ends the connection).
    // Without a port that holds: the same end.
    m_ioPort.reset(::CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (m_ioPort.is_valid() && ::CreateIoCompletionPort(m_pipe.get(), m_ioPort.get(), 0, 0) == nullptr) m_ioPort.reset();
}

CPipeConnection::~CPipeConnection() { CancelWrite(); }

LumError CPipeConnection::ReadFor(void* buffer, uint32_t* length, DWORD waitMs, HANDLE stopEvent, bool* cutShort) {
    static_assert(sizeof(DWORD) == sizeof(uint32_t), "byte counts are 32-bit");
    DWORD* count = reinterpret_cast<DWORD*>(length);
    if (cutShort != nullptr) *cutShort = false;
    if (IsCancelled()) return Cancelled(__LINE__);
    if (::ReadFile(m_pipe.get(), buffer, *length, nullptr, &m_readOverlapped)) {
        // It was there already: the count is in the OVERLAPPED, and no wait is needed.
        if (!::GetOverlappedResult(m_pipe.get(), &m_readOverlapped, count, FALSE))
            return lumlib::FailLast(kPipeConnectionModule, __LINE__);
        return LumError();
    }
    const DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING) return lumlib::Fail(err, LumReason::kFailed, kPipeConnectionModule, __LINE__);
    // The read event comes first: data that has already arrived is delivered
    // even when the connection was cancelled meanwhile.
    HANDLE waits[3] = {m_readEvent.get(), AbortEvent(), stopEvent};
    const DWORD w = ::WaitForMultipleObjects(stopEvent != nullptr ? 3 : 2, waits, FALSE, waitMs);
    if (w == WAIT_OBJECT_0) {
        if (!::GetOverlappedResult(m_pipe.get(), &m_readOverlapped, count, FALSE))
            return lumlib::FailLast(kPipeConnectionModule, __LINE__);
        return LumError();
    }
    const DWORD waitErr = ::GetLastError();
    // CancelIoEx: the read was started on this thread, but only this read ends.
    ::CancelIoEx(m_pipe.get(), &m_readOverlapped);
    const BOOL done = WaitUntilFinished(m_pipe.get(), &m_readOverlapped, m_readEvent.get(), count);
    // Bytes the read took before the cancel have left the pipe: they are
    // delivered, and the next read sees the cancel.
    if (w == WAIT_OBJECT_0 + 1) return done && *count != 0 ? LumError() : Cancelled(__LINE__);
    if (w != WAIT_TIMEOUT && w != WAIT_OBJECT_0 + 2) return lumlib::Fail(waitErr, LumReason::kFailed, kPipeConnectionModule, __LINE__);
    // Cut short by the bound or the stop: what came before the cancel is kept.
    if (cutShort != nullptr) *cutShort = true;
    if (done) return LumError();
    const DWORD endErr = ::GetLastError();
    *count = 0;
    if (endErr == ERROR_OPERATION_ABORTED) return LumError();
    return lumlib::Fail(endErr, LumReason::kFailed, kPipeConnectionModule, __LINE__);
}

LumError CPipeConnection::StartWrite(const void* buffer, uint32_t* length, bool* pending) {
    DWORD* count = reinterpret_cast<DWORD*>(length);
    *pending = false;
    if (IsCancelled()) return Cancelled(__LINE__);
    // Done at once (room in the pipe): nothing to wait for.
    if (::WriteFile(m_pipe.get(), buffer, *length, nullptr, &m_writeOverlapped)) {
        if (::GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, count, FALSE) && *count != 0) return LumError();
    } else {
        const DWORD err = ::GetLastError();
        if (err != ERROR_IO_PENDING) return lumlib::Fail(err, LumReason::kFailed, kPipeConnectionModule, __LINE__);
    }
    // A reader that stopped reading would hold this write, and every message
    // queued behind it, for ever: past the bound the write is given up. (Read
    // here, once the write waits: a write done at once needs no clock.)
    m_writeDeadline = ::GetTickCount64() + kWriteStallMs;
    m_writeLength = *length;
    *pending = m_writePending = true;
    return LumError();
}

LumError CPipeConnection::FinishWrite(uint32_t* length, DWORD waitMs, bool* stillPending) {
    DWORD* count = reinterpret_cast<DWORD*>(length);
    HANDLE waits[2] = {m_writeEvent.get(), AbortEvent()};
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        // Cancellation wins over completion in every pass.
        const ULONGLONG now = ::GetTickCount64();
        if (IsCancelled() || now >= m_writeDeadline) {
            DWORD moved = 0;
            const BOOL done = CancelWrite(&moved);
            if (IsCancelled()) return Cancelled(__LINE__);
            // Done in full before the cancel (this thread came late to the
            // bound, the service had read it all): no stall.
            if (done && moved >= m_writeLength) {
                *count = moved;
                return LumError();
            }
            return lumlib::Fail(ERROR_TIMEOUT, LumReason::kStalled, kPipeConnectionModule, __LINE__);
        }
        // Never past the stall bound: a wait begun just before it would tell the stall a slice late.
        DWORD slice = kWriteCancelPollMs;
        if (m_writeDeadline - now < slice) slice = static_cast<DWORD>(m_writeDeadline - now);
        if (stillPending != nullptr) {
            // Given back still pending once the caller's share of the wait is over.
            const ULONGLONG waited = now - start;
            if (waited >= waitMs) {
                *stillPending = true;
                return LumError();
            }
            if (waitMs - waited < slice) slice = static_cast<DWORD>(waitMs - waited);
        }
        if (::WaitForMultipleObjects(2, waits, FALSE, slice) != WAIT_OBJECT_0) continue;
        ::SetLastError(0);
        const BOOL done = ::GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, count, FALSE);
        const DWORD err = done ? ERROR_SUCCESS : ::GetLastError();
        if (err == ERROR_IO_INCOMPLETE) continue;
        m_writePending = false;
        // Ended with the thread that started it (a caller's thread that has
        // exited, where the pipe could not be bound to a port, or under
        // Wine): how much of it the service read is not known (Wine reports
        // nothing moved after the service read part of it), so writing the
        // rest anew could send bytes twice. The connection ends instead.
        if (err == ERROR_OPERATION_ABORTED && !IsCancelled() && *count >= m_writeLength) return LumError();
        if (!done) return lumlib::Fail(err, LumReason::kFailed, kPipeConnectionModule, __LINE__);
        // Nothing written: the event is spent, so from now on only a cancel ends the wait.
        if (*count != 0) return LumError();
        m_writePending = true;
    }
}

BOOL CPipeConnection::CancelWrite(DWORD* count) {
    DWORD ignored = 0;
    if (count == nullptr) count = &ignored;
    *count = 0;
    if (!m_writePending) return FALSE;
    // CancelIoEx: the write may have been started by another thread.
    ::CancelIoEx(m_pipe.get(), &m_writeOverlapped);
    const BOOL done = WaitUntilFinished(m_pipe.get(), &m_writeOverlapped, m_writeEvent.get(), count);
    m_writePending = false;
    return done;
}

void CPipeConnection::Close() {
    // A write still pending (its finisher was stopped) ends before its
    // buffer and OVERLAPPED can go.
    CancelWrite();
    if (!IsCancelled()) ::FlushFileBuffers(m_pipe.get());
    ::DisconnectNamedPipe(m_pipe.get());
    m_pipe.reset();
}

// ---- Opening ----------------------------------------------------------------

namespace {

// Fills *failure with the step's error; returns null.
std::unique_ptr<CPipeConnection> Failed(lumlib::LumFailure* failure, const lumlib::LumError& error) {
    failure->Keep(error);
    return nullptr;
}

std::unique_ptr<CPipeConnection> Wrap(CConnectionOwner* owner, CHandleHolder&& pipe, lumlib::LumFailure* failure) {
    std::unique_ptr<CPipeConnection> connection(new (std::nothrow) CPipeConnection(owner, std::move(pipe)));
    if (connection == nullptr)
        return Failed(failure, lumlib::Fail(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory, kPipeClientModule, __LINE__));
    // Its events cannot be created: rare, and reported like any failed step
    // (the pipe is closed with it).
    if (connection->StartError().failed()) return Failed(failure, connection->StartError());
    return connection;
}

}  // namespace

std::unique_ptr<CPipeConnection> TryOpenPipe(CConnectionOwner* owner, const wchar_t* name, SECURITY_ATTRIBUTES* sa,
                                             DWORD flags, HANDLE stopEvent, lumlib::LumFailure* failure) {
    // The path in a fixed array: an attempt allocates nothing before the pipe is found.
    wchar_t path[_countof(kPipePrefix) + 256];
    if (!name || wcscpy_s(path, _countof(path), kPipePrefix) != 0 || wcscat_s(path, _countof(path), name) != 0)
        return Failed(failure, lumlib::Fail(ERROR_INVALID_PARAMETER, LumReason::kInvalid, kPipeClientModule, __LINE__));
    const ULONGLONG deadline = ::GetTickCount64() + kOpenBudgetMs;
    uint32_t quickWaits = 0;
    for (;;) {
        // Through the substitutable table, so tests can see the flags that reach CreateFileW.
        CHandleHolder pipe(lumlib::ActivePipeIdentityApi().createFile(path, GENERIC_READ | GENERIC_WRITE, 0, sa,
                                                                      OPEN_EXISTING, flags, nullptr));
        DWORD err = ::GetLastError();
        // The connection takes the holder; until then the holder closes it.
        if (pipe.is_valid()) return Wrap(owner, std::move(pipe), failure);
        // Not there: nothing to wait for (a wait on a missing name fails at
        // once anyway), so an absent service costs one open an attempt.
        if (err != ERROR_PIPE_BUSY) return Failed(failure, lumlib::Fail(err, LumReason::kOpenFailed, kPipeClientModule, __LINE__));
        // The budget is looked at only after an open, so a wait that found a
        // free instance always gets its try. A free instance that another
        // client takes first, again and again, must not hold the open past it.
        const ULONGLONG now = ::GetTickCount64();
        if (now >= deadline)
            return Failed(failure, lumlib::Fail(ERROR_SEM_TIMEOUT, LumReason::kOpenFailed, kPipeClientModule, __LINE__));
        if (stopEvent != nullptr && lumlib::IsSignalled(stopEvent))
            return Failed(failure, lumlib::Fail(ERROR_CANCELLED, LumReason::kStopped, kPipeClientModule, __LINE__));
        // Busy: wait for a free instance, one slice at a time, then try
        // again. A time-out of 0 would mean the server's default, so a slice is never 0.
        const DWORD left = static_cast<DWORD>(deadline - now);
        if (!::WaitNamedPipeW(path, left < kOpenSliceMs ? left : kOpenSliceMs)) {
            err = ::GetLastError();
            if (err != ERROR_SEM_TIMEOUT) return Failed(failure, lumlib::Fail(err, LumReason::kOpenFailed, kPipeClientModule, __LINE__));
            quickWaits = 0;
            continue;
        }
        // A wait that keeps finding a free instance at once, which the open
        // then finds taken, would spin: from the second, a pause (on the stop event).
        quickWaits = ::GetTickCount64() - now < kOpenQuickWaitMs ? quickWaits + 1 : 0;
        if (quickWaits < 2) continue;
        if (stopEvent != nullptr) ::WaitForSingleObject(stopEvent, kOpenRetryPauseMs);
        else ::Sleep(kOpenRetryPauseMs);
    }
}

