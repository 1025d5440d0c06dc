// Rotation: the full current file takes the next number ("zksndapi(01).txt",
// ...), the numbered files are compacted to 1..n and the oldest removed past
// the rotation file number. Every process rotates the shared files, so each
// rename and delete goes through a handle of the very file that was checked.
#include <algorithm>
#include <vector>

#include "log/LogFileOps.h"
#include "log/ZkLoggerBuffer.h"

namespace {

// Renames and deletes go through a handle of the very file that was checked.
const DWORD kRenameAccess = DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// NTFS lists names in upper-case ordinal order; sort the same way on any file system.
bool NameLess(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                  static_cast<int>(b.size()), TRUE) == CSTR_LESS_THAN;
}

// Opens a name itself, never what a link or junction at that name points to.
HANDLE OpenForRename(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), kRenameAccess, logfile::kShareAll, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Renames the file behind an open handle; never replaces an existing file.
bool RenameByHandle(HANDLE file, const std::wstring& to) {
    const size_t nameBytes = to.size() * sizeof(wchar_t);
    lumlib::CByteBlock block(sizeof(FILE_RENAME_INFO) + nameBytes);  // the name runs past the struct
    if (block.empty()) return false;
    memset(block.get(), 0, block.capacity());
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(block.get());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    memcpy(info->FileName, to.c_str(), nameBytes);
    return ::SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(block.capacity())) != FALSE;
}

bool RenameOpenFile(const std::wstring& from, const std::wstring& to) {
    CHandleHolder file(OpenForRename(from));
    return file.is_valid() && RenameByHandle(file.get(), to);
}

enum class Deletion { kDeleted, kKept, kReplaced };

// Deletes the file listed with that time and size, never another one that now carries its name.
Deletion DeleteListedFile(const std::wstring& path, const FILETIME& written, uint64_t listedSize) {
    CHandleHolder file(OpenForRename(path));
    if (!file.is_valid()) return ::GetLastError() == ERROR_FILE_NOT_FOUND ? Deletion::kDeleted : Deletion::kKept;  // gone already
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(file.get(), &info)) return Deletion::kKept;
    const uint64_t size = (uint64_t(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    const bool sameTime = info.ftLastWriteTime.dwLowDateTime == written.dwLowDateTime &&
                          info.ftLastWriteTime.dwHighDateTime == written.dwHighDateTime;
    if (!sameTime || size != listedSize) return Deletion::kReplaced;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition))
               ? Deletion::kDeleted
               : Deletion::kKept;
}

// The number of a canonical numbered name ("zksndapi(07).txt"), else 0.
uint32_t NumberOf(const std::wstring& name, const std::wstring& stem) {
    if (name.size() < stem.size() + 7) return 0;  // "(" + at least two digits + ").txt"
    const size_t open = stem.size();
    if (name[open] != L'(') return 0;
    uint32_t number = 0;
    size_t i = open + 1;
    while (i < name.size() && name[i] >= L'0' && name[i] <= L'9' && number < 100000) {
        number = number * 10 + (name[i] - L'0');
        ++i;
    }
    return name.compare(i, std::wstring::npos, L").txt") == 0 ? number : 0;
}

}  // namespace

void CZkLoggerBuffer::RotateOrFollow() {
    enum { kRotated, kMovedOn, kBlocked } outcome = kMovedOn;
    // A file already rotated away needs no lock to be seen: the others fill
    // the new file meanwhile, and a late follower finds it full in turn.
    if (IsStillCurrent()) {
        // Each process rotates only under this lock: one rotates, and the
        // others find the file gone from the name and follow.
        logfile::CByteLock rotating(m_file.get(), logfile::LockByte::kRotation, &m_rotationLockSkipTick,
                                    &CZkLoggerBuffer::RotationProgress, this);
        if (!IsStillCurrent())
            outcome = kMovedOn;
        else if (Rotate())
            outcome = kRotated;
        else  // a rename lost to a process that did not wait for the lock is no failure
            outcome = IsStillCurrent() ? kBlocked : kMovedOn;
    }
    if (outcome == kBlocked) {
        m_rotationFailed = true;  // the full file stays open and takes appends up to the hard limit
        m_rotationFailTick = ::GetTickCount();
        return;
    }
    m_rotationFailed = false;
    if (outcome == kMovedOn) m_rotationIndex = kRotationUndetermined;  // the other process moved the numbers on
    ReopenCurrent();
}

bool CZkLoggerBuffer::Rotate() {
    const uint32_t files = GetRotationFileNumber();
    logfile::FileId own;
    if (!logfile::GetFileId(m_file.get(), &own)) return false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // A failed rename (another process took the number) scans the folder again.
        if (attempt == 1 || m_rotationIndex >= files) m_rotationIndex = CompactNumberedFiles();
        if (m_rotationIndex >= files) break;  // no room: the old numbered files could not be removed
        if (m_guard.IsDirectoryJunction()) break;
        const uint32_t target = m_rotationIndex + 1;
        // The very file this handle holds, never one another process has just put under the name.
        CHandleHolder full(OpenForRename(m_fileName));
        logfile::FileId named;
        if (!full.is_valid() || !logfile::GetFileId(full.get(), &named) || !(named == own)) break;
        if (RenameByHandle(full.get(), NumberedFileName(target))) {
            m_rotationIndex = target;
            return true;
        }
    }
    m_rotationIndex = kRotationUndetermined;  // the next attempt compacts again
    return false;
}

bool CZkLoggerBuffer::ListNumberedFiles(std::vector<NumberedFile>* names) const {
    const std::wstring pattern = m_basePath + L"(*).txt";
    WIN32_FIND_DATAW fd;
    lumlib::unique_find_handle find(::FindFirstFileW(pattern.c_str(), &fd));
    // Nothing found (some redirectors say "no more files" for a first search that finds nothing).
    if (!find.is_valid()) {
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES;
    }
    do {
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names->push_back({fd.cFileName, fd.ftLastWriteTime, (uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow});
    } while (::FindNextFileW(find.get(), &fd));
    if (::GetLastError() != ERROR_NO_MORE_FILES) return false;
    // The lowest numbers are the oldest, whatever order the file system lists them in.
    std::sort(names->begin(), names->end(), [](const NumberedFile& a, const NumberedFile& b) { return NameLess(a.name, b.name); });
    return true;
}

uint32_t CZkLoggerBuffer::CompactNumberedFiles() {
    if (m_guard.IsDirectoryJunction()) return GetRotationFileNumber();  // no room: nothing is touched
    // A folder that could not be listed whole is no room either: taken for
    // empty, the full file would be numbered 1, below older files, and deleted first.
    std::vector<NumberedFile> names;
    if (!ListNumberedFiles(&names)) return GetRotationFileNumber();
    if (names.empty()) return 0;
    const std::wstring dir = LogDirectoryWithSlash();
    const size_t stemStart = m_basePath.find_last_of(L'\\') + 1;  // npos + 1 == 0
    const std::wstring stem = m_basePath.substr(stemStart);
    const uint32_t keep = GetRotationFileNumber();
    // The oldest go until fewer than keep remain; one that cannot be deleted
    // (held open) stays, and the next oldest goes in its place. Another file
    // under a listed name means another process is compacting (it went around
    // a rotation lock that made no progress): this one stops, making no room,
    // so that no file goes that the numbering would keep.
    std::vector<std::wstring> kept;
    size_t remaining = names.size();
    for (const NumberedFile& listed : names) {
        const Deletion deletion = remaining >= keep ? DeleteListedFile(dir + listed.name, listed.written, listed.size) : Deletion::kKept;
        if (deletion == Deletion::kReplaced) return keep;
        if (deletion == Deletion::kDeleted) {
            --remaining;
            continue;
        }
        kept.push_back(listed.name);
    }
    // The rest move down to 1, 2, 3, ...; a file that cannot move keeps its
    // number, and the numbering goes on after it.
    uint32_t highest = 0;
    for (const std::wstring& name : kept) {
        const std::wstring from = dir + name;
        const std::wstring to = NumberedFileName(highest + 1);
        if (logfile::SamePath(from, to) || RenameOpenFile(from, to)) {
            ++highest;
            continue;
        }
        const uint32_t own = NumberOf(name, stem);
        if (own > highest && logfile::SamePath(from, NumberedFileName(own))) highest = own;
    }
    return highest;
}

std::wstring CZkLoggerBuffer::NumberedFileName(uint32_t number) const {
    wchar_t suffix[16];
    swprintf(suffix, sizeof(suffix) / sizeof(suffix[0]), L"(%02u).txt", number);
    return m_basePath + suffix;
}

std::wstring CZkLoggerBuffer::LogDirectoryWithSlash() const {
    std::wstring dir = m_setup.directory;
    if (dir.empty()) {
        const size_t slash = m_basePath.find_last_of(L'\\');
        if (slash != std::wstring::npos) dir = m_basePath.substr(0, slash + 1);
    }
    if (!dir.empty() && dir.back() != L'\\') dir += L'\\';
    return dir;
}
