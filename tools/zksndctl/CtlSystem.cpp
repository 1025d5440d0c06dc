#include "tools/zksndctl/CtlSystem.h"

#include <shlobj.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "support/lumlib.h"
#include "zk_version.h"
#include "tools/common/ConsoleOut.h"

namespace zksndctl {

const wchar_t kServicePipePath[] = L"\\\\.\\pipe\\3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";
const wchar_t kSettingsKeyPath[] = L"Software\\Zelkor\\Tessaline Server";

namespace {

const wchar_t kLogBase[] = L"zksndapi";

// What a reader holds of a log is bounded, whoever wrote it: the library's lines are at most 8 K
// characters, so an unfinished one longer than kMaxLineChars is shown in pieces; a tail reads back at
// most kMaxTailBytes, and one read of a follow or a status takes at most kMaxReadBytes.
const size_t kMaxLineChars = 64 * 1024;
const uint64_t kMaxTailBytes = 16ull << 20;
const uint64_t kMaxReadBytes = 4ull << 20;
// How long a follow reads on in a file a rotation renamed away, and in how many at once.
const ULONGLONG kRotatedReadMs = 3000;
const size_t kMaxRenamed = 4;

// Deleted while held (a name that stays until the last handle closes).
bool DeletePending(HANDLE file) {
    FILE_STANDARD_INFO standard = {};
    return ::GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof(standard)) && standard.DeletePending;
}

bool SameFile(HANDLE a, HANDLE b) {
    BY_HANDLE_FILE_INFORMATION x = {}, y = {};
    return ::GetFileInformationByHandle(a, &x) && ::GetFileInformationByHandle(b, &y) &&
           x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
           x.nFileIndexLow == y.nFileIndexLow;
}

// The numbered files a rotation renames the log to ("zksndapi(07).txt" for "zksndapi.txt"), newest
// (highest number) first.
std::vector<std::wstring> NumberedFiles(const std::wstring& path) {
    const size_t dot = path.find_last_of(L'.');
    const size_t slash = path.find_last_of(L'\\');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return {};
    const std::wstring stem = path.substr(0, dot), extension = path.substr(dot);
    std::vector<std::pair<unsigned long, std::wstring>> found;
    WIN32_FIND_DATAW data;
    lumlib::unique_find_handle search(::FindFirstFileW((stem + L"(*)" + extension).c_str(), &data));
    if (search.is_valid()) {
        const std::wstring folder = slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
        const std::wstring name = stem.substr(folder.size());
        do {
            // The long name itself (a pattern may match a short name too): the stem, "(", digits, ")",
            // the extension, and nothing else.
            if (_wcsnicmp(data.cFileName, name.c_str(), name.size()) != 0 || data.cFileName[name.size()] != L'(') continue;
            const wchar_t* number = data.cFileName + name.size() + 1;
            wchar_t* end = nullptr;
            const unsigned long n = std::iswdigit(*number) ? std::wcstoul(number, &end, 10) : 0;
            if (end != nullptr && *end == L')' && _wcsicmp(end + 1, extension.c_str()) == 0)
                found.push_back({n, folder + data.cFileName});
        } while (::FindNextFileW(search.get(), &data));
    }
    std::sort(found.rbegin(), found.rend());
    std::vector<std::wstring> names;
    for (auto& f : found) names.push_back(std::move(f.second));
    return names;
}

// Splits text at "\n" (dropping a "\r" before it) into whole lines; the rest stays in *partial.
void SplitLines(const std::wstring& text, std::wstring* partial, std::vector<std::wstring>* lines) {
    *partial += text;
    size_t start = 0;
    for (size_t end; (end = partial->find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        size_t stop = end;
        if (stop > start && (*partial)[stop - 1] == L'\r') --stop;
        lines->push_back(partial->substr(start, stop - start));
    }
    for (; partial->size() - start > kMaxLineChars; start += kMaxLineChars)
        lines->push_back(partial->substr(start, kMaxLineChars));
    partial->erase(0, start);
}

// Opens the log for reading without getting in the logger's way: it keeps writing, and rotation renames it.
HANDLE OpenLog(const std::wstring& path) {
    return ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Reads [from, to) of an open file as UTF-16LE text (from and to even).
bool ReadRange(HANDLE file, uint64_t from, uint64_t to, std::wstring* text, DWORD* error) {
    text->assign(static_cast<size_t>((to - from) / 2), L'\0');
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(from);
    if (!::SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) {
        *error = ::GetLastError();
        return false;
    }
    size_t done = 0;
    const size_t bytes = text->size() * 2;
    while (done < bytes) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(bytes - done > (1u << 20) ? (1u << 20) : bytes - done);
        if (!::ReadFile(file, reinterpret_cast<char*>(&(*text)[0]) + done, chunk, &got, nullptr)) {
            *error = ::GetLastError();
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    text->resize(done / 2);
    return true;
}

bool FileSize(HANDLE file, uint64_t* size, DWORD* error) {
    LARGE_INTEGER s;
    if (!::GetFileSizeEx(file, &s)) {
        *error = ::GetLastError();
        return false;
    }
    *size = static_cast<uint64_t>(s.QuadPart) & ~1ull;  // whole UTF-16 units only
    return true;
}

}  // namespace

std::wstring LogFolder() {
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, path))) return L"";
    std::wstring folder(path);
    if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
    return folder + L"Zelkor\\Tessaline Server\\";
}

std::vector<std::wstring> LogFiles(const std::wstring& folder) {
    std::vector<std::wstring> files;
    const std::wstring current = folder + kLogBase + L".txt";
    if (::GetFileAttributesW(current.c_str()) != INVALID_FILE_ATTRIBUTES) files.push_back(current);
    WIN32_FIND_DATAW found;
    lumlib::unique_find_handle search(::FindFirstFileW((folder + kLogBase + L"(*).txt").c_str(), &found));
    if (search.is_valid()) {
        do {
            files.push_back(folder + found.cFileName);
        } while (::FindNextFileW(search.get(), &found));
    }
    return files;
}

LogSettings ReadLogSettings() {
    LogSettings settings;
    settings.values = {{L"LogLevel", false, REG_NONE, 0, 0, L""},
                       {L"RotationLogFileNumber", false, REG_NONE, 0, 10, L"files"},
                       {L"RotationLogFileSizeMB", false, REG_NONE, 0, 50, L"MB"},
                       {L"OverrideLogMaxFiles", false, REG_NONE, 0, 300, L"files"}};
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != 0)
        return settings;
    lumlib::unique_hkey owned(key);
    settings.keyExists = true;
    for (size_t i = 0; i < settings.values.size(); ++i) {
        LogSetting& v = settings.values[i];
        // As the library reads them: into a 4-byte area, so longer data counts as unreadable.
        uint8_t data[4] = {};
        DWORD size = sizeof(data), type = REG_NONE;
        const LSTATUS rc = ::RegQueryValueExW(key, v.name, nullptr, &type, data, &size);
        if (rc == ERROR_MORE_DATA) v.type = type;  // there, but longer than the library reads: unreadable
        if (rc != ERROR_SUCCESS) continue;
        const uint32_t number = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
        v.type = type;
        if (i == 0) {  // LogLevel: a number, or one digit as text
            if (type == REG_DWORD) {
                v.present = true;
                v.stored = v.effective = number;
            } else if (type == REG_SZ && data[0] >= '0' && data[0] <= '9' && data[1] == 0) {
                v.present = true;
                v.stored = v.effective = data[0] - '0';
            }
            continue;
        }
        v.present = true;
        v.stored = number;
        if (i == 1) v.effective = number == 0 ? 1 : number > 99 ? 99 : number;
        else if (i == 2) v.effective = number == 0 || number > 1000 ? 1000 : number;
        else v.effective = number;
    }
    return settings;
}

DWORD WriteLogLevel(uint32_t level) {
    HKEY key = nullptr;
    LONG result = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                    KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS) return static_cast<DWORD>(result);
    lumlib::unique_hkey owned(key);
    const DWORD value = level;
    result = ::RegSetValueExW(key, L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    return static_cast<DWORD>(result);
}

bool PipeAbsent() {
    if (::WaitNamedPipeW(kServicePipePath, 1)) return false;
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

SRWLOCK CLogLevelRaise::s_lock = SRWLOCK_INIT;
CLogLevelRaise* CLogLevelRaise::s_live = nullptr;
bool CLogLevelRaise::s_closing = false;

CLogLevelRaise::CLogLevelRaise(uint32_t level) {
    if (ReadLogSettings().Level() >= level) return;
    HKEY key = nullptr;
    if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return;  // not an administrator: status reads what the level in force lets the library write
    m_key.reset(key);
    DWORD type = REG_NONE, size = 64;
    m_old.resize(size);
    const LONG read = ::RegQueryValueExW(key, L"LogLevel", nullptr, &type, m_old.data(), &size);
    if (read == ERROR_SUCCESS) {
        m_type = type;
        m_old.resize(size);
    } else if (read == ERROR_FILE_NOT_FOUND) {
        m_old.clear();  // absent: removed again afterwards
    } else {
        return;  // a value that could not be kept whole is not replaced
    }
    const DWORD value = level;
    ::AcquireSRWLockExclusive(&s_lock);
    m_raised = !s_closing && ::RegSetValueExW(key, L"LogLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                              sizeof(value)) == ERROR_SUCCESS;
    if (m_raised) s_live = this;
    ::ReleaseSRWLockExclusive(&s_lock);
}

CLogLevelRaise::~CLogLevelRaise() {
    ::AcquireSRWLockExclusive(&s_lock);
    PutBack();
    if (s_live == this) s_live = nullptr;
    ::ReleaseSRWLockExclusive(&s_lock);
}

bool CLogLevelRaise::Raised() const {
    ::AcquireSRWLockShared(&s_lock);
    const bool raised = m_raised;
    ::ReleaseSRWLockShared(&s_lock);
    return raised;
}

void CLogLevelRaise::PutBackNow() {
    ::AcquireSRWLockExclusive(&s_lock);
    s_closing = true;  // and no raise after this one
    if (s_live != nullptr) s_live->PutBack();
    ::ReleaseSRWLockExclusive(&s_lock);
}

void CLogLevelRaise::PutBack() {
    if (!m_raised) return;
    m_raised = false;
    if (m_type == REG_NONE) ::RegDeleteValueW(m_key.get(), L"LogLevel");
    else ::RegSetValueExW(m_key.get(), L"LogLevel", 0, m_type, m_old.data(), static_cast<DWORD>(m_old.size()));
}

const wchar_t* LevelName(uint32_t level) {
    switch (level) {
    case 0: return L"ERROR";
    case 1: return L"WARNING";
    case 2: return L"INFO";
    case 3: return L"DEBUG";
    default: return L"above DEBUG";
    }
}

const wchar_t* RegTypeName(DWORD type) {
    switch (type) {
    case REG_DWORD: return L"REG_DWORD";
    case REG_SZ: return L"REG_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_QWORD: return L"REG_QWORD";
    case REG_NONE: return L"REG_NONE";
    default: return L"other";
    }
}

std::wstring ModulePath(HMODULE module) {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) return std::wstring(path.data(), n);
        path.resize(path.size() * 2);
    }
}

ModuleVersion VersionOf(const std::wstring& path) {
    ModuleVersion version;
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return version;
    std::vector<uint8_t> data(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return version;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (::VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) && info != nullptr &&
        length >= sizeof(VS_FIXEDFILEINFO))
        version.file = zktools::Format(L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
                                       HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    // The ProductVersion string of the resource's first language.
    struct Translation { WORD language, codePage; }* translation = nullptr;
    wchar_t* text = nullptr;
    if (::VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) &&
        translation != nullptr && length >= sizeof(Translation)) {
        const std::wstring key = zktools::Format(L"\\StringFileInfo\\%04x%04x\\ProductVersion", translation->language,
                                                 translation->codePage);
        if (::VerQueryValueW(data.data(), key.c_str(), reinterpret_cast<void**>(&text), &length) && text != nullptr &&
            length > 0)
            version.product.assign(text, wcsnlen(text, length));
    }
    return version;
}

ModuleVersion OwnVersion() { return {ZK_FILE_VERSION_WSTR, ZK_PRODUCT_VERSION_WSTR}; }

uint64_t FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

DWORD ProbeFolderWritable(const std::wstring& folder) {
    const std::wstring probe = folder + zktools::Format(L"zksndctl-probe-%lu.tmp", ::GetCurrentProcessId());
    // Deleted when the handle closes, so no probe is left behind even if this process dies.
    CHandleHolder file(::CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return file.is_valid() ? 0 : ::GetLastError();
}

// Opens the log and reads its size; false with the error when either fails.
bool OpenLogWithSize(const std::wstring& path, CHandleHolder* file, uint64_t* size, DWORD* error) {
    file->reset(OpenLog(path));
    if (!file->is_valid()) {
        *error = ::GetLastError();
        return false;
    }
    return FileSize(file->get(), size, error);
}

bool ReadLogFrom(const std::wstring& path, uint64_t* offset, std::wstring* partial, std::vector<std::wstring>* lines,
                 DWORD* error) {
    CHandleHolder file;
    uint64_t size = 0;
    if (!OpenLogWithSize(path, &file, &size, error)) return false;
    if (size < *offset) {  // rotated: a new file began
        *offset = 0;
        partial->clear();
    }
    if (size == *offset) return true;
    std::wstring text;
    if (!ReadRange(file.get(), *offset, std::min(size, *offset + kMaxReadBytes), &text, error)) return false;
    *offset += text.size() * 2;
    SplitLines(text, partial, lines);
    return true;
}

bool CLogFollower::Read(std::vector<std::wstring>* lines, DWORD* error) {
    m_skipped.clear();
    // Renamed files' late lines first, for as long as their writers may still append to them; one
    // deleted is let go at once (held, its number could not be used again). Oldest first: behind one
    // with more than a read's worth left, the newer ones wait.
    bool older = false;  // an older one is behind
    for (auto it = m_renamed.begin(); it != m_renamed.end();) {
        if (older) {
            (it++)->source.behind = true;
            continue;
        }
        DWORD ignored = 0;
        const bool done = !Drain(it->source, lines, &ignored) || DeletePending(it->source.file.get()) ||
                          (!it->source.behind && ::GetTickCount64() >= it->until);
        older = !done && it->source.behind;
        it = done ? m_renamed.erase(it) : it + 1;
    }
    // Older files with more than a read's worth left: read on in them first, so that no newer line
    // comes between theirs.
    if (RenamedBehind()) return true;
    // What the name holds now: after a rotation, another file than the one held.
    CHandleHolder current(OpenLog(m_path));
    const DWORD openError = ::GetLastError();
    if (!m_current.file.is_valid()) {
        if (!current.is_valid()) {
            *error = openError;
            return false;
        }
        m_current.file = std::move(current);
        return DrainCurrent(lines, error);
    }
    // The held file's lines first, up to its rename and after it: all of them before the name's
    // new file or a deletion lets it go.
    if (!DrainCurrent(lines, error)) return false;
    if (m_current.behind) return true;
    // Deleted while held: let go, or no process could make the log anew under that name.
    if (DeletePending(m_current.file.get())) {
        m_current = Source();
        return true;
    }
    // Between a rotation and the next line, the same file, or not to be told apart: held on to.
    if (!current.is_valid() || SameFile(m_current.file.get(), current.get())) return true;
    size_t skipped = 0;
    std::vector<CHandleHolder> missed = RotatedAfter(m_current.file.get(), current.get(), &skipped);
    m_unread += skipped;
    KeepRenamed(std::move(m_current));
    // Files rotated away between two reads, oldest first, before the name's new file; behind one
    // with more than a read's worth left, the newer ones wait their turn.
    for (auto file = missed.rbegin(); file != missed.rend(); ++file) {
        Source source;
        source.file = std::move(*file);
        DWORD ignored = 0;
        if (RenamedBehind()) source.behind = true;
        else if (!Drain(source, lines, &ignored)) continue;
        KeepRenamed(std::move(source));
    }
    m_current = Source();
    m_current.file = std::move(current);
    return RenamedBehind() || DrainCurrent(lines, error);
}

bool CLogFollower::DrainCurrent(std::vector<std::wstring>* lines, DWORD* error) {
    if (m_unread != 0) {
        m_skipped.push_back({lines->size(), m_unread});
        m_unread = 0;
    }
    return Drain(m_current, lines, error);
}

std::vector<CHandleHolder> CLogFollower::RotatedAfter(HANDLE held, HANDLE current, size_t* skipped) const {
    *skipped = 0;
    std::vector<CHandleHolder> newer;
    for (const std::wstring& name : NumberedFiles(m_path)) {
        CHandleHolder file(OpenLog(name));
        if (!file.is_valid()) continue;
        if (SameFile(file.get(), current)) {
            newer.clear();  // rotated since it was opened: it and the files after it come in later reads
            continue;
        }
        if (!SameFile(file.get(), held)) {
            newer.push_back(std::move(file));
            continue;
        }
        // More rotations than are kept: the oldest of them, which go on from the held file.
        if (newer.size() >= kMaxRenamed) {
            *skipped = newer.size() - (kMaxRenamed - 1);
            newer.erase(newer.begin(), newer.end() - (kMaxRenamed - 1));
        }
        return newer;
    }
    return {};  // the held file is not among them (deleted, or named otherwise): which are newer is not known
}

void CLogFollower::KeepRenamed(Source source) {
    // Full: one read to its end goes first (the oldest such), else the oldest.
    if (m_renamed.size() >= kMaxRenamed) {
        auto done = std::find_if(m_renamed.begin(), m_renamed.end(), [](const Renamed& r) { return !r.source.behind; });
        m_renamed.erase(done != m_renamed.end() ? done : m_renamed.begin());
    }
    m_renamed.push_back({std::move(source), ::GetTickCount64() + kRotatedReadMs});
}

bool CLogFollower::RenamedBehind() const {
    return std::any_of(m_renamed.begin(), m_renamed.end(), [](const Renamed& r) { return r.source.behind; });
}

bool CLogFollower::Behind() const { return m_current.behind || RenamedBehind(); }

bool CLogFollower::Drain(Source& source, std::vector<std::wstring>* lines, DWORD* error) {
    uint64_t size = 0;
    if (!FileSize(source.file.get(), &size, error)) return false;
    if (size < source.offset) {
        // Set back within what the last read took (a writer undoing an append
        // cut short): read on from there, what is left of an unfinished line
        // kept; lines shown that the undo took come again when appended again.
        // Further back: written anew.
        const uint64_t lineStart = source.offset - source.partial.size() * 2;
        const bool undone = size < lineStart && SetBackWithinLastRead(source, size);
        source.partial.resize(size >= lineStart ? static_cast<size_t>((size - lineStart) / 2) : 0);
        source.offset = size >= lineStart ? lineStart + source.partial.size() * 2 : undone ? size : 0;
    }
    source.behind = false;
    if (size == source.offset) return true;
    std::wstring text;
    const uint64_t to = std::min(size, source.offset + kMaxReadBytes);  // the rest on the next call
    if (!ReadRange(source.file.get(), source.offset, to, &text, error)) return false;
    source.readFrom = source.offset - source.partial.size() * 2;
    source.lastRead = source.partial + text;
    source.offset += text.size() * 2;
    source.behind = source.offset == to && to < size;  // a read that came up short waits for a change
    SplitLines(text, &source.partial, lines);
    return true;
}

bool CLogFollower::SetBackWithinLastRead(const Source& source, uint64_t size) {
    if (size < source.readFrom || (size - source.readFrom) % 2 != 0) return false;
    const uint64_t chars = (size - source.readFrom) / 2;
    if (chars > source.lastRead.size() || (chars != 0 && source.lastRead[static_cast<size_t>(chars) - 1] != L'\n')) return false;
    std::wstring now;
    DWORD error = 0;
    if (chars != 0 && !ReadRange(source.file.get(), source.readFrom, size, &now, &error)) return false;
    return source.lastRead.compare(0, static_cast<size_t>(chars), now) == 0;
}

bool ReadLogTail(const std::wstring& path, size_t count, std::vector<std::wstring>* lines, uint64_t* endOffset,
                 DWORD* error, CHandleHolder* held) {
    CHandleHolder file;
    uint64_t size = 0;
    if (!OpenLogWithSize(path, &file, &size, error)) return false;
    // Read backwards in growing slices until enough line ends are in: a 50 MB log is not read whole.
    std::vector<std::wstring> found;
    std::wstring partial;
    for (uint64_t slice = 64 * 1024;; slice *= 4) {
        const uint64_t from = size > slice ? (size - slice) & ~1ull : 0;
        std::wstring text;
        if (!ReadRange(file.get(), from, size, &text, error)) return false;
        found.clear();
        partial.clear();
        SplitLines(text, &partial, &found);
        if (from == 0 || found.size() > count || slice >= kMaxTailBytes) {
            if (from != 0 && !found.empty()) found.erase(found.begin());  // the first line may be cut
            break;
        }
    }
    // An unfinished last line waits for its end: a follower reads it from its start.
    uint64_t end = size;
    if (!partial.empty()) end -= partial.size() * 2;
    if (found.size() > count) found.erase(found.begin(), found.end() - static_cast<std::ptrdiff_t>(count));
    *lines = found;
    *endOffset = end;
    if (held != nullptr) *held = std::move(file);
    return true;
}

}  // namespace zksndctl
