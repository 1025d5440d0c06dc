// What zksndctl reads from the machine rather than from the service: the
// pipe, the log folder and files, the log settings in the registry, and
// version resources.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/Holders.h"

namespace zksndctl {

extern const wchar_t kServicePipePath[];  // \\.\pipe\3C7A51D0-...
extern const wchar_t kSettingsKeyPath[];  // Software\Zelkor\Tessaline Server (HKLM, 64-bit view)

// Whether nobody serves the service's pipe (no instance exists; a busy pipe is there). Opens nothing, so the
// service sees no connection.
bool PipeAbsent();

// The library's log folder: the common application-data folder + "Zelkor\Tessaline Server\";
// empty when the folder cannot be found.
std::wstring LogFolder();
// The current log file ("zksndapi.txt") and the numbered ones that exist, current first.
std::vector<std::wstring> LogFiles(const std::wstring& folder);

// One of the library's registry values: what is stored and what the library makes of it.
struct LogSetting {
    const wchar_t* name;
    bool present = false;      // stored and readable as the library reads it (4 bytes)
    DWORD type = REG_NONE;
    uint32_t stored = 0;       // the stored number (a REG_SZ level: its digit)
    uint32_t effective = 0;    // the value in force, after defaults and bounds
    const wchar_t* unit;       // "", "files", "MB"
};
struct LogSettings {
    bool keyExists = false;
    std::vector<LogSetting> values;  // LogLevel, RotationLogFileNumber, RotationLogFileSizeMB, OverrideLogMaxFiles
    uint32_t Level() const { return values.empty() ? 0 : values[0].effective; }
};
LogSettings ReadLogSettings();
// Stores LogLevel as REG_DWORD, creating the key if needed: 0 or the Windows error.
DWORD WriteLogLevel(uint32_t level);
// LogLevel raised for a while, then put back as it was found: `status` raises it to WARNING so that the
// library logs why a connection ended or a call failed (at 0 it writes ERROR lines only).
class CLogLevelRaise {
public:
    // Raises LogLevel to `level` when the level in force is lower and the key may be written.
    explicit CLogLevelRaise(uint32_t level);
    // The stored value back (its type and bytes), or none when there was none.
    ~CLogLevelRaise();
    CLogLevelRaise(const CLogLevelRaise&) = delete;
    CLogLevelRaise& operator=(const CLogLevelRaise&) = delete;
    bool Raised() const;  // and not put back yet
    // Puts back what the raise in force changed, at once: the console is closing, and Windows ends
    // the process soon after, whatever the command is doing (its destructor then does nothing).
    static void PutBackNow();

private:
    void PutBack();  // under s_lock

    static SRWLOCK s_lock;
    static CLogLevelRaise* s_live;  // under s_lock: the raise in force
    static bool s_closing;          // under s_lock: PutBackNow has run
    lumlib::unique_hkey m_key;
    bool m_raised = false;
    DWORD m_type = REG_NONE;      // REG_NONE: nothing was stored
    std::vector<BYTE> m_old;
};
const wchar_t* LevelName(uint32_t level);  // "ERROR", "WARNING", "INFO", "DEBUG"
const wchar_t* RegTypeName(DWORD type);

// A module's version resource: FileVersion as "major.minor.patch.build" and the ProductVersion string
// ("1.0.0+g<hash>"); each empty when the resource lacks it.
struct ModuleVersion {
    std::wstring file;
    std::wstring product;
};
ModuleVersion VersionOf(const std::wstring& path);
// zksndctl's own, built in.
ModuleVersion OwnVersion();

// The size of a file; 0 when it cannot be read.
uint64_t FileSizeOf(const std::wstring& path);
// Whether a file can be created in `folder`: creates and deletes a probe file. 0 or the Windows error.
DWORD ProbeFolderWritable(const std::wstring& folder);
std::wstring ModulePath(HMODULE module);  // module null: this program

// Reads the UTF-16LE log from *offset (a byte offset) to its end, appending whole lines to *lines and
// keeping an unfinished last line in *partial; *offset moves past what was read. A file shorter than
// *offset was rotated: reading starts again at 0. false with the Windows error.
bool ReadLogFrom(const std::wstring& path, uint64_t* offset, std::wstring* partial, std::vector<std::wstring>* lines,
                 DWORD* error);
// The last `count` lines of the log; *endOffset is where a follower continues, in *held (when given):
// the file they were read from. false with the error.
bool ReadLogTail(const std::wstring& path, size_t count, std::vector<std::wstring>* lines, uint64_t* endOffset,
                 DWORD* error, CHandleHolder* held = nullptr);

// Follows the log from a byte offset, across rotations: it holds the file it reads open (sharing it
// with the writers and with rotation), so what is appended to that file, also after rotation renamed
// it, is read before the new file under the name, which is then read from its start.
class CLogFollower {
public:
    // held: the file offset is in (the tail's), so that a rotation before the first Read loses nothing.
    CLogFollower(std::wstring path, uint64_t offset, CHandleHolder held = CHandleHolder())
        : m_path(std::move(path)) {
        m_current.file = std::move(held);
        m_current.offset = offset;
    }
    // Appends the lines ended since the last call; an unfinished last line waits for its end. false
    // with the Windows error (ERROR_FILE_NOT_FOUND: no log yet).
    bool Read(std::vector<std::wstring>* lines, DWORD* error);
    const std::wstring& Partial() const { return m_current.partial; }
    // The last Read left more to read: the next need not wait for a change.
    bool Behind() const;
    // Rotated files the last Read skipped (more rotations between two reads than are kept), and
    // where among its lines they were: before lines[at]; in order.
    struct Skipped {
        size_t at = 0;
        size_t files = 0;
        bool operator==(const Skipped& other) const { return at == other.at && files == other.files; }
    };
    const std::vector<Skipped>& LastSkipped() const { return m_skipped; }

private:
    // A file being read: where, and its unfinished last line.
    struct Source {
        CHandleHolder file;
        uint64_t offset = 0;
        std::wstring partial;
        bool behind = false;  // more than one read's worth was left
        uint64_t readFrom = 0;  // where the lines of the last read began
        std::wstring lastRead;  // and what they were, from there (an unfinished line's start included)
    };
    // Set back to a line end within the last read, what comes before it as that read found it: a
    // writer's undo of an append cut short, not a file written anew.
    static bool SetBackWithinLastRead(const Source& source, uint64_t size);
    // The file from its offset to its end (from 0 when it is shorter, but for an undo: written anew).
    static bool Drain(Source& source, std::vector<std::wstring>* lines, DWORD* error);
    // Drain of the name's file, after the notice of files skipped before it.
    bool DrainCurrent(std::vector<std::wstring>* lines, DWORD* error);
    // The numbered files rotations made after the held file's and before the name's current one (two
    // rotations between two reads), newest first, fewer than kMaxRenamed (*skipped: how many newer
    // ones are left out); none when the held file is not among the numbered ones.
    std::vector<CHandleHolder> RotatedAfter(HANDLE held, HANDLE current, size_t* skipped) const;
    // Keeps a renamed file to read on in (one read to its end let go when there are too many).
    void KeepRenamed(Source source);
    // A renamed file has more than one read's worth left.
    bool RenamedBehind() const;

    const std::wstring m_path;
    Source m_current;
    // Files a rotation renamed away, each read on until `until`: a writer in another process appends
    // to one until it notices the rotation (the library looks at the name once a second).
    struct Renamed {
        Source source;
        ULONGLONG until;
    };
    std::vector<Renamed> m_renamed;
    size_t m_unread = 0;  // files skipped, told before the name's file's next lines
    std::vector<Skipped> m_skipped;
};

}  // namespace zksndctl
