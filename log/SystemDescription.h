// One line naming the running Windows version, release, build and processor
// architecture, e.g. "Windows 11 23H2 (build 22631), 64-bit x86". It goes into
// the header at the top of every new log file.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// Size in characters of every buffer that receives a system description.
const size_t kSystemDescriptionChars = 4096;

// Reads one REG_SZ value of HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion
// into a zeroed buffer of 128 characters. Returns false when the value cannot
// be read (missing, wrong type, too long).
typedef bool (*ZkCurrentVersionReader)(void* context, const wchar_t* valueName, wchar_t* buffer128);

// The facts the description is made of, as the system reported them.
struct ZkSystemFacts {
    // Null when RtlGetVersion could not be found or failed.
    const RTL_OSVERSIONINFOEXW* version;
    // wProcessorArchitecture of GetNativeSystemInfo.
    uint16_t architecture;
};

// Builds the line from the given facts into out (kSystemDescriptionChars
// characters). The reader is asked only for builds newer than the last one the
// name tables know ("DisplayVersion" for workstations, "ProductName" for
// servers); a null reader counts as a value that cannot be read.
void DescribeSystemFrom(const ZkSystemFacts& facts, ZkCurrentVersionReader reader, void* readerContext,
                        wchar_t* out);

// Reads the live version record, architecture and registry and builds the line.
void DescribeSystem(wchar_t* out);

// The live registry reader used by DescribeSystem.
bool ReadCurrentVersionValue(void* context, const wchar_t* valueName, wchar_t* buffer128);
