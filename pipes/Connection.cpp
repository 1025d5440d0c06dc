#include "pipes/Connection.h"

#include <new>
#include <string>
#include <utility>

#include "support/PipeIdentity.h"

namespace {

const wchar_t kConnectionModule[] = L"Connection";
const wchar_t kPipeConnectionModule[] = L"PipeConnection";
const wchar_t kPipeClientModule[] = L"PipeClient";

// Raise sites: each keeps its own fixed line so that a report names the step.
enum : uint32_t {
    kLineNoOwner = 17,
    kLineAbortEvent = 23,
    kLineInvalidPipe = 20,
    kLineReadEvent = 28,
    kLineWriteEvent = 37,
    kLineReadFile = 58,
    kLineReadCancelled = 71,
    kLineReadResult = 77,
    kLineReadWait = 83,
    kLineWriteFile = 98,
    kLineWriteCancelled = 108,
    kLineWriteResult = 124,
    kLineWriteStalled = 130,
    kLineNoName = 33,
    kLineOpen = 93,
};

const DWORD kWriteCancelPollMs = 1000;

// After CancelIo the kernel may still own the buffer and the OVERLAPPED (on
// Wine the cancellation completes later): both are reused by the next call
// and the buffer belongs to the caller, so wait until the operation is over.
void WaitUntilFinished(HANDLE pipe, OVERLAPPED* overlapped) {
    DWORD ignored = 0;
    ::GetOverlappedResult(pipe, overlapped, &ignored, TRUE);
}

}  // namespace

// ---- CConnection -----------------------------------------------------------

CConnection::CConnection(CConnectionOwner* owner) : m_owner(nullptr) {
    if (!owner) throw new CLumException(ERROR_INVALID_PARAMETER, kConnectionModule, kLineNoOwner, L"");
    m_abortEvent.reset(lumlib::NewEvent());
    if (!m_abortEvent.is_valid()) throw new CLumException(kConnectionModule, kLineAbortEvent, L"");
    m_owner = owner;
}

CConnection::~CConnection() {}

void CConnection::Release() {
    m_owner->OnConnectionClosed(this);
    delete this;
}

void CConnection::Cancel() {
    m_cancelled = true;
    ::SetEvent(m_abortEvent.get());
}

bool CConnection::ReadAll(void* buffer, uint32_t count) {
    uint8_t* p = static_cast<uint8_t*>(buffer);
    try {
        while (count) {
            uint32_t got = count;
            // A connection that reports failure by its result rather than by
            // raising ends the read as well.
            if (!Read(p, &got)) return false;
            if (got > count) got = count;  // never step past what was asked for
            p += got;
            count -= got;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// ---- CPipeConnection -------------------------------------------------------

CPipeConnection::CPipeConnection(CConnectionOwner* owner, CHandleHolder&& pipe)
    : CConnection(owner), m_pipe(std::move(pipe)) {
    ZeroMemory(&m_readOverlapped, sizeof(m_readOverlapped));
    ZeroMemory(&m_writeOverlapped, sizeof(m_writeOverlapped));
    // (the holder counts INVALID_HANDLE_VALUE as empty and never closes it)
    if (m_pipe.get() == INVALID_HANDLE_VALUE) {
        throw new CLumException(ERROR_INVALID_PARAMETER, kPipeConnectionModule, kLineInvalidPipe, L"");
    }
    m_readEvent.reset(lumlib::NewEvent(false));
    if (!m_readEvent.is_valid()) throw new CLumException(kPipeConnectionModule, kLineReadEvent, L"");
    m_readOverlapped.hEvent = m_readEvent.get();
    m_writeEvent.reset(lumlib::NewEvent(false));
    if (!m_writeEvent.is_valid()) throw new CLumException(kPipeConnectionModule, kLineWriteEvent, L"");
    m_writeOverlapped.hEvent = m_writeEvent.get();
}

CPipeConnection::~CPipeConnection() {}

uint32_t CPipeConnection::Read(void* buffer, uint32_t* length) {
    static_assert(sizeof(DWORD) == sizeof(uint32_t), "byte counts are 32-bit");
    DWORD* count = reinterpret_cast<DWORD*>(length);
    if (IsCancelled()) throw new CLumException(ERROR_CANCELLED, kPipeConnectionModule, kLineReadCancelled, L"");
    if (::ReadFile(m_pipe.get(), buffer, *length, nullptr, &m_readOverlapped)) {
        // It was there already: the count is in the OVERLAPPED, and no wait is needed.
        if (!::GetOverlappedResult(m_pipe.get(), &m_readOverlapped, count, FALSE))
            throw new CLumException(kPipeConnectionModule, kLineReadResult, L"");
        return 1;
    }
    DWORD err = ::GetLastError();
    if (err != ERROR_IO_PENDING) throw new CLumException(err, kPipeConnectionModule, kLineReadFile, L"");
    // The read event comes first: data that has already arrived is delivered
    // even when the connection was cancelled meanwhile.
    HANDLE waits[2] = {m_readEvent.get(), AbortEvent()};
    DWORD w = ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    if (w == WAIT_OBJECT_0 + 1) {
        ::CancelIo(m_pipe.get());
        WaitUntilFinished(m_pipe.get(), &m_readOverlapped);
        throw new CLumException(ERROR_CANCELLED, kPipeConnectionModule, kLineReadCancelled, L"");
    }
    if (w != WAIT_OBJECT_0) {
        DWORD waitErr = ::GetLastError();
        ::CancelIo(m_pipe.get());
        WaitUntilFinished(m_pipe.get(), &m_readOverlapped);
        throw new CLumException(waitErr, kPipeConnectionModule, kLineReadWait, L"");
    }
    BOOL ok = ::GetOverlappedResult(m_pipe.get(), &m_readOverlapped, count, FALSE);
    if (!ok) throw new CLumException(kPipeConnectionModule, kLineReadResult, L"");
    return static_cast<uint32_t>(ok);
}

uint32_t CPipeConnection::Write(const void* buffer, uint32_t* length) {
    DWORD* count = reinterpret_cast<DWORD*>(length);
    if (IsCancelled()) throw new CLumException(ERROR_CANCELLED, kPipeConnectionModule, kLineWriteCancelled, L"");
    // Done at once (room in the pipe): nothing to wait for.
    if (::WriteFile(m_pipe.get(), buffer, *length, nullptr, &m_writeOverlapped)) {
        if (::GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, count, FALSE) && *count != 0) return 1;
    } else {
        const DWORD err = ::GetLastError();
        if (err != ERROR_IO_PENDING) throw new CLumException(err, kPipeConnectionModule, kLineWriteFile, L"");
    }
    HANDLE waits[2] = {m_writeEvent.get(), AbortEvent()};
    // A reader that stopped reading would hold this write, and every message
    // queued behind it, for ever: past the bound the write is given up.
    const ULONGLONG deadline = ::GetTickCount64() + kWriteStallMs;
    for (;;) {
        // Cancellation wins over completion in every pass.
        const bool stalled = ::GetTickCount64() >= deadline;
        if (IsCancelled() || stalled) {
            ::CancelIo(m_pipe.get());
            WaitUntilFinished(m_pipe.get(), &m_writeOverlapped);
            if (stalled && !IsCancelled()) {
                throw new CLumException(ERROR_TIMEOUT, kPipeConnectionModule, kLineWriteStalled, L"");
            }
            throw new CLumException(ERROR_CANCELLED, kPipeConnectionModule, kLineWriteCancelled, L"");
        }
        if (::WaitForMultipleObjects(2, waits, FALSE, kWriteCancelPollMs) != WAIT_OBJECT_0) continue;
        ::SetLastError(0);
        BOOL ok = ::GetOverlappedResult(m_pipe.get(), &m_writeOverlapped, count, FALSE);
        if (!ok) throw new CLumException(kPipeConnectionModule, kLineWriteResult, L"");
        // Nothing written: the event is spent, so from now on only a cancel ends the wait.
        if (*count != 0) return static_cast<uint32_t>(ok);
    }
}

uint32_t CPipeConnection::Flush() { return static_cast<uint32_t>(::FlushFileBuffers(m_pipe.get())); }

void CPipeConnection::Release() {
    if (!IsCancelled()) ::FlushFileBuffers(m_pipe.get());
    ::DisconnectNamedPipe(m_pipe.get());
    // Closed before the owner is told: the owner may reconnect at once.
    m_pipe.reset();
    Owner()->OnConnectionClosed(this);
    delete this;
}

// ---- CPipeClient -----------------------------------------------------------

std::unique_ptr<CPipeConnection> CPipeClient::TryOpenPipe(const wchar_t* name, SECURITY_ATTRIBUTES* sa, DWORD flags,
                                                          HANDLE stopEvent, lumlib::LumFailure* failure) {
    if (!name) return Failed(failure, ERROR_INVALID_PARAMETER, kLineNoName);
    const std::wstring path = std::wstring(L"\\\\.\\pipe\\") + name;
    const ULONGLONG deadline = ::GetTickCount64() + kOpenBudgetMs;
    for (;;) {
        // Through the substitutable table, so tests can see the flags that reach CreateFileW.
        CHandleHolder pipe(lumlib::ActivePipeIdentityApi().createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, sa,
                                                                      OPEN_EXISTING, flags, nullptr));
        DWORD err = ::GetLastError();
        // The connection takes the holder; until then the holder closes it.
        if (pipe.is_valid()) return Wrap(std::move(pipe), failure);
        // Not there: nothing to wait for (a wait on a missing name fails at
        // once anyway), so an absent service costs one open an attempt.
        if (err != ERROR_PIPE_BUSY) return Failed(failure, err, kLineOpen);
        // Busy: wait for a free instance, one slice at a time, then try
        // again. A time-out of 0 would mean the server's default, so a slice is never 0.
        const ULONGLONG now = ::GetTickCount64();
        const DWORD left = now < deadline ? static_cast<DWORD>(deadline - now) : 1;
        if (!::WaitNamedPipeW(path.c_str(), left < kOpenSliceMs ? left : kOpenSliceMs)) {
            err = ::GetLastError();
            if (err != ERROR_SEM_TIMEOUT || ::GetTickCount64() >= deadline) return Failed(failure, err, kLineOpen);
        }
        if (stopEvent != nullptr && lumlib::IsSignalled(stopEvent)) return Failed(failure, ERROR_CANCELLED, kLineOpen);
    }
}

std::unique_ptr<CPipeConnection> CPipeClient::Wrap(CHandleHolder&& pipe, lumlib::LumFailure* failure) {
    std::unique_ptr<CPipeConnection> connection;
    // Its events cannot be created: rare, and reported like any failed step.
    lumlib::CatchReturn([&] { connection.reset(new CPipeConnection(this, std::move(pipe))); }, failure);
    return connection;
}

std::unique_ptr<CPipeConnection> CPipeClient::Failed(lumlib::LumFailure* failure, DWORD error, uint32_t line) {
    // The same record a raised step leaves, without raising or allocating.
    failure->Keep(error != ERROR_SUCCESS ? error : static_cast<uint32_t>(ERROR_GEN_FAILURE), nullptr);
    failure->line = line;
    wcsncpy(failure->module, kPipeClientModule, _countof(failure->module) - 1);
    failure->module[_countof(failure->module) - 1] = L'\0';
    return nullptr;
}

CPipeConnection* CPipeClient::OpenPipe(const wchar_t* name, SECURITY_ATTRIBUTES* sa, DWORD flags, HANDLE stopEvent) {
    lumlib::LumFailure failure;
    std::unique_ptr<CPipeConnection> connection = TryOpenPipe(name, sa, flags, stopEvent, &failure);
    if (!connection) throw new CLumException(failure.error, failure.module, failure.line, failure.text);
    return connection.release();
}
