#include "tools/zksndctl/CtlOptions.h"

#include <algorithm>

#include "tools/common/ConsoleOut.h"

namespace zksndctl {

bool ParseCtlOptions(const std::vector<std::wstring>& args, CtlOptions* options, std::wstring* error) {
    CtlOptions result;
    std::vector<std::wstring> words;  // the command and its operands, in order
    bool sawOut = false, sawSeconds = false, sawNoList = false, sawLines = false, sawFollow = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        auto value = [&](std::wstring* out) -> bool {
            if (i + 1 >= args.size()) {
                *error = arg + L" needs a value";
                return false;
            }
            *out = args[++i];
            return true;
        };
        auto number = [&](uint32_t* out) -> bool {
            std::wstring text;
            if (!value(&text)) return false;
            if (!zktools::ParseU32(text, out)) {
                *error = arg + L": '" + text + L"' is not a 32-bit number";
                return false;
            }
            return true;
        };
        if (arg == L"--help" || arg == L"-h" || arg == L"/?") {
            result.help = true;
        } else if (arg == L"--version") {
            result.command = Command::Version;
        } else if (arg == L"--dll") {
            if (!value(&result.dllPath)) return false;
        } else if (arg == L"--timeout") {
            if (!number(&result.timeoutMs)) return false;
            if (result.timeoutMs == 0) {
                *error = L"--timeout: give at least 1 millisecond";
                return false;
            }
        } else if (arg == L"--json") {
            result.json = true;
        } else if (arg == L"-n" || arg == L"--lines") {
            if (!number(&result.lines)) return false;
            if (result.lines == 0 || result.lines > 100000) {
                *error = arg + L": give 1 to 100000 lines";
                return false;
            }
            sawLines = true;
        } else if (arg == L"--follow" || arg == L"-f") {
            sawFollow = true;
        } else if (arg == L"--out") {
            if (!value(&result.file)) return false;
            sawOut = true;
        } else if (arg == L"--seconds") {
            if (!number(&result.seconds)) return false;
            if (result.seconds == 0 || result.seconds > 86400u * 7) {
                *error = L"--seconds: give 1 to 604800";
                return false;
            }
            sawSeconds = true;
        } else if (arg == L"--no-list") {
            sawNoList = true;
        } else if (arg.size() > 1 && arg[0] == L'-' && !(arg[1] >= L'0' && arg[1] <= L'9')) {
            *error = L"unknown option '" + arg + L"'";
            return false;
        } else {
            words.push_back(arg);
        }
    }
    if (result.help || (result.command == Command::Version && words.empty())) {
        *options = result;
        return true;
    }
    if (words.empty()) {
        *error = L"no command given";
        return false;
    }
    const std::wstring& command = words[0];
    size_t operands = 0;  // how many words after the command it takes
    if (command == L"devices") {
        result.command = Command::Devices;
    } else if (command == L"set-default") {
        result.command = Command::SetDefault;
        operands = 1;
        if (words.size() < 2) {
            *error = L"set-default needs a device value";
            return false;
        }
        if (!zktools::ParseU32(words[1], &result.device)) {
            *error = L"set-default: '" + words[1] + L"' is not a 32-bit number";
            return false;
        }
    } else if (command == L"settings") {
        if (words.size() < 2 || (words[1] != L"get" && words[1] != L"set")) {
            *error = L"settings needs 'get' or 'set'";
            return false;
        }
        if (words[1] == L"get") {
            result.command = Command::SettingsGet;
            operands = 1;
        } else {
            result.command = Command::SettingsSet;
            operands = 2;
            if (words.size() < 3) {
                *error = L"settings set needs a file";
                return false;
            }
            result.file = words[2];
        }
    } else if (command == L"watch") {
        result.command = Command::Watch;
    } else if (command == L"locked") {
        result.command = Command::Locked;
    } else if (command == L"status") {
        result.command = Command::Status;
    } else if (command == L"log") {
        const std::wstring sub = words.size() > 1 ? words[1] : L"";
        operands = 1;
        if (sub == L"where") {
            result.command = Command::LogWhere;
        } else if (sub == L"tail") {
            result.command = Command::LogTail;
        } else if (sub == L"level") {
            result.command = Command::LogLevel;
            if (words.size() > 2) {
                operands = 2;
                if (words[2].size() != 1 || words[2][0] < L'0' || words[2][0] > L'3') {
                    *error = L"log level: give 0 (errors), 1 (warnings), 2 (info) or 3 (debug), not '" + words[2] + L"'";
                    return false;
                }
                result.level = words[2][0] - L'0';
            }
        } else {
            *error = L"log needs 'where', 'tail' or 'level'";
            return false;
        }
    } else {
        *error = L"unknown command '" + command + L"'";
        return false;
    }
    if (words.size() > 1 + operands) {
        *error = L"unexpected '" + words[1 + operands] + L"'";
        return false;
    }
    if ((sawLines || sawFollow) && result.command != Command::LogTail) {
        *error = sawLines ? L"-n belongs to 'log tail'" : L"--follow belongs to 'log tail'";
        return false;
    }
    if (sawOut && result.command != Command::SettingsGet) {
        *error = L"--out belongs to 'settings get'";
        return false;
    }
    if (sawNoList && result.command != Command::Watch) {
        *error = L"--no-list belongs to 'watch'";
        return false;
    }
    if (sawSeconds && result.command != Command::Watch && !(result.command == Command::LogTail && sawFollow)) {
        *error = L"--seconds belongs to 'watch' and 'log tail --follow'";
        return false;
    }
    result.requestList = !sawNoList;
    result.follow = sawFollow;
    *options = result;
    return true;
}

std::wstring CtlUsage() {
    return
        L"zksndctl - talks to the Tessaline audio service through zksndapi.dll.\r\n"
        L"\r\n"
        L"Usage: zksndctl [--dll PATH] [--timeout MS] [--json] COMMAND\r\n"
        L"       zksndctl --version\r\n"
        L"\r\n"
        L"Commands:\r\n"
        L"  devices [--json]        list the service's audio devices\r\n"
        L"  set-default N           make device N the default one (N is the device value\r\n"
        L"                          passed to the service: the ID column of 'devices'), then\r\n"
        L"                          list the devices again to show the result\r\n"
        L"  settings get [--out FILE]\r\n"
        L"                          read the 336-byte settings record; into FILE, or as hex\r\n"
        L"  settings set FILE       write the settings record from FILE (exactly 336 bytes)\r\n"
        L"  watch [--seconds N] [--no-list]\r\n"
        L"                          print every notification as it arrives (connected,\r\n"
        L"                          connection lost, server information, devices) until\r\n"
        L"                          Ctrl+C or for N seconds; asks for the device list after\r\n"
        L"                          every connection unless --no-list\r\n"
        L"  locked                  whether the configuration is locked\r\n"
        L"  status                  pipe, service, session id, server information, log\r\n"
        L"                          folder and level, and the registry values in force\r\n"
        L"  log where               the log folder and its files\r\n"
        L"  log tail [-n N] [--follow [--seconds N]]\r\n"
        L"                          the log's last N lines (default 20); --follow keeps\r\n"
        L"                          printing new lines until Ctrl+C or for N seconds\r\n"
        L"  log level [0-3]         show the log level, or set it (machine-wide: needs an\r\n"
        L"                          administrator); 0 errors, 1 warnings, 2 info, 3 debug\r\n"
        L"\r\n"
        L"Options:\r\n"
        L"  --dll PATH     the library to load (default: zksndapi.dll next to zksndctl.exe)\r\n"
        L"  --timeout MS   how long to wait for the connection and for a device list\r\n"
        L"                 (default 5000)\r\n"
        L"  --json         the result as JSON on stdout (errors: {\"error\", \"exitCode\"})\r\n"
        L"  --version      the versions of zksndctl and of the DLL it loads\r\n"
        L"  --help, -h     this text\r\n"
        L"\r\n"
        L"Exit codes:\r\n"
        L"  0      done\r\n"
        L"  1      unexpected failure\r\n"
        L"  2      bad command line\r\n"
        L"  3      zksndapi.dll missing, not loadable, or lacking an export\r\n"
        L"  4      the service did not finish its answer in time (device list)\r\n"
        L"  5      settings file unreadable, unwritable or not 336 bytes\r\n"
        L"  6      interrupted by Ctrl+C\r\n"
        L"  7      setting the log level needs an administrator\r\n"
        L"  8      no log file, or it cannot be read\r\n"
        L"  10+S   the library answered status S, e.g. 30: not connected to the service\r\n"
        L"         (status 20, also when no connection is made within --timeout),\r\n"
        L"         11: general failure (status 1), 18: access denied (status 8)\r\n";
}

std::wstring StatusWords(uint32_t status) {
    switch (status) {
    case 0: return L"success";
    case 1: return L"general failure";
    case 2: return L"out of memory";
    case 3: return L"buffer too small";
    case 4: return L"invalid parameter";
    case 5: return L"not found or nothing more";
    case 6: return L"not ready";
    case 7: return L"already exists";
    case 8: return L"access denied";
    case 10: return L"service-defined condition (service code 6701)";
    case 11: return L"service-defined condition (service code 8398)";
    case 20: return L"not connected to the service";
    default: return L"unknown status";
    }
}

std::wstring DescribeStatus(uint32_t status) {
    return zktools::Format(L"%s (status %u)", StatusWords(status).c_str(), status);
}

int ExitCodeForStatus(uint32_t status) {
    if (status == 0) return kExitOk;
    if (status > 200) return kExitFailure;
    return kExitStatusBase + static_cast<int>(status);
}

std::wstring JsonEscape(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size() + 2);
    for (wchar_t c : text) {
        switch (c) {
        case L'"': out += L"\\\""; break;
        case L'\\': out += L"\\\\"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\t': out += L"\\t"; break;
        default:
            if (c < 0x20) out += zktools::Format(L"\\u%04x", static_cast<unsigned>(c));
            else out += c;
        }
    }
    return out;
}

std::wstring JsonString(const std::wstring& text) { return L"\"" + JsonEscape(text) + L"\""; }

std::wstring HexString(const uint8_t* data, size_t size) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::wstring FormatDeviceTable(const std::vector<DeviceRow>& devices) {
    std::vector<std::wstring> ids, extras;
    size_t idWidth = 2, extraWidth = 5;
    for (const DeviceRow& d : devices) {
        ids.push_back(zktools::Format(L"%u", d.id));
        extras.push_back(zktools::Format(L"%u", d.extra));
        idWidth = std::max(idWidth, ids.back().size());
        extraWidth = std::max(extraWidth, extras.back().size());
    }
    auto pad = [](const std::wstring& s, size_t width) { return s + std::wstring(width - s.size() + 2, L' '); };
    std::wstring out = pad(L"ID", idWidth) + L"DEFAULT  KIND     " + pad(L"EXTRA", extraWidth) + L"NAME\r\n";
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceRow& d = devices[i];
        out += pad(ids[i], idWidth) + (d.def ? L"yes      " : L"no       ") +
               (d.render ? L"render   " : L"capture  ") + pad(extras[i], extraWidth) + EscapeControls(d.name) + L"\r\n";
    }
    if (devices.empty()) out += L"(no devices)\r\n";
    return out;
}

std::wstring FormatDeviceJson(const std::vector<DeviceRow>& devices) {
    std::wstring out = L"[";
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceRow& d = devices[i];
        out += i == 0 ? L"\r\n  " : L",\r\n  ";
        out += zktools::Format(L"{\"id\": %u, \"default\": %s, \"kind\": \"%s\", \"extra\": %u, \"name\": \"", d.id,
                               d.def ? L"true" : L"false", d.render ? L"render" : L"capture", d.extra);
        out += JsonEscape(d.name) + L"\"}";
    }
    out += devices.empty() ? L"]\r\n" : L"\r\n]\r\n";
    return out;
}

std::wstring FormatHexDump(const uint8_t* data, size_t size) {
    std::wstring out;
    for (size_t offset = 0; offset < size; offset += 16) {
        out += zktools::Format(L"%04x ", static_cast<unsigned>(offset));
        for (size_t i = offset; i < offset + 16 && i < size; ++i) out += zktools::Format(L" %02x", data[i]);
        out += L"\r\n";
    }
    return out;
}

}  // namespace zksndctl
