// The log folder's guard: every process of every session shares the folder,
// and privileged ones (elevated, SYSTEM, services) must not lend their rights
// to a hostile user through it. Refuses writing while the folder is a
// mount-point junction, and for privileged callers while the folder or its
// parent is any reparse point or has an untrusted owner, or the open file is
// not the expected path itself. A refusal holds writing for kHoldMs.
// Not thread-safe: its owner calls it under its own lock.
#pragma once

#include <windows.h>

#include <string>

class CLogFolderGuard {
public:
    // Reads the attributes of a directory and, when they carry
    // FILE_ATTRIBUTE_REPARSE_POINT, its reparse tag (kUnknownTag when it cannot
    // be read). Returns the attributes (INVALID_FILE_ATTRIBUTES when missing).
    typedef DWORD (*PFN_QUERY_REPARSE)(void* context, const wchar_t* directory, DWORD* reparseTag);
    // Whether the folder's owner is trusted; kUnknown when it cannot be read
    // (a failed security or token query), which is asked again soon.
    enum class Trust { kTrusted, kUntrusted, kUnknown };
    typedef Trust (*PFN_QUERY_OWNER)(void* context, const wchar_t* folder);

    // directory: the log folder (trailing backslashes are trimmed).
    explicit CLogFolderGuard(const std::wstring& directory);

    // Creates every missing folder of the path: the log folder with
    // kLogFolderSddl, the ones above it with kUpperFolderSddl. True when the
    // folder exists afterwards.
    static bool CreateLogFolder(const wchar_t* directory);
    // SYSTEM and Administrators: full control, inherited; everyone else
    // (and the folder's owner): list, read and create files in the folder,
    // and read, write, append and delete the files in it. Protected: nothing
    // is inherited from above, so whoever made the parent decides nothing here.
    static const wchar_t kLogFolderSddl[];
    // The same for a folder above the log folder, whose owner may also make
    // folders in it: whoever makes the path makes its next level too.
    static const wchar_t kUpperFolderSddl[];
    // The live queries: GetFileAttributesW then FindFirstFileW for the tag (a
    // folder whose attributes cannot be read, other than missing, is a reparse
    // point of unknown tag); the owner SYSTEM, Administrators or this process's
    // own user, or another account held by one of the two sets of rules above
    // (a folder this library made).
    static DWORD QueryReparseLive(void* context, const wchar_t* directory, DWORD* reparseTag);
    static Trust QueryOwnerTrustedLive(void* context, const wchar_t* folder);
    // Whether the process is elevated, runs as SYSTEM or as a service;
    // kUnknown when its token cannot be read.
    enum class Privilege { kOrdinary, kPrivileged, kUnknown };
    static Privilege QueryPrivilege();

    // Replacements for tests (null: the live query). Wine runs every process
    // elevated and keeps no owners, so tests choose both.
    void SetReparseQuery(PFN_QUERY_REPARSE query, void* context);
    void SetHardening(bool privileged, PFN_QUERY_OWNER query, void* context);

    // True while writing is held: the folder is a junction, now or less than
    // kHoldMs ago.
    bool IsDirectoryJunction();
    // The privileged checks of the folder and its parent, before a file in it
    // is opened. An owner that cannot be read holds writing for kRecheckMs only.
    bool IsRefused();
    // The file just opened: a regular file with one link and no reparse point,
    // and for privileged callers the expected path itself. *unread: refused
    // because a query about it failed (looked at again after kRecheckMs).
    bool IsOpenFileAcceptable(HANDLE file, const std::wstring& expectedPath, bool* unread) const;
    // Holds writing from now for holdMs (a refused file), or lets the next write look again.
    void Hold(DWORD holdMs = kHoldMs);
    void Release() { m_holdTick = 0; }

    static constexpr DWORD kHoldMs = 5000;
    static constexpr DWORD kRecheckMs = 250;
    // The tag of a reparse point that could not be read (no reparse point has tag 0):
    // it may be a junction, and is looked at again after kRecheckMs.
    static constexpr DWORD kUnknownTag = 0;

private:
    std::wstring m_directory;  // without trailing backslashes
    std::wstring m_parent;     // the folder above it (made once: the checks allocate nothing)
    DWORD m_holdTick = 0;      // 0: nothing refused
    DWORD m_holdMs = kHoldMs;
    PFN_QUERY_REPARSE m_queryReparse = &CLogFolderGuard::QueryReparseLive;
    void* m_queryReparseContext = nullptr;
    // Unknown (a token query failed) counts as privileged, and is asked again
    // at the next check of the folder: a passing failure decides nothing for good.
    Privilege m_privilege;
    PFN_QUERY_OWNER m_queryOwner = &CLogFolderGuard::QueryOwnerTrustedLive;
    void* m_queryOwnerContext = nullptr;
};
