// Command line, status wording, exit codes and output formats of zksndctl.
#pragma once

#include "tools/common/ConsoleOut.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zksndctl {

enum class Command {
    None, Devices, SetDefault, SettingsGet, SettingsSet, Watch, Locked,
    Status, LogWhere, LogTail, LogLevel, Version
};

struct CtlOptions {
    Command command = Command::None;
    bool help = false;
    std::wstring dllPath;          // empty: zksndapi.dll next to zksndctl.exe
    uint32_t timeoutMs = 5000;     // for the connection and for the end of a device list
    bool json = false;             // --json: every command's result as JSON on stdout
    uint32_t device = 0;           // set-default N
    std::wstring file;             // settings get --out FILE / settings set FILE
    uint32_t seconds = 0;          // watch / log tail --follow: --seconds N; 0: until Ctrl+C
    bool requestList = true;       // watch: ask for the device list on every connection
    uint32_t lines = 20;           // log tail -n N
    bool follow = false;           // log tail --follow
    int level = -1;                // log level N (0 to 3); -1: show the current level
};

// Exit codes a script can rely on.
enum CtlExit : int {
    kExitOk = 0,
    kExitFailure = 1,        // unexpected failure inside zksndctl
    kExitUsage = 2,          // bad command line
    kExitDll = 3,            // zksndapi.dll missing, not loadable, or without an export
    kExitTimeout = 4,        // the service did not finish an answer in time
    kExitFile = 5,           // a settings file could not be read or written, or has the wrong size
    kExitInterrupted = 6,    // Ctrl+C before the command finished
    kExitNeedsAdmin = 7,     // writing the machine-wide setting needs an administrator
    kExitNoLog = 8,          // the log file does not exist or cannot be read
    kExitStatusBase = 10,    // 10 + the library's status (11 to 30)
};

bool ParseCtlOptions(const std::vector<std::wstring>& args, CtlOptions* options, std::wstring* error);
std::wstring CtlUsage();

// The library's status in words: "not connected to the service".
std::wstring StatusWords(uint32_t status);
// "not connected to the service (status 20)"
std::wstring DescribeStatus(uint32_t status);
// 10 + status for the library's statuses; kExitFailure for anything that
// would not fit an exit code.
int ExitCodeForStatus(uint32_t status);

struct DeviceRow {
    uint32_t id = 0;       // the record's first field
    uint32_t def = 0;
    uint32_t render = 0;
    uint32_t extra = 0;    // the record's fourth field
    std::wstring name;
};

std::wstring FormatDeviceTable(const std::vector<DeviceRow>& devices);
std::wstring FormatDeviceJson(const std::vector<DeviceRow>& devices);
std::wstring JsonEscape(const std::wstring& text);
// "\"text\"" with JsonEscape applied.
std::wstring JsonString(const std::wstring& text);
// Text from the service or a log made safe for a terminal (shared with tessaline-emu).
using zktools::EscapeControls;
// Lowercase hex of the bytes, no separators.
std::wstring HexString(const uint8_t* data, size_t size);
// 16 bytes per line: offset, hex bytes.
std::wstring FormatHexDump(const uint8_t* data, size_t size);

}  // namespace zksndctl
