// The file end of the logger: appends UTF-16LE log text to the current log
// file, rotates it by size into numbered files and refuses to write while the
// log folder is a mount-point junction.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "pipes/TransferBuffer.h"
#include "support/Holders.h"
#include "support/lumlib.h"

class CZkLogger;

class CZkLoggerBuffer : public CTransferBuffer {
public:
    CZkLoggerBuffer(CZkLogger* logger, const wchar_t* basePath, const wchar_t* sddl,
                    uint32_t maxFileSize, uint32_t asyncFlag, const wchar_t* header,
                    uint32_t rotationFileNumber);
    ~CZkLoggerBuffer() override;

    // The file write; returns 1 in every case.
    uint32_t Process(const uint8_t* data, uint64_t size, uint32_t queueEmpty) override;

    // Made by the logger under its own lock, not this buffer's.
    void SetMaxFileSize(uint32_t bytes);
    void SetRotationFileNumber(uint32_t count);
    uint32_t IsAsync() const { return m_async; }

    // The settings watcher's idle pass (it holds the logger lock): closes the
    // file when it is open and idleMs have passed since the last write.
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

    // State, for diagnostics and tests.
    bool IsFileOpen();
    uint32_t GetRotationIndex();
    const wchar_t* GetFileName() const { return m_fileName.c_str(); }
    const wchar_t* GetDirectory() const { return m_directory.c_str(); }
    uint32_t GetRotationFileNumber() const;
    const SECURITY_ATTRIBUTES* GetSecurityAttributes() const { return &m_securityAttributes; }

    static const uint32_t kRotationUndetermined = 0xFFFFFFFF;
    static const uint32_t kSizeCheckInterval = 5000;  // writes between two size checks
    static const DWORD kJunctionHoldMs = 5000;

protected:
    bool WriteAll(const void* data, uint64_t size);
    bool CheckRotation();                // lock held
    uint32_t CompactNumberedFiles();     // lock held
    bool IsDirectoryJunction();          // lock held
    bool OpenCurrentFile(DWORD disposition, bool* existed);  // lock held
    void CloseFile();                    // lock held
    bool SeekToEnd();                    // lock held
    std::wstring NumberedFileName(uint32_t number) const;
    std::wstring LogDirectoryWithSlash() const;

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
    uint32_t m_writeCounter;
    volatile LONG m_rotationFileNumber;
    std::wstring m_header;
    std::wstring m_directory;  // without trailing backslashes; for the junction check
    lumlib::unique_critical_section m_lock;
    uint32_t m_junctionHoldTick;  // 0: no junction seen
    PFN_QUERY_REPARSE m_queryReparse;
    void* m_queryReparseContext;
};
