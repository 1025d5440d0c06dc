// File steps the log writer's parts share: how every process opens the log
// files, file identity, paths compared as the file system does, and the
// byte-range lock that serialises appends and rotations across processes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace logfile {

// Every writer of every process shares the files: the others may read, write,
// rename and delete while a handle is open.
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool SamePath(const std::wstring& a, const std::wstring& b);
bool SamePath(const wchar_t* a, const wchar_t* b);  // terminated
// The folder part of a path, trailing backslashes removed; a drive root keeps
// its backslash ("C:" alone would name the drive's current directory).
std::wstring TrimDirectory(std::wstring dir);

struct FileId {
    DWORD volume = 0, high = 0, low = 0;
    bool operator==(const FileId& o) const { return volume == o.volume && high == o.high && low == o.low; }
};
bool GetFileId(HANDLE file, FileId* id);

// The tick of a hold (a refusal, a lock wait that timed out); never 0, which means "none".
DWORD HoldTick();

// The two lock bytes (see CByteLock).
enum class LockByte : DWORD { kAppend = 0, kRotation = 1 };
// A holder that makes no progress this long is taken for one that never lets
// go (any reader of the log can hold a byte): the wait ends, and the lock is
// then only tried, not waited for, for kLockSkipMs.
const DWORD kLockStallMs = 2000;
const DWORD kLockSkipMs = 5000;
// Tries after a kGiveUp before the waiter goes without the byte (8 yields, then 1 ms pauses).
const DWORD kGiveUpTries = 16;

// What a waiter for a lock byte sees of the holder: a value that changes while
// the holder makes progress (the file grows, another file takes the name).
// kGiveUp ends the wait after a few more tries (the waiter's own time is up),
// without a skip.
typedef uint64_t (*PFN_LOCK_PROGRESS)(void* context);
const uint64_t kGiveUp = ~0ull;

// Holds one lock byte of a file (far past any real size) while in scope, when
// it can be had: waited for as long as its holder makes progress, and given up
// after kLockStallMs without any (one try only while such a give-up is less
// than kLockSkipMs old, *skipTick). Contention between writers that all make
// progress is waited out; the caller goes on without the byte otherwise.
class CByteLock {
public:
    CByteLock(HANDLE file, LockByte byte, uint32_t* skipTick, PFN_LOCK_PROGRESS progress, void* context);
    ~CByteLock();
    CByteLock(const CByteLock&) = delete;
    CByteLock& operator=(const CByteLock&) = delete;
    bool held() const { return m_locked; }
    // Not held because the waiter's time was up (kGiveUp), not for a holder without progress.
    bool gaveUp() const { return m_gaveUp; }

private:
    bool TryLock();
    OVERLAPPED At() const;
    HANDLE m_file;
    DWORD m_offsetLow;
    bool m_locked = false;
    bool m_gaveUp = false;
};

}  // namespace logfile
