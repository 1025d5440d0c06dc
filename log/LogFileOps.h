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
// Once a lock wait has timed out, the lock is only tried, not waited for, this long.
const DWORD kLockSkipMs = 5000;

// Holds one lock byte of a file (far past any real size) while in scope, when
// it can be had in time: waitMs at most, and none at all (one try) while a
// wait that timed out is less than kLockSkipMs old (*skipTick). Anyone who can
// read the log can hold the byte; the caller then goes on without it.
class CByteLock {
public:
    CByteLock(HANDLE file, LockByte byte, DWORD waitMs, uint32_t* skipTick);
    ~CByteLock();
    CByteLock(const CByteLock&) = delete;
    CByteLock& operator=(const CByteLock&) = delete;

private:
    OVERLAPPED At() const;
    HANDLE m_file;
    DWORD m_offsetLow;
    bool m_locked = false;
};

}  // namespace logfile
