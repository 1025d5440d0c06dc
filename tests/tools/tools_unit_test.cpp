// The tools' parsers and formats, and the emulator's pipe security, in process.
#include <windows.h>

#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "tests/support/ChildProcess.h"
#include "tests/support/Dacl.h"
#include "tests/support/LumCapture.h"
#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/DeviceFile.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/EmuServer.h"
#include "tools/zksndctl/CtlOptions.h"
#include "tools/zksndctl/CtlRunner.h"
#include "tools/zksndctl/CtlSystem.h"

using namespace tessaline_emu;
using zktools::Format;

namespace {

std::vector<std::wstring> Split(const std::wstring& line) {
    std::wistringstream in(line);
    return {std::istream_iterator<std::wstring, wchar_t>(in), std::istream_iterator<std::wstring, wchar_t>()};
}

// A device file's bytes, decoded and parsed: the devices as "id def render extra [name]", or the error.
TEST(DeviceFile, ParsesEveryDeviceOrNamesTheLineOfTheMistake) {
    const std::string utf16("\xFF\xFE" "c\0a\0p\0t\0u\0r\0e\0 \0" "7\0 \0" "0\0 \0" "0\0 \0" "\xE9\0", 32);
    const std::pair<std::string, const wchar_t*> cases[] = {
        {"# c\r\n\r\n  render 1 1 0   Big  Speakers  \r\ncapture 0x2 0 9 Mic\n5 3 0 0xFFFFFFFF Odd kind\n",
         L"1 1 1 0 [Big  Speakers] 2 0 0 9 [Mic] 3 0 5 4294967295 [Odd kind] "},
        {utf16, L"7 0 0 0 [\u00E9] "},
        {"render 1 1 0\n", L"line 1: missing device name"},
        {"# ok\nrender x 1 0 A\n", L"line 2: id 'x' is not a 32-bit number"},
        {"render 0x100000000 1 0 A\n", L"line 1: id '0x100000000' is not a 32-bit number"},
        {"render 1 1 0 " + std::string(kMaxDeviceName + 1, 'n'), L"line 1: device name longer than 1024 characters"},
        // Escapes in the name; the blank at its start survives as \x20.
        {"render 1 1 0 \\x20A\\tB\\\\C\\e[1m\\r\\nD\\x7e\\xE9 \n", L"1 1 1 0 [ A\tB\\C\x1b[1m\r\nD~\u00E9] "},
        {"render 1 1 0 A\nrender 2 0 0 B\\qC\n", L"line 2: bad escape '\\q' in device name (\\n \\r \\t \\e \\\\ \\xHH are known)"},
        {"render 1 1 0 A\\x4\n", L"line 1: bad escape '\\x4' in device name: \\x takes two hex digits"},
        {"render 1 1 0 A\\\n", L"line 1: device name ends in a lone backslash (write \\\\ for one)"},
        {"render 1 1 0 A\\x00B", L"line 1: device name contains a zero character"},
        {"# only a comment\n", L"no devices"},
        {"a\xFF" "b", L"undecodable"},
        {utf16.substr(0, 31), L"undecodable"},  // half a UTF-16 unit
        {utf16.substr(2), L"7 0 0 0 [\u00E9] "},  // no byte-order mark
        {std::string("\0r\0e", 4), L"undecodable"},  // big-endian
    };
    for (const auto& [bytes, expected] : cases) {
        std::wstring text, result;
        std::vector<EmuDevice> devices;
        if (!DecodeTextFile(std::vector<uint8_t>(bytes.begin(), bytes.end()), &text)) result = L"undecodable";
        else ParseDeviceText(text, &devices, &result);  // the message lands in result
        for (const EmuDevice& d : devices)
            result += Format(L"%u %u %u %u [%s] ", d.id, d.def, d.render, d.extra, d.name.c_str());
        EXPECT_EQ(std::wstring(expected), result) << bytes;
    }
}

// Each row: a command line and a part of what it parses to (the options as text), or "error: " and the message.
using ParseRow = std::pair<const wchar_t*, const wchar_t*>;

TEST(CommandLine, EmulatorParsesOptionsAndRefusesMistakes) {
    const ParseRow rows[] = {
        {L"--fault=loud", L"error: --fault: unknown fault 'loud'"},
        {L"--devices d.txt --settings-file=s.bin --status 5", L"devices=d.txt settings=s.bin status=5/5 "},
        {L"--get-status 7 --set-status 0x490 --delay=250 --withhold device-list,set-settings --drop-after 3 "
         L"--unknown-event 6", L"status=7/1168 delay=250 drop=3 unknown=1/6 withhold=a "},
        {L"--withhold all --control c1 --exit-after 9 --pipe p -q", L"withhold=f control=c1 exit=9000 quiet=1 pipe=p "},
        {L"--signal n devices", L"signal=n/devices"},
        {L"--drop-after 0", L"error: --drop-after: give a count of at least 1"},
        {L"--pipe a\\b", L"error: --pipe: give a plain pipe name"},
        {L"--withhold all,nothing", L"error: --withhold: unknown answer 'nothing'"},
        {L"--status", L"error: --status needs a value"},
        {L"--delay -1", L"error: --delay: '-1' is not a 32-bit number"},
        {L"--signal n reboot", L"error: --signal: unknown action 'reboot'"},
        {L"extra", L"error: unknown option 'extra'"},
    };
    for (const auto& [line, expected] : rows) {
        EmuOptions e;
        std::wstring error;
        const std::wstring result = !ParseEmuOptions(Split(line), &e, &error) ? L"error: " + error : Format(
            L"devices=%s settings=%s status=%u/%u delay=%u drop=%u unknown=%d/%u withhold=%x control=%s exit=%u "
            L"quiet=%d pipe=%s signal=%s/%s fault=%d",
            e.deviceFile.c_str(), e.settingsFile.c_str(), e.getStatus, e.setStatus, e.delayMs, e.dropAfter,
            e.sendUnknown, e.unknownEvent, e.withhold, e.control.c_str(), e.exitAfterMs, e.quiet,
            e.pipeName.c_str(), e.signalName.c_str(), e.signalAction.c_str(), static_cast<int>(e.fault));
        EXPECT_NE(std::wstring::npos, result.find(expected)) << line << "\n" << result;
    }
    EmuOptions unnamed;
    std::wstring error;
    EXPECT_FALSE(ParseEmuOptions({L"--signal", L"", L"stop"}, &unnamed, &error)) << "an empty control name";
}

TEST(CommandLine, ZksndctlParsesOptionsAndRefusesMistakes) {
    const ParseRow rows[] = {
        {L"--timeout 250 set-default 4294967295", L"set-default dll= timeout=250 json=0 device=4294967295 "},
        {L"set-default 0x1F --dll C:\\x.dll", L"set-default dll=C:\\x.dll timeout=5000 json=0 device=31 "},
        {L"watch --seconds 3 --no-list",
         L"watch dll= timeout=5000 json=0 device=0 force=0 file= seconds=3 list=0 lines=20 follow=0 level=-1"},
        {L"", L"error: no command given"},
        {L"set-default", L"error: set-default needs a device value"},
        {L"set-default 4294967296", L"error: set-default: '4294967296' is not a 32-bit number"},
        {L"set-default 1 2", L"error: unexpected '2'"},
        {L"settings set", L"error: settings set needs a file"},
        {L"devices --out x", L"error: --out belongs to 'settings get'"},
        {L"--json log tail -n 5 --follow --seconds 2", L"log-tail dll= timeout=5000 json=1 device=0 force=0 file= seconds=2 "
                                                       L"list=1 lines=5 follow=1 level=-1"},
        {L"--version devices", L"error: --version takes no command"},
        {L"log level 4", L"error: log level: give 0 (errors), 1 (warnings), 2 (info) or 3 (debug), not '4'"},
        {L"log rotate", L"error: log needs 'where', 'tail' or 'level'"},
        {L"log tail --seconds 3", L"error: --seconds belongs to 'watch' and 'log tail --follow'"},
        {L"watch --seconds 0", L"error: --seconds: give 1 to 604800"},
        {L"devices --verbose", L"error: unknown option '--verbose'"},
    };
    const wchar_t* names[] = {L"none",   L"devices",   L"set-default", L"settings-get", L"settings-set", L"watch",
                              L"locked", L"status",    L"log-where",   L"log-tail",     L"log-level",    L"version"};
    for (const auto& [line, expected] : rows) {
        zksndctl::CtlOptions c;
        std::wstring error;
        const std::wstring result = !zksndctl::ParseCtlOptions(Split(line), &c, &error) ? L"error: " + error : Format(
            L"%s dll=%s timeout=%u json=%d device=%u force=%d file=%s seconds=%u list=%d lines=%u follow=%d level=%d",
            names[static_cast<int>(c.command)], c.dllPath.c_str(), c.timeoutMs, c.json, c.device, c.force,
            c.file.c_str(), c.seconds, c.requestList, c.lines, c.follow, c.level);
        EXPECT_NE(std::wstring::npos, result.find(expected)) << line << "\n" << result;
    }
}

// A missing file is not found; the last lines of a file several read slices long; a follower starts
// at the unfinished line, gives each line once it ends, and across a rotation the rest of the old file
// before the new one.
TEST(CtlLog, TailGivesTheLastWholeLinesAndFollowEachLineOnceItEnds) {
    const zk_testkit::CTempFile file(L"ctl-log");
    std::vector<std::wstring> lines;
    uint64_t offset = 0;
    DWORD error = 0;
    const auto write = [&](const std::wstring& text) { return zktools::WriteWholeFile(file.path, text.data(), text.size() * 2, &error); };
    const auto taken = [&] {  // the lines read so far, joined with '|'; taken
        std::wstring all;
        for (const std::wstring& line : lines) all += line + L"|";
        lines.clear();
        return all;
    };
    EXPECT_FALSE(zksndctl::ReadLogTail(file.path, 3, &lines, &offset, &error)) << "read a file that does not exist";
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error) << "the error of a missing file";
    std::wstring big;
    for (int i = 0; i < 30000; ++i) big += Format(L"entry %05d \u00e9\r\n", i);  // ~900 KB
    ASSERT_TRUE(write(big + L"unfinished")) << error;
    ASSERT_TRUE(zksndctl::ReadLogTail(file.path, 3, &lines, &offset, &error)) << error;
    EXPECT_EQ(L"entry 29997 \u00e9|entry 29998 \u00e9|entry 29999 \u00e9|", taken()) << "the last three lines";
    EXPECT_EQ(big.size() * 2, offset) << "the follower's start";
    // A follower after the tail, in the file the tail read: an unfinished line is held back until it
    // ends; a file written anew shorter than what was read is read from its start; a file rotated
    // before the follower's first read (renamed away, a new one under the name) gives what was
    // appended to it first, then the new file from its start; rotated three times, the files between
    // too, each to its end before the next, though the first takes more than one read.
    const auto numbered = [&](int n) { return file.path.substr(0, file.path.size() - 4) + Format(L"(%02d).tmp", n); };
    const std::wstring rotated = numbered(1);
    const auto writeAt = [](const std::wstring& path, const std::wstring& text) {  // the same file written anew, as the log is
        CHandleHolder f(::CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_ALWAYS, 0, nullptr));
        DWORD put = 0;
        return f.is_valid() && ::SetEndOfFile(f.get()) && ::WriteFile(f.get(), text.data(), DWORD(text.size() * 2), &put, nullptr);
    };
    const auto inPlace = [&](const std::wstring& text) { return writeAt(file.path, text); };
    std::wstring middle, throughMiddle = L"last old line|";
    for (int i = 0; i < 150000; ++i) {  // 4.5 MB: more than one read
        middle += Format(L"middle %06d\r\n", i);
        throughMiddle += Format(L"middle %06d|", i);
    }
    throughMiddle += L"after middle|new line|";
    const struct { const wchar_t *first, *then, *renamed, *middle, *expected, *partial; } rows[] = {
        {L"first\r\nunfinished", L"first\r\nunfinished line\r\nnext\r\nha", nullptr, nullptr, L"unfinished line|next|", L"ha"},
        {L"old line one\r\nold line two\r\n", L"anew\r\n", nullptr, nullptr, L"anew|", L""},
        {L"old line\r\n", L"old line\r\nlast old line\r\n", L"new line\r\n", middle.c_str(), throughMiddle.c_str(), L""},
    };
    const auto readOn = [&](zksndctl::CLogFollower& f) { do ASSERT_TRUE(f.Read(&lines, &error)) << error; while (f.Behind()); };
    for (const auto& row : rows) {
        ASSERT_TRUE(write(row.first)) << error;
        CHandleHolder held;
        ASSERT_TRUE(zksndctl::ReadLogTail(file.path, 3, &lines, &offset, &error, &held)) << error;
        zksndctl::CLogFollower follower(file.path, offset, std::move(held));
        lines.clear();
        ASSERT_TRUE(inPlace(row.then)) << ::GetLastError();
        if (row.renamed != nullptr) {
            ASSERT_TRUE(::MoveFileExW(file.path.c_str(), rotated.c_str(), MOVEFILE_REPLACE_EXISTING)) << ::GetLastError();
            ASSERT_TRUE(row.middle == nullptr || (inPlace(row.middle) && ::MoveFileExW(file.path.c_str(), numbered(2).c_str(), 0) &&
                                                  inPlace(L"after middle\r\n") && ::MoveFileExW(file.path.c_str(), numbered(3).c_str(), 0)));
            ASSERT_TRUE(inPlace(row.renamed)) << ::GetLastError();
        }
        readOn(follower);
        EXPECT_EQ(row.expected, taken()) << "the lines ended since the tail";
        EXPECT_EQ(row.partial, follower.Partial()) << "the line still being written";
        if (row.renamed == nullptr) continue;
        // A writer that has not seen the rotation yet appends to the renamed file.
        ASSERT_TRUE(writeAt(rotated, std::wstring(row.then) + L"late old line\r\n")) << ::GetLastError();
        readOn(follower);
        EXPECT_EQ(L"late old line|", taken()) << "the renamed file's late line";
    }
    // Rotated five times between two reads: the three files after the held one are read, then the
    // name's; the newest rotated one is skipped, and where is told.
    ASSERT_TRUE(inPlace(L"held\r\n")) << ::GetLastError();
    zksndctl::CLogFollower busy(file.path, 0);
    readOn(busy);
    for (int n = 1; n <= 5; ++n) {
        ASSERT_TRUE(::MoveFileExW(file.path.c_str(), numbered(n).c_str(), MOVEFILE_REPLACE_EXISTING)) << ::GetLastError();
        ASSERT_TRUE(inPlace(Format(L"file %d\r\n", n))) << ::GetLastError();
    }
    readOn(busy);
    EXPECT_EQ(L"held|file 1|file 2|file 3|file 5|", taken()) << "the lines across five rotations";
    // where the skipped file was (after the held line), and how many
    EXPECT_EQ((std::vector<zksndctl::CLogFollower::Skipped>{{4, 1}}), busy.LastSkipped());
    // An append cut short, read, undone by its writer and appended again whole: its unfinished line
    // once; the whole lines it had, again (the undo took them), but nothing before them. Then the
    // file written anew, no shorter than where the last read began: read from its start.
    zksndctl::CLogFollower undone(file.path, 0);
    for (const wchar_t* text : {L"a\r\n", L"a\r\npart", L"a\r\n", L"a\r\npart\r\n", L"a\r\npart\r\nb\r\nc",
                                L"a\r\npart\r\n", L"a\r\npart\r\nb\r\nc\r\n", L"a fresh line\r\n"}) {
        ASSERT_TRUE(inPlace(text)) << ::GetLastError();
        ASSERT_TRUE(undone.Read(&lines, &error)) << error;
    }
    EXPECT_EQ(L"a|part|b|b|c|a fresh line|", taken()) << "the lines of a file set back within the last read, then anew";
    // A file with no line end (not the library's): shown in pieces of 64 K characters, the rest held.
    ASSERT_TRUE(inPlace(std::wstring(200000, L'x'))) << ::GetLastError();
    ASSERT_TRUE(zksndctl::ReadLogTail(file.path, 3, &lines, &offset, &error)) << error;
    zksndctl::CLogFollower endless(file.path, offset);
    ASSERT_EQ(3u, lines.size()) << "the pieces of a line without end";
    lines.clear();
    ASSERT_TRUE(inPlace(std::wstring(200000, L'x') + std::wstring(70000, L'y'))) << ::GetLastError();
    ASSERT_TRUE(endless.Read(&lines, &error)) << error;
    EXPECT_EQ(1u, lines.size()) << "the held rest and what followed it, as one piece";
    EXPECT_EQ(200000u - 3 * 65536 + 70000u - 65536u, endless.Partial().size()) << "what is still held";
    for (int n = 1; n <= 5; ++n) ::DeleteFileW(numbered(n).c_str());
}

// A follow outlasts a log name that refuses it for a moment (deleted while still open, on Windows: a
// folder under that name stands in, Wine having no delete pending), then reads the log that comes,
// and ends, well before its --seconds, once nobody reads its output (`| more` quit).
TEST(CtlLog, AFollowWaitsOutANameRefusedForAMomentAndEndsWithItsReader) {
    const zk_testkit::CTempFile log(L"ctl-follow");
    ASSERT_TRUE(::CreateDirectoryW(log.path.c_str(), nullptr)) << ::GetLastError();
    zksndctl::CtlOptions options;
    options.seconds = 600;
    const CHandleHolder stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    const std::wstring folder = log.path.substr(0, log.path.find_last_of(L'\\') + 1);
    const zk_testkit::CTempFile printed(L"ctl-follow-out");  // the follow's standard output
    struct Redirected {
        const HANDLE saved = ::GetStdHandle(STD_OUTPUT_HANDLE);
        ~Redirected() { ::SetStdHandle(STD_OUTPUT_HANDLE, saved); }
    } redirected;
    CHandleHolder out(::CreateFileW(printed.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(out.is_valid() && ::SetStdHandle(STD_OUTPUT_HANDLE, out.get())) << ::GetLastError();
    int code = -1;
    zk_testkit::Background follow([&] { code = zksndctl::FollowLog(folder, log.path, 0, CHandleHolder(), options, stop.get()); });
    struct Stopped { HANDLE stop; ~Stopped() { ::SetEvent(stop); } } stopped{stop.get()};  // a follow that would not end
    EXPECT_FALSE(follow.Finished(3000)) << "the follow ended while the name was refused; exit " << code;
    ASSERT_TRUE(::RemoveDirectoryW(log.path.c_str())) << ::GetLastError();
    DWORD error = 0;
    ASSERT_TRUE(zktools::WriteWholeFile(log.path, L"line\r\n", 12, &error)) << error;
    for (int polls = 0; polls < 750 && zk_testkit::ReadFileText(printed.path).empty(); ++polls) ::Sleep(20);  // a file tells no event
    ASSERT_EQ("line\r\n", zk_testkit::ReadFileText(printed.path)) << "what the follow printed";
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    ASSERT_TRUE(::CreatePipe(&readEnd, &writeEnd, nullptr, 0)) << ::GetLastError();
    const CHandleHolder pipe(writeEnd);
    ::CloseHandle(readEnd);
    ASSERT_TRUE(::SetStdHandle(STD_OUTPUT_HANDLE, writeEnd)) << ::GetLastError();
    CHandleHolder appended(::CreateFileW(log.path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    DWORD put = 0;
    ASSERT_TRUE(::WriteFile(appended.get(), L"more\r\n", 12, &put, nullptr)) << ::GetLastError();
    ASSERT_TRUE(follow.Finished(15000)) << "the follow outlived the reader of its output";
    EXPECT_EQ(zksndctl::kExitOk, code);
}

// The reference service's pipe: its DACL lets everyone read and write but not create instances (checked on
// the ACEs: Wine enforces neither pipe DACLs nor FILE_FLAG_FIRST_PIPE_INSTANCE).
TEST(Emulator, PipeDaclLetsEveryoneReadAndWriteButNotCreateInstances) {
    tessaline_emu::CServicePipeSecurity security;
    ASSERT_TRUE(security.Build()) << "the security descriptor was not built";
    const PACL dacl = zk_testkit::DaclOf(security.descriptor());
    const DWORD everyone = zk_testkit::GrantedRights(dacl, zk_testkit::WellKnown(WinWorldSid));
    EXPECT_EQ(FILE_READ_DATA | FILE_WRITE_DATA, everyone & (FILE_READ_DATA | FILE_WRITE_DATA)) << "everyone reads and writes";
    EXPECT_EQ(0u, everyone & (FILE_CREATE_PIPE_INSTANCE | GENERIC_ALL | GENERIC_WRITE | WRITE_DAC))
        << "everyone may create instances or change the DACL";
}

}  // namespace
