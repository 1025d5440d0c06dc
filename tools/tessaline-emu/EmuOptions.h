// Command line of tessaline-emu.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessaline_emu {

// The well-known name of the service pipe (without the "\\.\pipe\" prefix).
extern const wchar_t kServicePipeName[];

// Which answers the emulator keeps to itself (--withhold).
enum WithholdBits : uint32_t {
    kWithholdServerInfo = 1u << 0,
    kWithholdDeviceList = 1u << 1,
    kWithholdGetSettings = 1u << 2,
    kWithholdSetSettings = 1u << 3,
    kWithholdAll = 0xFu,
};

// Faults of the wire, for trying a client against a broken service (the
// test kit's hostile service selects them).
enum class EmuFault {
    kNone,
    kStopReading,       // never reads: the client's writes fill the pipe and then wait
    kShortFrames,       // every message goes out cut to 8 bytes, its size field saying 8
    kRawLength,         // the first message is replaced by a bare length field 0xFFFFFFF0; nothing follows
    kHugeNotification,  // a 64 MiB device notification before the greeting
    kSlowReplies,       // replies to numbered requests wait faultDelayMs first
    kChurn,             // every connection is broken right after its greeting
    kDown,              // after the first client's greeting the service goes away for downSeconds, then returns
};

// The pipe's instance limit that means none (PIPE_UNLIMITED_INSTANCES).
const uint32_t kEmuUnlimitedInstances = 255;
// kHugeNotification: the notification's whole length.
const uint32_t kEmuHugeNotificationSize = 64u << 20;
// kRawLength: the bare length field, announcing nearly 4 GiB.
const uint32_t kEmuRawLength = 0xFFFFFFF0u;

struct EmuOptions {
    std::wstring pipeName = kServicePipeName;
    std::wstring deviceFile;       // empty: the built-in devices
    std::wstring settingsFile;     // empty: settings kept in memory only
    uint32_t getStatus = 0;        // status carried by get-settings replies
    uint32_t setStatus = 0;        // status carried by set-settings replies
    uint32_t delayMs = 0;          // pause before every answer
    uint32_t withhold = 0;         // WithholdBits
    uint32_t dropAfter = 0;        // break a connection after its Nth message; 0: never
    bool sendUnknown = false;      // send an unknown notification after the server information
    uint32_t unknownEvent = 9;     // its event code (also used by the "unknown" control action)
    std::wstring control;          // prefix of the named control events; empty: none
    uint32_t exitAfterMs = 0;      // stop on its own after this long; 0: run until stopped
    bool quiet = false;            // no traffic lines
    // Where traffic lines go (with their time stamp); empty: the console.
    std::function<void(const std::wstring&)> output;
    EmuFault fault = EmuFault::kNone;
    uint32_t faultDelayMs = 4000;  // kSlowReplies: longer than the library's 3 s reply wait
    uint32_t downSeconds = 0;      // kDown: how long the service is away
    bool faultHelp = false;        // --fault help: list the faults and exit
    uint32_t maxInstances = kEmuUnlimitedInstances;  // connections at once
    uint32_t defaultTimeoutMs = 0; // the pipe's default wait for clients (0: the system's 50 ms)
    uint32_t bufferSize = 65536;   // the pipe's buffer, each direction

    // --signal NAME ACTION: poke a running emulator instead of running one.
    std::wstring signalName;
    std::wstring signalAction;
    uint32_t signalSeconds = 0;    // the down action's length

    bool help = false;
};

// The control actions a running emulator answers (named event NAME.action;
// for down, a named semaphore whose release count is the seconds).
extern const wchar_t* const kControlActions[];
const size_t kControlActionCount = 5;  // stop, drop, unknown, devices, down
// The longest outage the down action and --fault down take.
const uint32_t kMaxDownSeconds = 3600;
bool IsControlAction(const std::wstring& action);

// Parses argv[1..]; false with a message on a usage error.
bool ParseEmuOptions(const std::vector<std::wstring>& args, EmuOptions* options, std::wstring* error);

// Text printed by --help, and by --fault help.
std::wstring EmuUsage();
std::wstring EmuFaultHelp();

// Exit codes.
enum EmuExit : int {
    kEmuExitOk = 0,
    kEmuExitFailure = 1,     // unexpected failure at run time
    kEmuExitUsage = 2,       // bad command line
    kEmuExitPipeBusy = 3,    // the pipe exists already: the service or another emulator runs
    kEmuExitBadFile = 4,     // device or settings file unusable
    kEmuExitNoTarget = 5,    // --signal: no emulator with that control name runs
};

}  // namespace tessaline_emu
