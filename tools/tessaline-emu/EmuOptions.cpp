#include "tools/tessaline-emu/EmuOptions.h"

#include "tools/common/ConsoleOut.h"

namespace tessaline_emu {

const wchar_t kServicePipeName[] = L"3C7A51D0-9E2B-4F86-B1D4-6A0E2F95C3B7";

const wchar_t* const kControlActions[] = {L"stop", L"drop", L"unknown", L"devices", L"down"};

bool IsControlAction(const std::wstring& action) {
    for (size_t i = 0; i < kControlActionCount; ++i)
        if (action == kControlActions[i]) return true;
    return false;
}

namespace {

bool ParseWithhold(const std::wstring& list, uint32_t* bits, std::wstring* error) {
    uint32_t result = 0;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(L',', start);
        if (comma == std::wstring::npos) comma = list.size();
        const std::wstring item = list.substr(start, comma - start);
        start = comma + 1;
        if (item == L"server-info") result |= kWithholdServerInfo;
        else if (item == L"device-list") result |= kWithholdDeviceList;
        else if (item == L"get-settings") result |= kWithholdGetSettings;
        else if (item == L"set-settings") result |= kWithholdSetSettings;
        else if (item == L"settings") result |= kWithholdGetSettings | kWithholdSetSettings;
        else if (item == L"all") result |= kWithholdAll;
        else {
            *error = zktools::Format(L"--withhold: unknown answer '%s'", item.c_str());
            return false;
        }
    }
    *bits = result;
    return true;
}

// --fault NAME: the faults a user may select (the busy only instance needs a
// second client and is the test kit's), with what each does.
const struct {
    const wchar_t* name;
    EmuFault fault;
    const wchar_t* what;
} kFaultNames[] = {
    {L"stop-reading", EmuFault::kStopReading, L"never read: the client's writes fill the pipe, then wait"},
    {L"short-frames", EmuFault::kShortFrames, L"every message cut to 8 bytes"},
    {L"raw-length", EmuFault::kRawLength, L"a bare length field 0xFFFFFFF0 instead of the greeting"},
    {L"huge-notification", EmuFault::kHugeNotification, L"a 64 MiB notification before the greeting"},
    {L"slow-replies", EmuFault::kSlowReplies, L"settings replies 4 s late (the library waits 3 s)"},
    {L"churn", EmuFault::kChurn, L"break every connection right after its greeting"},
    {L"down:SECONDS", EmuFault::kDown, L"after the first client's greeting, go away for SECONDS (1-3600), then return"},
};

std::wstring FaultNames() {
    std::wstring names;
    for (const auto& row : kFaultNames) names += (names.empty() ? L"" : L", ") + std::wstring(row.name);
    return names;
}

bool ParseFault(const std::wstring& name, EmuOptions* options, std::wstring* error) {
    if (name == L"help") {
        options->faultHelp = true;
        return true;
    }
    if (name.compare(0, 5, L"down:") == 0) {
        uint32_t seconds = 0;
        if (!zktools::ParseU32(name.substr(5), &seconds) || seconds == 0 || seconds > kMaxDownSeconds) {
            *error = zktools::Format(L"--fault down:SECONDS: give 1 to %u seconds", kMaxDownSeconds);
            return false;
        }
        options->fault = EmuFault::kDown;
        options->downSeconds = seconds;
        return true;
    }
    for (const auto& row : kFaultNames)
        if (name == row.name && row.fault != EmuFault::kDown) {
            options->fault = row.fault;
            return true;
        }
    *error = zktools::Format(L"--fault: unknown fault '%s' (%s; --fault help describes them)", name.c_str(),
                             FaultNames().c_str());
    return false;
}

// One option as written: its name, its value (when it takes one), and the options it goes into.
struct OptionArg {
    std::wstring name;
    std::wstring value;
    EmuOptions* options;
    std::wstring* error;

    bool Fail(const std::wstring& message) const {
        *error = message;
        return false;
    }
    bool Number(uint32_t* out) const {
        if (zktools::ParseU32(value, out)) return true;
        return Fail(zktools::Format(L"%s: '%s' is not a 32-bit number", name.c_str(), value.c_str()));
    }
    // A name for a kernel object: not empty, no backslash, at most maxLength characters.
    bool PlainName(std::wstring* out, size_t maxLength, const wchar_t* message) const {
        if (value.empty() || value.find(L'\\') != std::wstring::npos || value.size() > maxLength) return Fail(message);
        *out = value;
        return true;
    }
};

// An option: its names, whether it takes a value ("--name value" or "--name=value"), and what it does.
struct EmuOptionRow {
    const wchar_t* name;
    const wchar_t* alias;  // nullptr: none
    bool takesValue;
    bool (*apply)(const OptionArg& arg);
};

bool SetHelp(const OptionArg& arg) {
    arg.options->help = true;
    return true;
}

bool SetQuiet(const OptionArg& arg) {
    arg.options->quiet = true;
    return true;
}

bool SetDeviceFile(const OptionArg& arg) {
    arg.options->deviceFile = arg.value;
    return true;
}

bool SetSettingsFile(const OptionArg& arg) {
    arg.options->settingsFile = arg.value;
    return true;
}

// --status N: both replies' status.
bool SetStatus(const OptionArg& arg) {
    if (!arg.Number(&arg.options->getStatus)) return false;
    arg.options->setStatus = arg.options->getStatus;
    return true;
}

bool SetUnknownEvent(const OptionArg& arg) {
    if (!arg.Number(&arg.options->unknownEvent)) return false;
    arg.options->sendUnknown = true;
    return true;
}

bool SetDropAfter(const OptionArg& arg) {
    if (!arg.Number(&arg.options->dropAfter)) return false;
    return arg.options->dropAfter != 0 || arg.Fail(L"--drop-after: give a count of at least 1");
}

bool SetExitAfter(const OptionArg& arg) {
    uint32_t seconds = 0;
    if (!arg.Number(&seconds)) return false;
    if (seconds == 0 || seconds > 86400u * 7) return arg.Fail(L"--exit-after: give 1 to 604800 seconds");
    arg.options->exitAfterMs = seconds * 1000u;
    return true;
}

bool SetPipe(const OptionArg& arg) {
    return arg.PlainName(&arg.options->pipeName, 200, L"--pipe: give a plain pipe name without backslashes");
}

bool SetControl(const OptionArg& arg) {
    return arg.PlainName(&arg.options->control, std::wstring::npos, L"--control: give a plain name without backslashes");
}

const EmuOptionRow kEmuOptionRows[] = {
    {L"--help", L"-h", false, &SetHelp},
    {L"/?", nullptr, false, &SetHelp},
    {L"--quiet", L"-q", false, &SetQuiet},
    {L"--pipe", nullptr, true, &SetPipe},
    {L"--devices", nullptr, true, &SetDeviceFile},
    {L"--settings-file", nullptr, true, &SetSettingsFile},
    {L"--status", nullptr, true, &SetStatus},
    {L"--get-status", nullptr, true, [](const OptionArg& a) { return a.Number(&a.options->getStatus); }},
    {L"--set-status", nullptr, true, [](const OptionArg& a) { return a.Number(&a.options->setStatus); }},
    {L"--delay", nullptr, true, [](const OptionArg& a) { return a.Number(&a.options->delayMs); }},
    {L"--withhold", nullptr, true, [](const OptionArg& a) { return ParseWithhold(a.value, &a.options->withhold, a.error); }},
    {L"--drop-after", nullptr, true, &SetDropAfter},
    {L"--fault", nullptr, true, [](const OptionArg& a) { return ParseFault(a.value, a.options, a.error); }},
    {L"--unknown-event", nullptr, true, &SetUnknownEvent},
    {L"--control", nullptr, true, &SetControl},
    {L"--exit-after", nullptr, true, &SetExitAfter},
};

const EmuOptionRow* FindEmuOption(const std::wstring& name) {
    for (const EmuOptionRow& row : kEmuOptionRows)
        if (name == row.name || (row.alias != nullptr && name == row.alias)) return &row;
    return nullptr;
}

// --signal NAME ACTION [SECONDS]: its words follow it, *i moves past them.
bool ParseSignal(const std::vector<std::wstring>& args, size_t* i, EmuOptions* result, std::wstring* error) {
    if (*i + 2 >= args.size()) {
        *error = L"--signal needs a control name and an action";
        return false;
    }
    result->signalName = args[++*i];
    result->signalAction = args[++*i];
    // An empty name would read as no --signal at all: the program would serve the pipe instead.
    if (result->signalName.empty() || result->signalName.find(L'\\') != std::wstring::npos) {
        *error = L"--signal: give a plain control name";
        return false;
    }
    if (!IsControlAction(result->signalAction)) {
        *error = zktools::Format(L"--signal: unknown action '%s' (stop, drop, unknown, devices, down SECONDS)",
                                 result->signalAction.c_str());
        return false;
    }
    if (result->signalAction != L"down") return true;
    if (*i + 1 < args.size() && zktools::ParseU32(args[++*i], &result->signalSeconds) && result->signalSeconds != 0 &&
        result->signalSeconds <= kMaxDownSeconds)
        return true;
    *error = zktools::Format(L"--signal NAME down SECONDS: give 1 to %u seconds", kMaxDownSeconds);
    return false;
}

// args[*i] and, when it takes one and has none after '=', its value (*i moves past it).
bool ParseEmuOption(const std::vector<std::wstring>& args, size_t* i, EmuOptions* result, std::wstring* error) {
    OptionArg arg{args[*i], L"", result, error};
    const size_t eq = arg.name.find(L'=');
    const bool inlineValue = arg.name.compare(0, 2, L"--") == 0 && eq != std::wstring::npos;
    if (inlineValue) {
        arg.value = arg.name.substr(eq + 1);
        arg.name.resize(eq);
    }
    if (arg.name == L"--signal" && !inlineValue) return ParseSignal(args, i, result, error);
    if (arg.name == L"--signal") return arg.Fail(L"--signal needs a control name and an action");
    const EmuOptionRow* row = FindEmuOption(arg.name);
    if (row == nullptr) return arg.Fail(zktools::Format(L"unknown option '%s'", args[*i].c_str()));
    if (!row->takesValue && inlineValue) return arg.Fail(zktools::Format(L"%s takes no value", arg.name.c_str()));
    if (row->takesValue && !inlineValue) {
        if (*i + 1 >= args.size()) return arg.Fail(zktools::Format(L"%s needs a value", arg.name.c_str()));
        arg.value = args[++*i];
    }
    return row->apply(arg);
}

}  // namespace

bool ParseEmuOptions(const std::vector<std::wstring>& args, EmuOptions* options, std::wstring* error) {
    EmuOptions result;
    for (size_t i = 0; i < args.size(); ++i)
        if (!ParseEmuOption(args, &i, &result, error)) return false;
    *options = result;
    return true;
}

std::wstring EmuUsage() {
    return
        L"tessaline-emu - stands in for the Tessaline audio service, so applications using\r\n"
        L"zksndapi.dll can be developed and tested without it.\r\n"
        L"\r\n"
        L"Usage: tessaline-emu [options]\r\n"
        L"       tessaline-emu --signal NAME ACTION [SECONDS]\r\n"
        L"\r\n"
        L"Serves the service pipe, answers the library's requests and prints one line per\r\n"
        L"connection, disconnection and message received ('<-') or sent ('->').\r\n"
        L"\r\n"
        L"Options:\r\n"
        L"  --devices FILE       devices from FILE (default: two render devices, one capture\r\n"
        L"                       device). One device per line: KIND ID DEFAULT EXTRA NAME,\r\n"
        L"                       KIND render, capture or a number; '#' starts a comment.\r\n"
        L"  --settings-file FILE keep the 336-byte settings record in FILE: read at start when\r\n"
        L"                       it exists, written after every change (default: memory only)\r\n"
        L"  --status N           status carried by settings replies (default 0)\r\n"
        L"  --get-status N       ... by get-settings replies only\r\n"
        L"  --set-status N       ... by set-settings replies only\r\n"
        L"  --delay MS           wait MS milliseconds before every answer\r\n"
        L"  --withhold LIST      never send these answers (comma-separated): server-info,\r\n"
        L"                       device-list, get-settings, set-settings, settings, all\r\n"
        L"  --drop-after N       break each connection after its Nth received message\r\n"
        L"  --fault NAME         break the service on purpose: stop-reading, short-frames,\r\n"
        L"                       raw-length, huge-notification, slow-replies, churn,\r\n"
        L"                       down:SECONDS; --fault help says what each does\r\n"
        L"  --unknown-event CODE after the server information, also send a notification with\r\n"
        L"                       this event code (the library ignores codes 4 and up)\r\n"
        L"  --control NAME       obey --signal NAME ACTION (below); sets the event NAME.ready\r\n"
        L"                       once the pipe is served\r\n"
        L"  --exit-after SECONDS stop after SECONDS seconds\r\n"
        L"  --pipe NAME          serve another pipe name (default: the service's)\r\n"
        L"  --quiet, -q          print nothing but errors\r\n"
        L"  --help, -h           this text\r\n"
        L"\r\n"
        L"--signal NAME ACTION pokes an emulator started with --control NAME, then exits:\r\n"
        L"  stop     stop it cleanly\r\n"
        L"  drop     break every client connection\r\n"
        L"  unknown  send every client a notification with the --unknown-event code (9)\r\n"
        L"  devices  send every client the device list unasked (with no client connected:\r\n"
        L"           the next client to connect, after its greeting)\r\n"
        L"  down S   go away for S seconds (every connection ends, the pipe is gone), then\r\n"
        L"           serve again\r\n"
        L"\r\n"
        L"Ctrl+C or closing the console also stops it cleanly.\r\n"
        L"\r\n"
        L"Exit codes: 0 stopped normally; 1 failure while running; 2 bad command line;\r\n"
        L"3 the pipe is already served (the service or another emulator runs); 4 device or\r\n"
        L"settings file unusable; 5 --signal found no emulator with that name.\r\n";
}

std::wstring EmuFaultHelp() {
    std::wstring text = L"Faults for --fault NAME:\r\n";
    for (const auto& row : kFaultNames) text += zktools::Format(L"  %-18s %s\r\n", row.name, row.what);
    return text;
}

}  // namespace tessaline_emu
