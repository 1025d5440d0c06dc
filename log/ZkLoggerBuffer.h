// The file end of the logger: appends UTF-16LE log text to the current log
// file, one whole run per append, rotates it by size into numbered files and
// refuses to write while the log folder is a mount-point junction. Every
// process of every session shares these files, so each append, rename and
// delete is made safe against the others.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "pipes/TransferBuffer.h"
#include "support/ByteBlock.h"
#include "support/Holders.h"
#include "support/lumlib.h"

class CZkLogger;

class CZkLoggerBuffer : public CTransferBuffer {
public:
    CZkLoggerBuffer(CZkLogger* logger, const wchar_t* basePath, const wchar_t* sddl,
                    uint32_t maxFileSize, uint32_t asyncFlag, const wchar_t* header,
                    uint32_t rotationFileNumber);
    ~CZkLoggerBuffer() override;

    // The file write: the run goes out in one append, joined with the runs
    // before it while more are queued (queueEmpty 0). Returns 1 in every case.
    // Once a draining stop has passed kDrainMs, runs are counted, not written.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;
    // Queues a copy of the run (CTransferBuffer::Push) and counts it, so that
    // a written-through run can wait for its turn.
    uint32_t Push(const void* data, uint64_t size) override;
    // A run that must reach the file before the caller goes on (it survives an
    // exit without clean-up): queued behind what is already queued, then
    // waited for, at most kWriteThroughWaitMs. Written directly when the
    // buffer is synchronous or no longer queues. The same as QueueThrough
    // then AwaitWritten.
    void WriteThrough(const void* data, uint64_t size);
    // The two halves of WriteThrough, so that a caller can queue under its own
    // lock (the order of the lines) and wait outside it. QueueThrough returns
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

    // Creates every missing folder of the path, each with the log folder's
    // descriptor (kLogFolderSddl). True when the folder exists afterwards.
    static bool CreateLogFolder(const wchar_t* directory);
    // SYSTEM and Administrators: full control, inherited; everyone else
    // (and the folder's owner): list, read and create files in the folder,
    // and read, write, append and delete the files in it. Protected: nothing
    // is inherited from above, so whoever made the parent decides nothing here.
    static const wchar_t kLogFolderSddl[];

    // Made by the logger under its own lock, not this buffer's.
    void SetMaxFileSize(uint32_t bytes);
    void SetRotationFileNumber(uint32_t count);
    uint32_t IsAsync() const { return m_async; }

    // The settings watcher's idle pass (without the logger lock): closes the
    // file when it is open and idleMs have passed since the last write. It
    // never waits for the buffer lock: a writer holding it is not idle.
    void CloseIfIdle(DWORD idleMs);

    CRITICAL_SECTION* GetLock() { return m_lock.get(); }

    // Reads the attributes of a directory and, when they carry
    // FILE_ATTRIBUTE_REPARSE_POINT, its reparse tag. Returns the attributes
    // (INVALID_FILE_ATTRIBUTES when they cannot be read).
    typedef DWORD (*PFN_QUERY_REPARSE)(void* context, const wchar_t* directory, DWORD* reparseTag);
    // The live query: GetFileAttributesW, then FindFirstFileW for the tag.
    static DWORD QueryReparseLive(void* context, const wchar_t* directory, DWORD* reparseTag);
    // Replaces the query used by the junction check (null restores the live
    // one). Call before the first write.
    void SetReparseQuery(PFN_QUERY_REPARSE query, void* context);

    // Appends bytes to the open file: WriteFile's contract (written may fall
    // short of size when the disk fills). Replaceable, since no test can fill
    // a disk on demand.
    typedef BOOL (*PFN_WRITE_FILE)(void* context, HANDLE file, const void* data, DWORD size, DWORD* written);
    static BOOL WriteFileLive(void* context, HANDLE file, const void* data, DWORD size, DWORD* written);
    // Replaces the file write (null restores the live one). Call before the first write.
    void SetFileWrite(PFN_WRITE_FILE write, void* context);

    // Hardening for privileged callers (elevated, SYSTEM or a service), whose
    // rights a hostile user could otherwise borrow through the shared folder:
    // the log folder and its parent must be no reparse point of any kind and be
    // owned by SYSTEM, Administrators or this process's own user, and the open
    // file must be the expected path itself (GetFinalPathNameByHandleW).
    // Every caller gets the checks that cost nothing: files opened without
    // following links, one link only, no reparse point, renames and deletes
    // through the checked handle.
    // True when the folder's owner is trusted.
    typedef bool (*PFN_QUERY_OWNER)(void* context, const wchar_t* folder);
    static bool QueryOwnerTrustedLive(void* context, const wchar_t* folder);
    // True when the process is elevated, runs as SYSTEM or as a service.
    static bool IsPrivilegedProcess();
    // Replaces whether the hardening applies and the owner query (null: the
    // live one). Wine runs every process elevated and keeps no owners, so tests
    // choose both. Call before the first write.
    void SetHardening(bool privileged, PFN_QUERY_OWNER query, void* context);

    // State, for diagnostics and tests.
    // Runs queued and not yet written (or dropped).
    uint64_t GetUnwrittenRuns() const;
    bool IsFileOpen();
    uint32_t GetRotationIndex();
    const wchar_t* GetFileName() const { return m_fileName.c_str(); }
    const wchar_t* GetDirectory() const { return m_directory.c_str(); }
    uint32_t GetRotationFileNumber() const;
    const SECURITY_ATTRIBUTES* GetSecurityAttributes() const { return &m_securityAttributes; }

    static const uint32_t kRotationUndetermined = 0xFFFFFFFF;
    static const DWORD kJunctionHoldMs = 5000;
    // After a rotation failed, the next attempt waits this long: each attempt
    // scans the folder, which a log held open by a viewer must not cost per line.
    static const DWORD kRotationRetryMs = 1000;
    // A current file that cannot be rotated takes appends up to this many times
    // its size limit, then drops them until a rotation succeeds.
    static const uint32_t kHardLimitFactor = 2;
    static const DWORD kWriteThroughWaitMs = 100;
    // The byte-range locks every process takes on the current file: one byte
    // each, far past any real size (2^62 and the byte after it). Any reader of
    // the log can hold them, so each wait is bounded, and once a wait has timed
    // out the lock is only tried, never waited for, for kLockSkipMs.
    static const DWORD kAppendLockWaitMs = 200;
    static const DWORD kRotationLockWaitMs = 500;
    static const DWORD kLockSkipMs = 5000;
    // How often the open file is compared with the file the current name
    // holds: a file deleted or renamed away under the handle is left for a new one.
    static const DWORD kCurrentCheckMs = 1000;
    // How long the stop of teardown lets the writer drain the queue.
    static const DWORD kDrainMs = 1000;
    // How long a queued line may wait for the writer, and how long the writer
    // keeps looking at that pace after the last line before it sleeps.
    static const DWORD kLingerMs = 20;
    static const DWORD kLingerIdleMs = 1000;
    // Queued runs joined into one append, up to this many bytes.
    static const uint64_t kBatchBytes = 65536;
    // Most bytes of lines waiting for the writer; past it lines are dropped
    // and counted, and the next line written is preceded by one ERROR line.
    static const uint64_t kQueueCapBytes = 4 * 1024 * 1024;

protected:
    // Push, counted: the run's place in the queue, 0 when it was refused. wake:
    // the writer starts on it now rather than within its linger.
    uint64_t Queue(const void* data, uint64_t size, bool wake, bool* capped = nullptr);
    enum class Appended { kWritten, kDropped, kFailed };
    // One append under the append lock: the size check first, then the run
    // (kFailed: the write failed, the caller starts over). A full file is
    // rotated, or followed to the file another process rotated it for, and
    // the new one looked at again.
    Appended AppendChecked(const void* data, uint64_t size, uint32_t runs);  // lock held, file open
    // Writes the run with what is due before it (a line end after a fragment,
    // the header, the notice of dropped runs), the append lock held.
    bool AppendRun(const void* data, uint64_t size);  // lock held
    // Rotates the full current file under the rotation lock, or, when another
    // process got there first, moves on to the file that carries the name now.
    // Leaves the file open: the new one, or the full one while rotation is blocked.
    void RotateOrFollow();               // lock held, file open
    // Closes the file and opens what the current name holds now.
    bool ReopenCurrent();                // lock held
    // Writes the runs joined so far, then counts every run taken as processed.
    void FlushBatch();                   // lock held
    // The attempts of one append (open, folder created on the second one).
    void WriteRuns(const void* data, uint64_t size, uint32_t runs);  // lock held
    bool Rotate();                       // lock held, file open
    // Highest number held by a numbered file after compaction (0: none); at
    // least the rotation file number when no room could be made.
    uint32_t CompactNumberedFiles();     // lock held
    bool IsDirectoryJunction();          // lock held
    // The checks above for the folder, before a file in it is opened, and for
    // the file just opened. A refusal holds writing like a junction does.
    bool IsFolderRefused();              // lock held
    bool IsOpenFileAcceptable();         // lock held
    bool OpenCurrentFile(bool* created);  // lock held
    void CloseFile();                    // lock held
    // True while the open handle is still the file that carries the current name.
    bool IsStillCurrent();               // lock held
    // What must precede the next run so that it starts a line of its own after
    // a failed or short write: a byte that restores the character alignment
    // and a line end, as the file's end requires (empty when it ends a line).
    std::string LineEndAfterFragment();  // lock held, append lock held
    bool RenameOpenFile(const std::wstring& from, const std::wstring& to);
    bool DeleteNumberedFile(const std::wstring& path);
    std::wstring NumberedFileName(uint32_t number) const;
    std::wstring LogDirectoryWithSlash() const;
    // An ERROR line in the logger's line format.
    std::wstring ErrorLine(const wchar_t* text) const;
    // The ERROR line that reports dropped runs, in the logger's line format.
    std::wstring DroppedNotice() const;
    // Waits for a run's turn; lock: m_writtenLock held.
    bool WaitWrittenLocked(uint64_t ticket, DWORD start);

    uint32_t m_headerPending;
    CZkLogger* m_logger;  // not owned
    std::wstring m_basePath;
    std::wstring m_fileName;
    volatile LONG m_maxFileSize;  // atomic
    uint32_t m_rotationIndex;
    CHandleHolder m_file;  // empty when closed
    lumlib::unique_local_ptr<PSECURITY_DESCRIPTOR> m_securityDescriptor;  // what m_securityAttributes points to
    SECURITY_ATTRIBUTES m_securityAttributes;
    uint32_t m_async;
    uint32_t m_lastWriteTick;
    volatile LONG m_rotationFileNumber;
    std::wstring m_header;
    std::wstring m_directory;  // without trailing backslashes; for the junction check
    lumlib::unique_critical_section m_lock;
    uint32_t m_junctionHoldTick;  // 0: no junction seen
    PFN_QUERY_REPARSE m_queryReparse;
    void* m_queryReparseContext;

    bool m_privileged;
    PFN_QUERY_OWNER m_queryOwner;
    void* m_queryOwnerContext = nullptr;

    // Rotation that keeps failing.
    bool m_rotationFailed = false;
    uint32_t m_rotationFailTick = 0;
    uint32_t m_droppedRuns = 0;  // since the hard limit was reached
    bool m_noticeDue = false;    // a new current file: the next append reports the dropped runs
    lumlib::CByteBlock m_joined;  // header, notice and run joined for one append
    lumlib::CByteBlock m_batch;   // queued runs joined, written when the queue is empty
    uint64_t m_batchBytes = 0;
    uint32_t m_batchRuns = 0;
    LONG64 m_pendingRuns = 0;     // taken by Process, not yet counted as processed

    // Byte-range locks that timed out: tried only until kLockSkipMs after this tick (0: wait).
    uint32_t m_appendLockSkipTick = 0;
    uint32_t m_rotationLockSkipTick = 0;
    uint32_t m_currentCheckTick = 0;   // when the handle was last compared with the current name
    bool m_fragmentPossible = false;   // a write failed or fell short: the file may end inside a line
    PFN_WRITE_FILE m_writeFile = &CZkLoggerBuffer::WriteFileLive;
    void* m_writeFileContext = nullptr;

    // Teardown: when the draining stop began (0: not begun), and the runs it dropped.
    volatile LONG m_drainStartTick = 0;
    uint32_t m_drainDropped = 0;
    // Lines refused at the queue's cap since the last notice; the writer reports them.
    volatile LONG m_capDropped = 0;
    void WriteCapNotice();  // lock held

    // Write-through: runs pushed and runs processed, in queue order. Pushes
    // and their count are serialised by m_pushLock, so a count is a place in the queue.
    lumlib::unique_critical_section m_pushLock;
    volatile LONG64 m_pushed = 0;
    volatile LONG64 m_processed = 0;
    // The oldest run a caller waits for, so that the writer writes its batch
    // as soon as that run is in it (0: none); callers waiting, and the run of
    // the last caller that waited for the whole time.
    volatile LONG64 m_awaited = 0;
    volatile LONG m_waiters = 0;
    volatile LONG64 m_stalledTicket = 0;
    // Callers sleep on m_written under m_writtenLock; the writer wakes them.
    lumlib::unique_critical_section m_writtenLock;
    CONDITION_VARIABLE m_written = CONDITION_VARIABLE_INIT;
};
