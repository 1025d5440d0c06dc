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
    bool version = false;          // --version: also the command when no other is given
    std::wstring dllPath;          // empty: zksndapi.dll next to zksndctl.exe
    uint32_t timeoutMs = 5000;     // for the connection and for the end of a device list
    bool json = false;             // --json: every command's result as one JSON document on stdout
    uint32_t device = 0;           // set-default N
    bool force = false;            // set-default: send N even when the service does not list it
    std::wstring file;             // settings get --out FILE / settings set FILE
    uint32_t seconds = 0;          // watch / log tail --follow: --seconds N; 0: until Ctrl+C
    bool noList = false;           // watch --no-list
    bool requestList = true;       // watch: ask for the device list on every connection
    uint32_t lines = 20;           // log tail -n N
    bool follow = false;           // log tail --follow
    int level = -1;                // log level N (0 to 3); -1: show the current level
};

// Exit codes a script can rely on; ExitCodes() lists every one with its meaning.
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
    kExitNoSuchDevice = 9,   // set-default N: the service does not list N
    kExitStatusBase = 10,    // 10 + the library's status (11 to 30)
    // status: the first check that failed.
    kExitCheckPipe = 41,
    kExitCheckOpen = 42,
    kExitCheckServer = 43,
    kExitCheckConnect = 44,
    kExitCheckSession = 45,
    kExitCheckSettings = 46,
    kExitCheckDevices = 47,
    kExitCheckLogFolder = 48,
    kExitCheckLogLevel = 49,
};

struct CtlExitCode {
    int code;
    std::wstring meaning;
};
// Every exit code zksndctl uses, ascending: --help prints them, docs/tools.md has the same table.
std::vector<CtlExitCode> ExitCodes();

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

// One JSON object, built member by member: CJsonObject().Text(L"name", n).Number(L"id", 3).Str().
class CJsonObject {
public:
    CJsonObject& Raw(const wchar_t* key, const std::wstring& json);  // json: a complete value
    CJsonObject& Text(const wchar_t* key, const std::wstring& text) { return Raw(key, JsonString(text)); }
    CJsonObject& Number(const wchar_t* key, long long value);
    CJsonObject& Bool(const wchar_t* key, bool value) { return Raw(key, value ? L"true" : L"false"); }
    CJsonObject& Null(const wchar_t* key) { return Raw(key, L"null"); }
    CJsonObject& Members(const CJsonObject& other);  // other's members, after these
    std::wstring Str() const { return L"{" + m_body + L"}"; }

private:
    std::wstring m_body;
};
// {"code": N, "message": "..."}: the value of a failed command's "error" member.
std::wstring JsonErrorValue(int code, const std::wstring& message);
// --json --help: {"usage": "...", "exitCodes": [{"code", "meaning"}, ...]}.
std::wstring FormatUsageJson();
// Text from the service or a log made safe for a terminal (shared with tessaline-emu).
using zktools::EscapeControls;
// Lowercase hex of the bytes, no separators.
std::wstring HexString(const uint8_t* data, size_t size);
// 16 bytes per line: offset, hex bytes.
std::wstring FormatHexDump(const uint8_t* data, size_t size);

}  // namespace zksndctl
