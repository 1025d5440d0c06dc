#include "log/LogFileOps.h"

namespace logfile {

namespace {

// The appends of every process are serialised by a lock on one byte far past
// any real file size: Windows makes each append whole by itself, but Wine (and
// some network file systems) put a write at the size they last saw. The byte
// after it serialises the rotations. The system drops the locks with the
// handle, also when a process dies.
const DWORD kLockOffsetHigh = 0x40000000;  // byte 2^62

}  // namespace

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring TrimDirectory(std::wstring dir) {
    while (!dir.empty() && dir.back() == L'\\') {
        if (dir.size() == 3 && dir[1] == L':') break;
        dir.pop_back();
    }
    return dir;
}

bool GetFileId(HANDLE file, FileId* id) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file, &info)) return false;
    id->volume = info.dwVolumeSerialNumber;
    id->high = info.nFileIndexHigh;
    id->low = info.nFileIndexLow;
    return true;
}

DWORD HoldTick() {
    const DWORD now = ::GetTickCount();
    return now ? now : 1;
}

CByteLock::CByteLock(HANDLE file, LockByte byte, DWORD waitMs, uint32_t* skipTick)
    : m_file(file), m_offsetLow(static_cast<DWORD>(byte)) {
    const DWORD start = ::GetTickCount();
    if (*skipTick != 0 && start - *skipTick < kLockSkipMs) waitMs = 0;
    else *skipTick = 0;
    for (DWORD tries = 0;; ++tries) {
        OVERLAPPED at = At();
        if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
            m_locked = true;
            return;
        }
        if (::GetLastError() != ERROR_LOCK_VIOLATION) return;  // cannot be locked at all
        if (::GetTickCount() - start >= waitMs) {
            if (waitMs) *skipTick = HoldTick();
            return;
        }
        ::Sleep(tries < 8 ? 0 : 1);  // another process is appending: a few microseconds, usually
    }
}

CByteLock::~CByteLock() {
    OVERLAPPED at = At();
    if (m_locked) ::UnlockFileEx(m_file, 0, 1, 0, &at);
}

OVERLAPPED CByteLock::At() const {
    OVERLAPPED at = {};
    at.Offset = m_offsetLow;
    at.OffsetHigh = kLockOffsetHigh;
    return at;
}

}  // namespace logfile
