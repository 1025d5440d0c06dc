// The file end of the logger: appends UTF-16LE log text to the current log
// file, rotates it by size into numbered files and refuses to write while the
// log folder is a mount-point junction.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "pipes/TransferBuffer.h"
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

    CRITICAL_SECTION* GetLock() { return &m_lock; }

protected:
    // The writer adds the rest of its state below.
    CZkLogger* m_logger;
    uint32_t m_async;
    CRITICAL_SECTION m_lock;
};
