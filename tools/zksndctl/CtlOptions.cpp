#include "tools/zksndctl/CtlOptions.h"

#include <algorithm>
#include <iterator>

#include "tools/common/ConsoleOut.h"

namespace zksndctl {

namespace {

uint32_t Bit(Command command) { return 1u << static_cast<unsigned>(command); }
const uint32_t kAnyCommand = 0xFFFFFFFFu;

// An option: a flag, or one that takes a text or a number, and the commands it belongs to.
struct OptionRule {
    const wchar_t* name;
    const wchar_t* alias;              // nullptr: none
    bool CtlOptions::*flag;            // a flag sets this
    std::wstring CtlOptions::*text;    // or it takes a text
    uint32_t CtlOptions::*number;      // or a number from min to max
    uint32_t min, max;
    uint32_t commands;                 // Bit()s of the commands it belongs to
    const wchar_t* owners;             // those commands, for the message
};

const OptionRule kOptionRules[] = {
    {L"--help", L"-h", &CtlOptions::help, nullptr, nullptr, 0, 0, kAnyCommand, nullptr},
    {L"/?", nullptr, &CtlOptions::help, nullptr, nullptr, 0, 0, kAnyCommand, nullptr},
    {L"--version", nullptr, &CtlOptions::version, nullptr, nullptr, 0, 0, kAnyCommand, nullptr},
    {L"--json", nullptr, &CtlOptions::json, nullptr, nullptr, 0, 0, kAnyCommand, nullptr},
    {L"--dll", nullptr, nullptr, &CtlOptions::dllPath, nullptr, 0, 0, kAnyCommand, nullptr},
    {L"--timeout", nullptr, nullptr, nullptr, &CtlOptions::timeoutMs, 1, 0xFFFFFFFFu, kAnyCommand, nullptr},
    {L"--lines", L"-n", nullptr, nullptr, &CtlOptions::lines, 1, 100000, Bit(Command::LogTail), L"'log tail'"},
    {L"--follow", L"-f", &CtlOptions::follow, nullptr, nullptr, 0, 0, Bit(Command::LogTail), L"'log tail'"},
    {L"--out", nullptr, nullptr, &CtlOptions::file, nullptr, 0, 0, Bit(Command::SettingsGet), L"'settings get'"},
    {L"--seconds", nullptr, nullptr, nullptr, &CtlOptions::seconds, 1, 86400u * 7,
     Bit(Command::Watch) | Bit(Command::LogTail), L"'watch' and 'log tail --follow'"},
    {L"--no-list", nullptr, &CtlOptions::noList, nullptr, nullptr, 0, 0, Bit(Command::Watch), L"'watch'"},
    {L"--force", nullptr, &CtlOptions::force, nullptr, nullptr, 0, 0, Bit(Command::SetDefault), L"'set-default'"},
};
const size_t kOptionCount = sizeof(kOptionRules) / sizeof(kOptionRules[0]);

// A command: its word, the word after it (nullptr: none), and the operands it takes.
enum class Operand { None, Device, File, OptionalLevel };
struct CommandRule {
    const wchar_t* word;
    const wchar_t* sub;
    Command command;
    Operand operand;
};

const CommandRule kCommandRules[] = {
    {L"devices", nullptr, Command::Devices, Operand::None},
    {L"set-default", nullptr, Command::SetDefault, Operand::Device},
    {L"settings", L"get", Command::SettingsGet, Operand::None},
    {L"settings", L"set", Command::SettingsSet, Operand::File},
    {L"watch", nullptr, Command::Watch, Operand::None},
    {L"locked", nullptr, Command::Locked, Operand::None},
    {L"status", nullptr, Command::Status, Operand::None},
    {L"log", L"where", Command::LogWhere, Operand::None},
    {L"log", L"tail", Command::LogTail, Operand::None},
    {L"log", L"level", Command::LogLevel, Operand::OptionalLevel},
};

const OptionRule* FindOption(const std::wstring& arg) {
    for (const OptionRule& rule : kOptionRules)
        if (arg == rule.name || (rule.alias != nullptr && arg == rule.alias)) return &rule;
    return nullptr;
}

bool Fail(std::wstring* error, const std::wstring& message) {
    *error = message;
    return false;
}

// Applies one option (its value, if it takes one, is args[*i + 1]); false with the message.
bool ApplyOption(const OptionRule& rule, const std::vector<std::wstring>& args, size_t* i, CtlOptions* result,
                 std::wstring* error) {
    const std::wstring& arg = args[*i];
    if (rule.flag != nullptr) {
        result->*rule.flag = true;
        return true;
    }
    if (*i + 1 >= args.size()) return Fail(error, arg + L" needs a value");
    const std::wstring& value = args[++*i];
    if (rule.text != nullptr) {
        result->*rule.text = value;
        return true;
    }
    uint32_t number = 0;
    if (!zktools::ParseU32(value, &number)) return Fail(error, arg + L": '" + value + L"' is not a 32-bit number");
    if (number < rule.min || number > rule.max)
        return Fail(error, rule.max == 0xFFFFFFFFu ? zktools::Format(L"%s: give at least %u", arg.c_str(), rule.min)
                                                   : zktools::Format(L"%s: give %u to %u", arg.c_str(), rule.min, rule.max));
    result->*rule.number = number;
    return true;
}

// Finds the command of words[0] (and words[1]); *used: how many words it took. false with the message.
bool FindCommand(const std::vector<std::wstring>& words, const CommandRule** found, size_t* used, std::wstring* error) {
    std::wstring subs;  // the words that may follow words[0], for the message
    for (const CommandRule& rule : kCommandRules) {
        if (words[0] != rule.word) continue;
        *found = &rule;
        *used = rule.sub == nullptr ? 1 : 2;
        if (rule.sub == nullptr || (words.size() > 1 && words[1] == rule.sub)) return true;
        subs += (subs.empty() ? L"'" : L", '") + std::wstring(rule.sub) + L"'";
    }
    if (subs.empty()) return Fail(error, L"unknown command '" + words[0] + L"'");
    const size_t comma = subs.rfind(L", ");
    if (comma != std::wstring::npos) subs.replace(comma, 2, L" or ");
    return Fail(error, words[0] + L" needs " + subs);
}

// The operand the command takes from the words after it; *taken: how many it took. false with the message.
bool ApplyOperand(const CommandRule& rule, const std::wstring& name, const std::vector<std::wstring>& operands,
                  CtlOptions* result, size_t* taken, std::wstring* error) {
    *taken = 0;
    if (rule.operand == Operand::None || (rule.operand == Operand::OptionalLevel && operands.empty())) return true;
    if (operands.empty())
        return Fail(error, name + (rule.operand == Operand::Device ? L" needs a device value" : L" needs a file"));
    *taken = 1;
    const std::wstring& operand = operands[0];
    if (rule.operand == Operand::File) {
        result->file = operand;
        return true;
    }
    if (rule.operand == Operand::Device)
        return zktools::ParseU32(operand, &result->device) ||
               Fail(error, name + L": '" + operand + L"' is not a 32-bit number");
    if (operand.size() != 1 || operand[0] < L'0' || operand[0] > L'3')
        return Fail(error, L"log level: give 0 (errors), 1 (warnings), 2 (info) or 3 (debug), not '" + operand + L"'");
    result->level = operand[0] - L'0';
    return true;
}

// The command and its operands from the words; false with the message.
bool ApplyCommand(const std::vector<std::wstring>& words, CtlOptions* result, std::wstring* error) {
    const CommandRule* command = nullptr;
    size_t used = 0;
    if (!FindCommand(words, &command, &used, error)) return false;
    result->command = command->command;
    const std::wstring name = command->sub != nullptr ? std::wstring(command->word) + L" " + command->sub : command->word;
    const std::vector<std::wstring> operands(words.begin() + static_cast<std::ptrdiff_t>(used), words.end());
    size_t taken = 0;
    if (!ApplyOperand(*command, name, operands, result, &taken, error)) return false;
    return operands.size() <= taken || Fail(error, L"unexpected '" + operands[taken] + L"'");
}

// Every option given belongs to the command; false with the message.
bool CheckOwners(const CtlOptions& result, const std::wstring (&seen)[kOptionCount], std::wstring* error) {
    for (size_t r = 0; r < kOptionCount; ++r) {
        const OptionRule& rule = kOptionRules[r];
        // --seconds belongs to 'log tail' only with --follow.
        const bool belongs = (rule.commands & Bit(result.command)) != 0 &&
                             !(rule.number == &CtlOptions::seconds && result.command == Command::LogTail && !result.follow);
        if (!seen[r].empty() && !belongs) return Fail(error, seen[r] + L" belongs to " + rule.owners);
    }
    return true;
}

bool IsOptionLike(const std::wstring& arg) {
    return arg.size() > 1 && arg[0] == L'-' && !(arg[1] >= L'0' && arg[1] <= L'9');  // not a negative number
}

// The statuses the library documents, each with an exit code of its own (the
// status added to a base); any other would not be told apart from an unrelated code.
const uint32_t kDocumentedStatuses[] = {1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 20};

}  // namespace

bool ParseCtlOptions(const std::vector<std::wstring>& args, CtlOptions* options, std::wstring* error) {
    CtlOptions result;
    std::vector<std::wstring> words;  // the command and its operands, in order
    std::wstring seen[kOptionCount];  // each option as it was written, when it was
    for (size_t i = 0; i < args.size(); ++i) {
        const OptionRule* rule = FindOption(args[i]);
        if (rule == nullptr && IsOptionLike(args[i])) return Fail(error, L"unknown option '" + args[i] + L"'");
        if (rule == nullptr) words.push_back(args[i]);
        else seen[rule - kOptionRules] = args[i];
        if (rule != nullptr && !ApplyOption(*rule, args, &i, &result, error)) return false;
    }
    if (result.version && words.empty() && !result.help) result.command = Command::Version;
    // --version takes the options every command takes, and no other.
    if (result.command == Command::Version && !CheckOwners(result, seen, error)) return false;
    if (!result.help && result.command != Command::Version) {
        if (words.empty()) return Fail(error, L"no command given");
        if (result.version) return Fail(error, L"--version takes no command");
        if (!ApplyCommand(words, &result, error) || !CheckOwners(result, seen, error)) return false;
    }
    result.requestList = !result.noList;
    *options = result;
    return true;
}

std::vector<CtlExitCode> ExitCodes() {
    std::vector<CtlExitCode> codes = {
        {kExitOk, L"done (a watch or a follow ended by Ctrl+C or --seconds included)"},
        {kExitFailure, L"unexpected failure inside zksndctl, or a status the library does not document"},
        {kExitUsage, L"bad command line"},
        {kExitDll, L"zksndapi.dll missing, not loadable, or lacking one of the exports"},
        {kExitTimeout, L"the device list did not end within --timeout"},
        {kExitFile, L"settings file unreadable, unwritable, or not 336 bytes"},
        {kExitInterrupted, L"interrupted by Ctrl+C before the command finished"},
        {kExitNeedsAdmin, L"log level N: writing the registry value needs an administrator"},
        {kExitNoLog, L"log: the log folder is unknown, or the log file does not exist or cannot be read"},
        {kExitNoSuchDevice, L"set-default N: the service does not list device N (--force sends it anyway)"},
    };
    for (uint32_t status : kDocumentedStatuses)
        codes.push_back({ExitCodeForStatus(status), L"the library returned " + DescribeStatus(status) +
                                                        (status == 20 ? L"; also: no connection within --timeout, "
                                                                        L"or a watch that saw no connection"
                                                                      : L"")});
    const CtlExitCode checks[] = {
        {kExitCheckPipe, L"status: the service's pipe is absent"},
        {kExitCheckOpen, L"status: opening the pipe was refused, or every instance stayed busy"},
        {kExitCheckServer, L"status: the pipe's server runs under an account the library does not trust"},
        {kExitCheckConnect, L"status: the library did not connect within --timeout"},
        {kExitCheckSession, L"status: the connection did not survive the session id"},
        {kExitCheckSettings, L"status: the settings round trip failed or took too long"},
        {kExitCheckDevices, L"status: the device list failed or did not end within --timeout"},
        {kExitCheckLogFolder, L"status: the log folder is not writable"},
        {kExitCheckLogLevel, L"status: LogLevel is stored in a form the library cannot read"},
    };
    codes.insert(codes.end(), std::begin(checks), std::end(checks));
    return codes;
}

std::wstring CtlUsage() {
    std::wstring codes;
    for (const CtlExitCode& c : ExitCodes()) codes += zktools::Format(L"  %-4d %s\r\n", c.code, c.meaning.c_str());
    return
        L"zksndctl - talks to the Tessaline audio service through zksndapi.dll.\r\n"
        L"\r\n"
        L"Usage: zksndctl [--dll PATH] [--timeout MS] [--json] COMMAND\r\n"
        L"       zksndctl --version\r\n"
        L"\r\n"
        L"Commands:\r\n"
        L"  devices                 list the service's audio devices\r\n"
        L"  set-default N [--force] make device N the default one (N is the device value\r\n"
        L"                          passed to the service: the ID column of 'devices'), then\r\n"
        L"                          list the devices again to show the result; a device the\r\n"
        L"                          service does not list is refused unless --force\r\n"
        L"  settings get [--out FILE]\r\n"
        L"                          read the 336-byte settings record; into FILE, or as hex\r\n"
        L"  settings set FILE       write the settings record from FILE (exactly 336 bytes)\r\n"
        L"  watch [--seconds N] [--no-list]\r\n"
        L"                          print every notification as it arrives (connected,\r\n"
        L"                          connection lost, server information, devices) until\r\n"
        L"                          Ctrl+C or for N seconds; asks for the device list after\r\n"
        L"                          every connection unless --no-list\r\n"
        L"  locked                  whether the configuration is locked\r\n"
        L"  status                  health check, one row per stage: pipe, open, server,\r\n"
        L"                          library, connect, session, settings, devices, log folder\r\n"
        L"                          and log level; exits with the first failed stage's code\r\n"
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
        L"  --json         one JSON document on stdout (watch, log tail --follow: JSON\r\n"
        L"                 Lines); a failure: {\"error\": {\"code\", \"message\"}}\r\n"
        L"  --version      the versions of zksndctl and of the DLL it loads\r\n"
        L"  --help, -h     this text\r\n"
        L"\r\n"
        L"Exit codes:\r\n" + codes;
}

std::wstring FormatUsageJson() {
    std::wstring codes;
    for (const CtlExitCode& c : ExitCodes())
        codes += (codes.empty() ? L"" : L", ") + CJsonObject().Number(L"code", c.code).Text(L"meaning", c.meaning).Str();
    return CJsonObject().Text(L"usage", CtlUsage()).Raw(L"exitCodes", L"[" + codes + L"]").Str();
}

CJsonObject& CJsonObject::Raw(const wchar_t* key, const std::wstring& json) {
    if (!m_body.empty()) m_body += L", ";
    m_body += JsonString(key) + L": " + json;
    return *this;
}

CJsonObject& CJsonObject::Members(const CJsonObject& other) {
    if (!m_body.empty() && !other.m_body.empty()) m_body += L", ";
    m_body += other.m_body;
    return *this;
}

CJsonObject& CJsonObject::Number(const wchar_t* key, long long value) {
    return Raw(key, zktools::Format(L"%lld", value));
}

std::wstring JsonErrorValue(int code, const std::wstring& message) {
    return CJsonObject().Number(L"code", code).Text(L"message", message).Str();
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
    const bool known = std::find(std::begin(kDocumentedStatuses), std::end(kDocumentedStatuses), status) !=
                       std::end(kDocumentedStatuses);
    return known ? kExitStatusBase + static_cast<int>(status) : kExitFailure;
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
