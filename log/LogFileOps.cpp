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

bool SamePath(const std::wstring& a, const std::wstring& b) { return SamePath(a.c_str(), b.c_str()); }

bool SamePath(const wchar_t* a, const wchar_t* b) {
    return ::CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
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

CByteLock::CByteLock(HANDLE file, LockByte byte, uint32_t* skipTick, PFN_LOCK_PROGRESS progress, void* context)
    : m_file(file), m_offsetLow(static_cast<DWORD>(byte)) {
    const DWORD start = ::GetTickCount();
    const bool skipping = *skipTick != 0 && start - *skipTick < kLockSkipMs;
    if (!skipping) *skipTick = 0;
    if (TryLock() || skipping || ::GetLastError() != ERROR_LOCK_VIOLATION) return;
    uint64_t seen = progress(context);
    DWORD progressTick = start;
    DWORD giveUps = 0;
    for (DWORD tries = 0;; ++tries) {
        ::Sleep(tries < 8 ? 0 : 1);  // another process is appending: a few microseconds, usually
        if (TryLock() || ::GetLastError() != ERROR_LOCK_VIOLATION) return;
        const uint64_t now = progress(context);
        if (now == kGiveUp) {
            // A holder's append takes microseconds: a few more tries before going without the byte.
            if (++giveUps < kGiveUpTries) continue;
            m_gaveUp = true;
            return;
        }
        if (now != seen) {
            seen = now;
            progressTick = ::GetTickCount();
        } else if (::GetTickCount() - progressTick >= kLockStallMs) {
            *skipTick = HoldTick();  // held without progress: a holder that never lets go
            return;
        }
    }
}

bool CByteLock::TryLock() {
    OVERLAPPED at = At();
    m_locked = ::LockFileEx(m_file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != FALSE;
    return m_locked;
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
