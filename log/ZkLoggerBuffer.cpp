// The writer's queue: runs batched into one append, write-through waits, the
// draining stop of teardown, the cap's notices and the idle close.
#include "log/ZkLoggerBuffer.h"

#include <sddl.h>

#include <algorithm>
#include <cstring>

#include "log/LogFileOps.h"

namespace {


// The folder the guard watches: the owner's, else the one the base path names.
std::wstring GuardDirectory(const LogFileSetup& setup, const std::wstring& basePath) {
    if (!setup.directory.empty()) return setup.directory;
    const size_t slash = basePath.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : basePath.substr(0, slash + 1);
}

// Holds a critical section when it could be had without waiting.
class CTryGuard {
public:
    explicit CTryGuard(CRITICAL_SECTION* cs) : m_cs(::TryEnterCriticalSection(cs) ? cs : nullptr) {}
    ~CTryGuard() {
        if (m_cs) ::LeaveCriticalSection(m_cs);
    }
    CTryGuard(const CTryGuard&) = delete;
    CTryGuard& operator=(const CTryGuard&) = delete;
    bool held() const { return m_cs != nullptr; }

private:
    CRITICAL_SECTION* m_cs;
};

}  // namespace

CZkLoggerBuffer::CZkLoggerBuffer(const LogFileSetup& setup, const wchar_t* basePath, const wchar_t* sddl,
                                 uint32_t maxFileSize, uint32_t asyncFlag, const wchar_t* header,
                                 uint32_t rotationFileNumber)
    : m_setup(setup),
      m_basePath(basePath ? basePath : L""),
      m_fileName(m_basePath + L".txt"),
      m_header(header ? header : L""),
      m_async(asyncFlag),
      m_securityAttributes{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE},
      m_idleTimer(::CreateWaitableTimerW(nullptr, FALSE, nullptr)),
      m_maxFileSize(maxFileSize),
      m_rotationFileNumber(rotationFileNumber ? rotationFileNumber : 1),
      m_guard(GuardDirectory(setup, m_basePath)),
      m_lastWriteTick(::GetTickCount()) {
    // No timer, no idle close: the file would stay open for the process's life.
    // The owner sees it (IsReady) and discards the writer; nothing is thrown,
    // since the first exception of a thread allocates.
    if (!m_idleTimer.is_valid()) return;
    // A line waits up to kLingerMs for the writer instead of waking it: the
    // caller pays no wake-up for each line, and the writer joins the lines of
    // a burst into one append.
    SetLinger(kLingerMs);
    // A writer held up by the disk or another process must not let the queue
    // take the host's memory: past the cap lines are counted, not queued.
    SetQueueCap(kQueueHardCapBytes);
    m_started = Start() == ERROR_SUCCESS;
    m_progressTick.store(::GetTickCount());
    // A descriptor that cannot be converted leaves default security.
    if (sddl && ::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                                       m_securityDescriptor.put(), nullptr))
        m_securityAttributes.lpSecurityDescriptor = m_securityDescriptor.get();
}

CZkLoggerBuffer::~CZkLoggerBuffer() {
    // What is queued reaches the file before it is closed, within the drain's time.
    DrainAndStop();
    const auto lock = m_lock.lock();
    CloseFile();
}

void CZkLoggerBuffer::DrainAndStop() {
    // From here Process counts time: after kDrainMs it drops instead of writing.
    DWORD notBegun = 0;
    m_drainStartTick.compare_exchange_strong(notBegun, logfile::HoldTick());
    StopTransfer(0);
    const auto lock = m_lock.lock();
    // A hold only spares the folder's checks for a while; the last lines get
    // them made anew rather than being dropped for a query that failed once.
    m_guard.Release();
    try {
        FlushBatch();
        if (m_capDropped.load() != 0) WriteCapNotice();
        CountMemoryDrops();
        if (m_drainDropped != 0) WriteDrainNotice();
        // Runs lost since the last append (a folder refused or not checkable
        // for a moment), or lines a cut kept back, go on their own: no later line may come.
        if (m_droppedRuns != 0 || !m_cutLead.empty()) WriteRuns(nullptr, 0, 0);
    } catch (...) {
        RecoverRuns(0);  // teardown goes on: nothing leaves the stop
    }
}

bool CZkLoggerBuffer::IsDrainOver() const {
    const DWORD drainStart = m_drainStartTick.load();
    return drainStart != 0 && ::GetTickCount() - drainStart >= kDrainMs;
}

void CZkLoggerBuffer::WriteDrainNotice() {
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::DrainAndStop: (%u): %u lines were dropped: the log could not be written "
                 L"within %u ms of the stop.",
                 __LINE__, m_drainDropped, kDrainMs);
    const std::wstring notice = ErrorLine(message);
    // Counted off once written (not when built: ErrorLine may throw), so a
    // notice that fails leaves its count for a later stop.
    if (WriteRuns(notice.data(), notice.size() * sizeof(wchar_t), 0)) m_drainDropped = 0;
}

void CZkLoggerBuffer::SetReparseQuery(PFN_QUERY_REPARSE query, void* context) {
    const auto lock = m_lock.lock();
    m_guard.SetReparseQuery(query, context);
}

void CZkLoggerBuffer::SetHardening(bool privileged, PFN_QUERY_OWNER query, void* context) {
    const auto lock = m_lock.lock();
    m_guard.SetHardening(privileged, query, context);
}

void CZkLoggerBuffer::SetFileWrite(PFN_WRITE_FILE write, void* context) {
    const auto lock = m_lock.lock();
    m_writeFile = write ? write : &CZkLoggerBuffer::WriteFileLive;
    m_writeFileContext = write ? context : nullptr;
}

void CZkLoggerBuffer::SetFileOpen(PFN_OPEN_FILE open, void* context) {
    const auto lock = m_lock.lock();
    m_openFile = open ? open : &CZkLoggerBuffer::OpenFileLive;
    m_openFileContext = open ? context : nullptr;
}

BOOL CZkLoggerBuffer::WriteFileLive(void*, HANDLE file, const void* data, DWORD size, DWORD* written) {
    return ::WriteFile(file, data, size, written, nullptr);
}

uint64_t CZkLoggerBuffer::GetUnwrittenRuns() const {
    const int64_t pushed = m_pushed.load();
    const int64_t processed = m_processed.load();
    return pushed > processed ? static_cast<uint64_t>(pushed - processed) : 0;
}

void CZkLoggerBuffer::ArmIdleTimer(DWORD ms) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10000;  // relative, in 100 ns units
    ::SetWaitableTimer(m_idleTimer.get(), &due, 0, nullptr, nullptr, FALSE);
}

void CZkLoggerBuffer::CloseIfIdle() {
    // A writer that holds the lock is writing, or waits for a file lock: the
    // file is not idle, and the watcher must not wait for it.
    CTryGuard lock(m_lock.get());
    if (!lock.held()) {
        ArmIdleTimer(kIdleCloseMs);
        return;
    }
    // Unsigned tick difference: safe across the 49.7-day wrap-around.
    const DWORD idle = ::GetTickCount() - m_lastWriteTick;
    if (m_file.is_valid() && idle < kIdleCloseMs) {
        ArmIdleTimer(kIdleCloseMs - idle);  // written meanwhile: due from the last write
        return;
    }
    CloseFile();
    m_idleArmed.store(false);  // the next open or write schedules the close again
}

uint32_t CZkLoggerBuffer::Push(const void* data, uint64_t size) { return Queue(data, size, false) != 0; }

uint64_t CZkLoggerBuffer::Queue(const void* data, uint64_t size, bool wake, bool* capped) {
    // Past the cap a line waits for the writer's next batch, within its budget.
    const DWORD start = ::GetTickCount();
    while (m_queuedBytes.load() + size > kQueueCapBytes && WaitForRoom(start)) {
    }
    // Still past it: kept while the writer makes progress (contention among
    // writers is no reason to drop), dropped while it has none.
    // The writer's tick first, the clock after it: read the other way round, a
    // tick the writer stored in between is later than "now", and the unsigned
    // difference wraps to a stall of 49 days (a line dropped at a busy moment).
    const DWORD progress = m_progressTick.load();
    const bool stalled = ::GetTickCount() - progress >= kWriterStallMs;
    if (m_queuedBytes.load() + size <= kQueueCapBytes || !stalled) {
        // The push and its count together: the count is the run's place in the queue.
        const auto lock = m_pushLock.lock();
        // Its bytes before the push: the woken writer may take the run and
        // count them off before PushBlock returns.
        const uint64_t before = m_queuedBytes.fetch_add(size);
        bool overCap = false;
        if (PushBlock(data, size, wake, kLoose, &overCap)) {
            if (before == 0) m_progressTick.store(::GetTickCount());  // an idle writer's clock starts with its work
            return static_cast<uint64_t>(++m_pushed);
        }
        Unqueue(size);
        if (IsClosing()) return 0;
        if (!overCap) {  // no memory to queue it (or for a writer to start): told with that reason, not the cap's
            ++m_memoryDropped;
            if (capped) *capped = true;
            return 0;
        }
    }
    ++m_capDropped;  // reported by the writer
    if (capped) *capped = true;
    return 0;
}

void CZkLoggerBuffer::CountMemoryDrops() {
    if (m_memoryDropped.load() == 0) return;
    FlushBatch();  // the lines queued before the drop go before its notice
    CountLost(m_memoryDropped.exchange(0), kWhyNoMemory);
}

void CZkLoggerBuffer::Unqueue(uint64_t bytes) {
    // Runs written directly were never counted in: the count only falls to 0.
    // A compare-exchange: a refused push takes its bytes back under the push
    // lock, not the buffer lock the writer counts them off under.
    uint64_t queued = m_queuedBytes.load();
    while (!m_queuedBytes.compare_exchange_weak(queued, queued - std::min(bytes, queued))) {
    }
}

bool CZkLoggerBuffer::WaitForRoom(DWORD start) {
    const int64_t seen = m_processed.load();
    if (seen <= m_capStalled.load()) return false;  // the writer has not moved since a line waited in vain
    const DWORD waited = ::GetTickCount() - start;
    if (waited >= kQueueWaitMs) {
        m_capStalled.store(seen);
        return false;
    }
    ++m_waiters;  // the writer wakes whoever it counts after each batch
    const auto lock = m_writtenLock.lock();
    if (m_processed.load() == seen) m_writtenLock.wait(m_written, kQueueWaitMs - waited);
    if (--m_waiters == 0) m_awaited.store(0);
    return true;
}

uint64_t CZkLoggerBuffer::QueueThrough(const void* data, uint64_t size) {
    // The writer is woken: the caller waits for it. Once the stop has begun
    // the writer may be gone: the run is written here.
    // A run refused at the queue's cap is counted like any other line: writing
    // it here would make the caller wait for the disk the writer waits for.
    const bool queued = m_async && m_drainStartTick.load() == 0;
    bool capped = false;
    const uint64_t ticket = queued ? Queue(data, size, true, &capped) : 0;
    if (ticket == 0 && !capped) Process(static_cast<const uint8_t*>(data), size, 1);
    return ticket;
}

void CZkLoggerBuffer::AwaitWritten(uint64_t ticket) {
    const int64_t run = static_cast<int64_t>(ticket);
    if (run == 0) return;
    // A writer that kept a caller waiting for the whole time (a stalled disk)
    // is not waited for again before it has caught up with that caller's run.
    if (m_processed.load() < m_stalledTicket.load()) return;
    const DWORD start = ::GetTickCount();
    ++m_waiters;  // before the look at m_processed: the writer wakes whoever it counts
    bool written = false;
    {
        const auto lock = m_writtenLock.lock();
        written = WaitWrittenLocked(ticket, start);
        if (--m_waiters == 0) m_awaited.store(0);
    }
    if (!written) MarkStalled(run);
}

void CZkLoggerBuffer::MarkStalled(int64_t run) {
    int64_t stalled = m_stalledTicket.load();
    while (stalled < run && !m_stalledTicket.compare_exchange_weak(stalled, run)) {
    }
}

bool CZkLoggerBuffer::WaitWrittenLocked(uint64_t ticket, DWORD start) {
    const int64_t run = static_cast<int64_t>(ticket);
    for (;;) {
        const int64_t processed = m_processed.load();
        if (processed >= run) return true;
        // The oldest run awaited (callers change it under m_writtenLock only):
        // the writer writes its batch as soon as that run is in it.
        const int64_t awaited = m_awaited.load();
        if (awaited <= processed || run < awaited) m_awaited.store(run);
        const DWORD waited = ::GetTickCount() - start;
        if (waited >= kWriteThroughWaitMs) return false;
        m_writtenLock.wait(m_written, kWriteThroughWaitMs - waited);
    }
}

uint32_t CZkLoggerBuffer::Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) {
    const auto lock = m_lock.lock();
    if (data) Unqueue(size);  // taken: no longer waiting
    // The writer's error boundary: the worker thread (and a caller writing
    // directly) must never see an exception.
    bool counted = false;
    try {
        // At a batch's start (this run begins one), not before every line: the
        // lines behind a notice that fails, or behind refusals that go on,
        // would go one append each (each try of a failing one is two failed
        // appends and a reopen). Once the stop's time is up no batch begins
        // (every run would start one): the stop writes the notice last.
        const bool drainOver = data && size && IsDrainOver();
        const bool batchStart = m_batchBytes == 0 || m_batchBytes + size > kBatchBytes;
        if (data && size && batchStart && !drainOver && m_capDropped.load() != 0) WriteCapNotice();
        CountMemoryDrops();
        if (drainOver)
            ++m_drainDropped;  // the stop's time is up: counted, and reported once by DrainAndStop
        else if (data && size)
            AddToBatch(data, size);
        ++m_pendingRuns;
        counted = true;
        const int64_t awaited = m_awaited.load();
        const int64_t processed = m_processed.load();
        const bool awaitedTaken = awaited > processed && processed + m_pendingRuns >= awaited;
        if (queueEmpty || awaitedTaken || m_batchBytes >= kBatchBytes) FlushBatch();
    } catch (...) {
        if (!counted) ++m_pendingRuns;
        RecoverRuns(counted ? 0 : 1);  // a run not counted in is in no batch either
    }
    return 1;
}

void CZkLoggerBuffer::Dropped(uint32_t runs, uint64_t bytes) {
    const auto lock = m_lock.lock();
    Unqueue(bytes);
    FlushOrRecover();  // in queue order: the runs before the dropped ones first
    CountLost(runs, kWhyNoMemory);
    m_pendingRuns += runs;
    FlushOrRecover();  // nothing to write: the count moves on, and a caller waiting for these goes on
}

void CZkLoggerBuffer::FlushOrRecover() {
    try {
        FlushBatch();
    } catch (...) {
        RecoverRuns(0);
    }
}

void CZkLoggerBuffer::RecoverRuns(uint32_t current) {
    const uint32_t lost = m_batchRuns + current;
    if (lost != 0 && m_droppedRuns == 0) m_droppedWhy = kWhyNoMemory;
    m_droppedRuns += lost;
    m_batchBytes = 0;
    m_batchRuns = 0;
    m_processed += m_pendingRuns;  // a caller waiting for them goes on
    m_pendingRuns = 0;
    const auto lock = m_writtenLock.lock();
    ::WakeAllConditionVariable(&m_written);
}

void CZkLoggerBuffer::AddToBatch(const uint8_t* data, uint64_t size) {
    // Runs that follow one another in the queue go out as one append: the
    // lock, size check and write are paid once per batch, not once per line.
    if (m_batchBytes > 0 && m_batchBytes + size > kBatchBytes) FlushBatch();
    if (m_batch.Grow(m_batchBytes + size)) {
        memcpy(m_batch.get() + m_batchBytes, data, static_cast<size_t>(size));
        m_batchBytes += size;
        ++m_batchRuns;
        return;
    }
    FlushBatch();  // no memory to join: this run alone
    WriteRuns(data, size, 1);
}

void CZkLoggerBuffer::FlushBatch() {
    if (m_batchBytes > 0) WriteRuns(m_batch.get(), m_batchBytes, m_batchRuns);
    m_batchBytes = 0;
    m_batchRuns = 0;
    // Counted whatever became of the runs: a write-through caller waits for its turn, not for success.
    m_processed += m_pendingRuns;
    m_pendingRuns = 0;
    m_progressTick.store(::GetTickCount());
    if (m_waiters.load() == 0) return;
    // Under the callers' lock: a caller between its look at the count and its sleep is not missed.
    const auto lock = m_writtenLock.lock();
    ::WakeAllConditionVariable(&m_written);
}

std::wstring CZkLoggerBuffer::ErrorLine(const wchar_t* text) const {
    wchar_t prefix[kLogLineChars] = L"";
    if (m_setup.formatPrefix) m_setup.formatPrefix(prefix, L"ERROR");
    return std::wstring(prefix) + text + L"\r\n";
}

void CZkLoggerBuffer::WriteCapNotice() {
    // Counted off once written: a notice that fails (a failing disk, a refused
    // folder) is tried again before the next batch, and an exception keeps it too.
    const uint32_t dropped = m_capDropped.load();
    wchar_t message[kLogLineChars];
    _snwprintf_s(message, kLogLineChars, _TRUNCATE,
                 L"sndapi: CZkLoggerBuffer::Queue: (%u): %u lines were dropped: more than %u KiB of lines waited "
                 L"for a log file that took none for %u ms, or more than %u KiB.",
                 __LINE__, dropped, static_cast<unsigned>(kQueueCapBytes / 1024), kWriterStallMs,
                 static_cast<unsigned>(kQueueHardCapBytes / 1024));
    const std::wstring notice = ErrorLine(message);
    FlushBatch();  // in queue order: the lines before the drop first
    if (WriteRuns(notice.data(), notice.size() * sizeof(wchar_t), 0)) m_capDropped -= dropped;
}
