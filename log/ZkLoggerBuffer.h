// The file end of the logger: appends UTF-16LE log text to the current log
// file, one whole run per append, rotates it by size into numbered files and
// refuses to write while the log folder is refused (CLogFolderGuard). Every
// process of every session shares these files, so each append, rename and
// delete is made safe against the others.
// Batching and write-through: ZkLoggerBuffer.cpp; appending and the file that
// is current: LogAppend.cpp; rotation: LogRotation.cpp.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "log/LogFolderGuard.h"
#include "log/LogLine.h"
#include "support/ByteBlock.h"
#include "support/Holders.h"
#include "support/TransferBuffer.h"
#include "support/lumlib.h"

// What the writer takes from whoever owns it: the log folder, and the prefix
// of the lines it writes itself (the ERROR notices).
struct LogFileSetup {
    std::wstring directory;  // empty: the folder the base path names
    // Builds the prefix for label into buffer (kLogLineChars characters) and
    // returns its length. Empty: notices go without a prefix.
    std::function<size_t(wchar_t* buffer, const wchar_t* label)> formatPrefix;
};

class CZkLoggerBuffer : public CTransferBuffer {
public:
    CZkLoggerBuffer(const LogFileSetup& setup, const wchar_t* basePath, const wchar_t* sddl, uint32_t maxFileSize,
                    uint32_t asyncFlag, const wchar_t* header, uint32_t rotationFileNumber);
    ~CZkLoggerBuffer() override;

    // The file write: the run goes out in one append, joined with the runs
    // before it while more are queued (queueEmpty 0). Returns 1 in every case.
    // Once a draining stop has passed kDrainMs, runs are counted, not written.
    // Nothing leaves it: any exception (no memory) drops the runs at hand,
    // which are counted and reported like every drop.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // Runs the writer had no memory to take: counted as lost, and their
    // callers' turn has come (nobody waits for them).
    void Dropped(uint32_t runs, uint64_t bytes) override;
    // Queues a copy of the run (CTransferBuffer::Push) and counts it, so that
    // a written-through run can wait for its turn. At the queue's cap it waits
    // up to kQueueWaitMs for the writer to make room, while the writer makes
    // progress; then the line is counted as dropped.
    uint32_t Push(const void* data, uint64_t size) override;
    // A run that must reach the file before the caller goes on (it survives an
    // exit without clean-up): QueueThrough queues it behind what is already
    // queued, AwaitWritten waits for it, at most kWriteThroughWaitMs; it is
    // written directly when the buffer is synchronous or no longer queues.
    // Two halves, so that a caller can queue under its own lock (the order
    // of the lines) and wait outside it. QueueThrough returns
    // the run's place in the queue, 0 when the run was written directly.
    // Callers on several threads may wait at once. A writer that kept one
    // caller waiting for the whole time is not waited for again until it has
    // written that caller's run.
    uint64_t QueueThrough(const void* data, uint64_t size);
    void AwaitWritten(uint64_t ticket);
    // The stop of teardown: the writer drains the queue for at most kDrainMs,
    // then drops what is left, and one ERROR line in the file counts it.
    // The destructor calls it too; a second call does nothing more.
    void DrainAndStop();

    static bool CreateLogFolder(const wchar_t* directory) { return CLogFolderGuard::CreateLogFolder(directory); }
    // False when the writer could not be made whole (no idle timer, no queue
    // or worker): its owner discards it.
    bool IsReady() const { return m_idleTimer.is_valid() && m_started; }
    static constexpr const wchar_t* kLogFolderSddl = CLogFolderGuard::kLogFolderSddl;

    // Made by the logger under its own lock, not this buffer's.
    void SetMaxFileSize(uint32_t bytes) { m_maxFileSize.store(bytes); }
    void SetRotationFileNumber(uint32_t count) { m_rotationFileNumber.store(count ? count : 1); }
    uint32_t IsAsync() const { return m_async; }

    // The idle close: signalled once kIdleCloseMs after the first write since
    // the file was opened or last looked at; the settings watcher waits on it
    // and then calls CloseIfIdle. Nothing is due while the file is closed.
    HANDLE GetIdleCloseTimer() const { return m_idleTimer.get(); }
    // Closes the file when kIdleCloseMs have passed since the last write, else
    // sets the timer again for the rest. It never waits for the buffer lock: a
    // writer holding it is not idle, and is looked at again kIdleCloseMs later.
    void CloseIfIdle();

    // Test seams (null restores the live one). Call before the first write.
    typedef CLogFolderGuard::PFN_QUERY_REPARSE PFN_QUERY_REPARSE;
    typedef CLogFolderGuard::PFN_QUERY_OWNER PFN_QUERY_OWNER;
    void SetReparseQuery(PFN_QUERY_REPARSE query, void* context);
    void SetHardening(bool privileged, PFN_QUERY_OWNER query, void* context);
    // Appends bytes to the open file: WriteFile's contract (written may fall
    // short of size when the disk fills). Replaceable, since no test can fill
    // a disk on demand.
    typedef BOOL (*PFN_WRITE_FILE)(void* context, HANDLE file, const void* data, DWORD size, DWORD* written);
    static BOOL WriteFileLive(void* context, HANDLE file, const void* data, DWORD size, DWORD* written);
    void SetFileWrite(PFN_WRITE_FILE write, void* context);
    // Opens the current file by name: CreateFileW's contract. Replaceable, since
    // Wine cannot make a delete-pending name (it keeps a deleted file's name).
    typedef HANDLE (*PFN_OPEN_FILE)(void* context, const wchar_t* name, DWORD access, SECURITY_ATTRIBUTES* sa);
    static HANDLE OpenFileLive(void* context, const wchar_t* name, DWORD access, SECURITY_ATTRIBUTES* sa);
    void SetFileOpen(PFN_OPEN_FILE open, void* context);

    // State, for diagnostics and tests.
    // Runs queued and not yet written (or dropped).
    uint64_t GetUnwrittenRuns() const;
    // Bytes of lines queued and not yet taken by the writer (what the cap weighs).
    uint64_t GetQueuedBytes() const { return m_queuedBytes.load(); }
    uint32_t GetRotationFileNumber() const { return m_rotationFileNumber.load(); }
    const SECURITY_ATTRIBUTES* GetSecurityAttributes() const { return &m_securityAttributes; }

    static constexpr uint32_t kRotationUndetermined = 0xFFFFFFFF;
    // The longest ending of a file's name after the base path: a numbered file's (at most 99 of them).
    static constexpr const wchar_t* kLongestFileSuffix = L"(99).txt";
    // An open file that takes no write for this long is closed.
    static constexpr DWORD kIdleCloseMs = 2000;
    // After a rotation failed, the next attempt waits this long: each attempt
    // scans the folder, which a log held open by a viewer must not cost per line.
    static constexpr DWORD kRotationRetryMs = 1000;
    // A current file that cannot be rotated takes appends up to this many times
    // its size limit, then drops them until a rotation succeeds. Rotation waits
    // for the rotation lock while its holder makes progress, so only a holder
    // that keeps it without progress (or a file held open) gets here.
    static constexpr uint32_t kHardLimitFactor = 2;
    static constexpr DWORD kWriteThroughWaitMs = 100;
    // How long a line waits at the queue's cap for the writer to make room.
    static constexpr DWORD kQueueWaitMs = 100;
    // How often, while writing, the file is closed and opened again by its
    // name: only a new open sees a deletion under every semantics (the name
    // gone, denied while delete pending, or another file under it).
    static constexpr DWORD kCurrentCheckMs = 1000;
    // A name denied (delete pending) is opened again every kDeniedRetryMs for
    // up to kDeniedWaitMs, the lines kept meanwhile: every writer closes its
    // handle within kCurrentCheckMs, and the deletion completes with the last.
    static constexpr DWORD kDeniedRetryMs = 50;
    static constexpr DWORD kDeniedWaitMs = 3000;
    // How long the stop of teardown lets the writer drain the queue.
    static constexpr DWORD kDrainMs = 1000;
    // How long a queued line may wait for the writer, which lingers that long
    // once after its last line, then sleeps (see CTransferBuffer::SetLinger).
    static constexpr DWORD kLingerMs = 20;
    // Queued runs joined into one append, up to this many bytes.
    static constexpr uint64_t kBatchBytes = 65536;
    // Bytes of lines waiting for the writer past which a line waits (up to
    // kQueueWaitMs) for the writer's next batch. Still past it, the line is
    // queued while the writer makes progress (wrote within kWriterStallMs),
    // up to kQueueHardCapBytes; else it is dropped and counted, and the next
    // line written is preceded by one ERROR line.
    static constexpr uint64_t kQueueCapBytes = 4 * 1024 * 1024;
    static constexpr uint64_t kQueueHardCapBytes = 4 * kQueueCapBytes;
    static constexpr DWORD kWriterStallMs = 3000;

private:
    // ---- batching and write-through (ZkLoggerBuffer.cpp)
    // Push, counted: the run's place in the queue, 0 when it was refused. wake:
    // the writer starts on it now rather than within its linger.
    uint64_t Queue(const void* data, uint64_t size, bool wake, bool* capped = nullptr);
    // Joins a run to the batch (or writes it alone when no memory is left to join).
    void AddToBatch(const uint8_t* data, uint64_t size);  // lock held
    // Writes the runs joined so far, then counts every run taken as processed.
    void FlushBatch();  // lock held
    // Waits for a run's turn; m_writtenLock held.
    bool WaitWrittenLocked(uint64_t ticket, DWORD start);
    // At the queue's cap: waits for the writer's next batch, within the
    // budget from start; false when the line is to be dropped.
    bool WaitForRoom(DWORD start);
    // After an exception: the runs at hand (the batch's, and the current ones
    // taken but not yet joined to it) are counted as lost, the batch emptied.
    void RecoverRuns(uint32_t current);  // lock held
    // FlushBatch, or RecoverRuns when it throws (no memory).
    void FlushOrRecover();  // lock held
    // Counts bytes off m_queuedBytes (taken, dropped or refused), never below 0.
    void Unqueue(uint64_t bytes);
    // Remembers the latest run a caller gave up on (see AwaitWritten).
    void MarkStalled(int64_t run);
    void WriteCapNotice();    // lock held
    // Lines the queue had no memory for, counted as lost after the batch before them. Lock held.
    void CountMemoryDrops();
    void WriteDrainNotice();  // lock held
    // An ERROR line in the owner's line format.
    std::wstring ErrorLine(const wchar_t* text) const;
    void ArmIdleTimer(DWORD ms);

    // ---- appending and the current file (LogAppend.cpp)
    enum class Appended { kWritten, kDropped, kFailed };
    // The attempts of one append (open, folder created on the second one; a
    // denied name tried again for kDeniedWaitMs). Runs not written are counted;
    // false then, so that a notice of the writer's own (runs 0) keeps its count.
    bool WriteRuns(const void* data, uint64_t size, uint32_t runs);  // lock held
    // WriteRuns without its catch; *left: the runs not yet in the file (0 once counted).
    bool TryWriteRuns(const void* data, uint64_t size, uint32_t* left);  // lock held
    // Counts runs that did not reach the file; the next append reports them.
    void CountLost(uint32_t runs, const wchar_t* why);  // lock held
    static constexpr const wchar_t* kWhyNoMemory = L"the log writer ran out of memory";
    // True once a draining stop has had its time.
    bool IsDrainOver() const;
    // Opens the file when closed, or leaves one taken away. kRefused: the
    // folder guard holds writing (the run is dropped); kRetry: start over.
    enum class Prepared { kReady, kRefused, kRetry };
    Prepared PrepareFile();  // lock held
    // One append under the append lock: the size check first, then the run
    // (kFailed: the write failed, the caller starts over with the run's bytes
    // past *kept). A full file is rotated, or followed to the file another
    // process rotated it for, and the new one looked at again.
    Appended AppendChecked(const void* data, uint64_t size, uint32_t runs, uint64_t* kept);  // lock held, file open
    // Writes the run with what is due before it (a line end after a fragment,
    // the header, lines a cut left of an earlier one, the notice of dropped
    // runs). fileSize: the size taken under the append lock (kUnknownSize: not
    // had); locked: the lock was had. A failed or short write is undone under
    // the lock: the file's end is set back to fileSize. One that cannot be
    // undone leaves its whole lines: *kept counts the run's bytes among them.
    bool AppendRun(const void* data, uint64_t size, uint64_t fileSize, bool locked, uint64_t* kept);  // lock held
    static constexpr uint64_t kUnknownSize = ~0ull;
    // After a failed write that left in bytes of lead and run (text, which
    // starts on a character) in the file: the lead's lines not whole there
    // wait in m_cutLead (but for a notice when none is whole: its count stays);
    // returns the bytes of the run's whole lines.
    // total: the bytes text holds; headerChars: how many of the lead's are the header's.
    uint64_t ResumeAfterCut(const uint8_t* text, uint64_t in, uint64_t total, const std::wstring& lead,
                            size_t headerChars, size_t noticeChars);
    // The line ends in size bytes of runs: the runs among them.
    static uint32_t LinesIn(const void* data, uint64_t size);
    // Sets the file's end back to size through a handle that may write; false when it cannot.
    bool RollBack(uint64_t size);
    bool IsSize(uint64_t size) const;  // the open file's size is size
    // Joins the line end, the lead (header, notice) and the run in m_joined; false without memory.
    bool JoinRun(const std::string& lineEnd, const std::wstring& lead, const void* data, uint64_t size);
    // The header with the clock fields of the run after it (of now, when it has none).
    std::wstring TimedHeader(const void* data, uint64_t size, std::wstring* notice) const;
    // What must precede the next run so that it starts a line of its own,
    // character-aligned: after an odd fileSize (a cut of any writer) a byte and
    // a line end; after a cut of this writer's, a line end unless the file ends
    // one (a "\n" alone after a "\r").
    std::string LineEndAfterFragment(uint64_t fileSize);  // lock held, append lock held
    // The ERROR line that reports dropped runs, in the owner's line format.
    std::wstring DroppedNotice() const;
    // What the lock byte waits see of the holders (logfile::PFN_LOCK_PROGRESS):
    // the file's size, and for the rotation lock whether the name moved on.
    static uint64_t AppendProgress(void* self);
    static uint64_t RotationProgress(void* self);
    bool OpenCurrentFile(bool* created);  // lock held
    void CloseFile();                     // lock held
    // Closes the file and opens what the current name holds now.
    bool ReopenCurrent();  // lock held
    // True while the open handle is still the file that carries the current name.
    bool IsStillCurrent();  // lock held

    // ---- rotation (LogRotation.cpp)
    // Rotates the full current file under the rotation lock, or, when another
    // process got there first, moves on to the file that carries the name now.
    // Leaves the file open: the new one, or the full one while rotation is blocked.
    void RotateOrFollow();  // lock held, file open
    bool Rotate();          // lock held, file open
    // Highest number held by a numbered file after compaction (0: none); at
    // least the rotation file number when no room could be made.
    uint32_t CompactNumberedFiles();  // lock held
    // A numbered file as the folder listed it: what it was then tells it from
    // another file that a process compacting at the same time renamed to its name.
    struct NumberedFile {
        std::wstring name;
        FILETIME written;
        uint64_t size;
    };
    // The numbered files, oldest first.
    bool ListNumberedFiles(std::vector<NumberedFile>* names) const;  // false: not listed whole
    std::wstring NumberedFileName(uint32_t number) const;
    std::wstring LogDirectoryWithSlash() const;

    // Set at construction.
    const LogFileSetup m_setup;
    const std::wstring m_basePath;
    const std::wstring m_fileName;
    const std::wstring m_header;
    const uint32_t m_async;
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> m_securityDescriptor;  // what m_securityAttributes points to
    SECURITY_ATTRIBUTES m_securityAttributes;
    CHandleHolder m_idleTimer;  // auto-reset waitable timer
    bool m_started = false;  // the queue and its writer thread were had (Start)
    std::atomic<bool> m_idleArmed{false};
    std::atomic<uint32_t> m_maxFileSize;
    std::atomic<uint32_t> m_rotationFileNumber;

    // The file and its state, under m_lock (the writer's).
    lumlib::unique_critical_section m_lock;
    CLogFolderGuard m_guard;
    CHandleHolder m_file;  // empty when closed
    // The open file's size as last read, plus this writer's appends since: taken
    // when a read fails, so that the file is still rotated and held to its limits.
    uint64_t m_sizeSeen = 0;
    bool m_headerPending = true;
    bool m_madeUnwritten = false;  // the current name was made by this writer's open, then refused
    uint32_t m_rotationIndex = kRotationUndetermined;
    DWORD m_lastWriteTick;
    bool m_rotationFailed = false;  // rotation keeps failing since m_rotationFailTick
    DWORD m_rotationFailTick = 0;
    uint32_t m_droppedRuns = 0;               // runs lost since the last notice
    const wchar_t* m_droppedWhy = L"";        // why the first of them was lost
    bool m_openDenied = false;                // the last open of the name was denied
    lumlib::CByteBlock m_joined;  // header, notice and run joined for one append
    lumlib::CByteBlock m_batch;   // queued runs joined, written when the queue is empty
    uint64_t m_batchBytes = 0;
    uint32_t m_batchRuns = 0;
    int64_t m_pendingRuns = 0;  // taken by Process, not yet counted as processed
    // Byte-range locks that timed out: tried only until logfile::kLockSkipMs after this tick (0: wait).
    uint32_t m_appendLockSkipTick = 0;
    uint32_t m_rotationLockSkipTick = 0;
    DWORD m_currentCheckTick = 0;     // when the file was last opened by its name
    DWORD m_nameCheckTick = 0;        // when a rotation lock wait last looked at the name
    static constexpr DWORD kNameCheckMs = 20;
    bool m_fragmentPossible = false;  // a write failed or fell short: the file may end inside a line
    std::wstring m_cutLead;           // lines of a header or notice a failed write left due: before the next run
    size_t m_cutHeaderChars = 0;      // the first of them that are the header's (a new file gets it whole)
    PFN_WRITE_FILE m_writeFile = &CZkLoggerBuffer::WriteFileLive;
    void* m_writeFileContext = nullptr;
    PFN_OPEN_FILE m_openFile = &CZkLoggerBuffer::OpenFileLive;
    void* m_openFileContext = nullptr;
    uint32_t m_drainDropped = 0;  // runs the stop dropped

    // Teardown: when the draining stop began (0: not begun).
    std::atomic<DWORD> m_drainStartTick{0};
    // Lines refused at the queue's cap since the last notice; the writer reports them.
    std::atomic<uint32_t> m_capDropped{0};
    std::atomic<uint32_t> m_memoryDropped{0};  // lines the queue had no memory for, counted in by the writer

    // Write-through: runs pushed and runs processed, in queue order. Pushes
    // and their count are serialised by m_pushLock, so a count is a place in the queue.
    lumlib::unique_critical_section m_pushLock;
    std::atomic<int64_t> m_pushed{0};
    std::atomic<int64_t> m_processed{0};
    // The oldest run a caller waits for, so that the writer writes its batch
    // as soon as that run is in it (0: none); callers waiting, and the run of
    // the last caller that waited for the whole time.
    std::atomic<int64_t> m_awaited{0};
    std::atomic<int32_t> m_waiters{0};
    std::atomic<int64_t> m_stalledTicket{0};
    // Bytes pushed and not yet taken by Process; when the writer last wrote a batch.
    std::atomic<uint64_t> m_queuedBytes{0};
    std::atomic<DWORD> m_progressTick;
    // The writer's count when a line last waited at the cap for the whole
    // budget: no line waits again before the writer has moved past it.
    std::atomic<int64_t> m_capStalled{-1};
    // Callers sleep on m_written under m_writtenLock; the writer wakes them.
    lumlib::unique_critical_section m_writtenLock;
    CONDITION_VARIABLE m_written = CONDITION_VARIABLE_INIT;
};
