// The tools' building blocks, in process: framing, device files, command lines, output.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/common/ConsoleOut.h"
#include "tools/tessaline-emu/DeviceFile.h"
#include "tools/tessaline-emu/EmuOptions.h"
#include "tools/tessaline-emu/EmuState.h"
#include "tools/tessaline-emu/FrameReader.h"
#include "tools/zksndctl/CtlOptions.h"

using namespace tessaline_emu;

namespace {

std::vector<std::wstring> Split(const std::wstring& line) {
    std::vector<std::wstring> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == L' ') ++i;
        const size_t start = i;
        while (i < line.size() && line[i] != L' ') ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

// ---- Framing -------------------------------------------------------------

TEST(FrameReader, ReassemblesFramesFedOneByteAtATime) {
    std::vector<uint8_t> stream;
    for (const std::vector<uint8_t>& m : {std::vector<uint8_t>{1, 2, 3}, std::vector<uint8_t>(5000, 0xAB)}) {
        const std::vector<uint8_t> f = MakeFrame(m);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    CFrameReader reader(1 << 20);
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> message;
    for (uint8_t byte : stream) {
        reader.Append(&byte, 1);
        while (reader.Next(&message, nullptr) == CFrameReader::kFrame) got.push_back(message);
    }
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), got[0]);
    EXPECT_EQ(std::vector<uint8_t>(5000, 0xAB), got[1]);
    EXPECT_EQ(0u, reader.Pending());
}

TEST(FrameReader, FramePrefixIsLittleEndianLength) {
    const std::vector<uint8_t> frame = MakeFrame(std::vector<uint8_t>(0x0102, 7));
    ASSERT_EQ(4u + 0x0102, frame.size());
    EXPECT_EQ(0x02, frame[0]);
    EXPECT_EQ(0x01, frame[1]);
    EXPECT_EQ(0x00, frame[2]);
    EXPECT_EQ(0x00, frame[3]);
}

// ---- Numbers ---------------------------------------------------------------

TEST(ParseU32, AcceptsDecimalAndHexOnlyWhole) {
    struct Case { const wchar_t* text; bool ok; uint32_t value; };
    const Case cases[] = {
        {L"0", true, 0}, {L"4294967295", true, 0xFFFFFFFFu}, {L"0x1F", true, 31}, {L"0XfF", true, 255},
        {L"4294967296", false, 0}, {L"", false, 0}, {L"-1", false, 0}, {L"12a", false, 0}, {L"0x", false, 0},
        {L" 1", false, 0}, {L"0x100000000", false, 0},
    };
    for (const Case& c : cases) {
        uint32_t value = 12345;
        EXPECT_EQ(c.ok, zktools::ParseU32(c.text, &value)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.value, value) << c.text;
        }
    }
}

// ---- Device files ------------------------------------------------------------

TEST(DeviceText, ParsesFieldsKindsCommentsAndNamesWithBlanks) {
    std::vector<EmuDevice> devices;
    std::wstring error;
    ASSERT_TRUE(ParseDeviceText(L"# comment\r\n\r\n  render 1 1 0   Big  Speakers  \r\ncapture 0x2 0 9 Mic\n"
                                L"5 3 0 0xFFFFFFFF Odd kind\n",
                                &devices, &error))
        << error;
    ASSERT_EQ(3u, devices.size());
    EXPECT_EQ(1u, devices[0].render);
    EXPECT_EQ(L"Big  Speakers", devices[0].name);
    EXPECT_EQ(2u, devices[1].id);
    EXPECT_EQ(0u, devices[1].render);
    EXPECT_EQ(9u, devices[1].extra);
    EXPECT_EQ(5u, devices[2].render);
    EXPECT_EQ(0xFFFFFFFFu, devices[2].extra);
}

TEST(DeviceText, NamesTheLineOfEachMistake) {
    struct Case { const wchar_t* text; const wchar_t* message; };
    const Case cases[] = {
        {L"render 1 1 0\n", L"line 1: missing device name"},
        {L"render 1 1\n", L"line 1: missing extra"},
        {L"# ok\nrender x 1 0 A\n", L"line 2: id 'x' is not a 32-bit number"},
        {L"render 1 1 0 A\nloud 1 1 0 B\n", L"line 2: kind 'loud'"},
        {L"# only a comment\n", L"no devices"},
        {L"", L"no devices"},
    };
    for (const Case& c : cases) {
        std::vector<EmuDevice> devices;
        std::wstring error;
        EXPECT_FALSE(ParseDeviceText(c.text, &devices, &error)) << c.text;
        EXPECT_EQ(0u, error.find(c.message)) << error;
        EXPECT_TRUE(devices.empty());
    }
    std::wstring tooLong = L"render 1 1 0 " + std::wstring(kMaxDeviceName + 1, L'n');
    std::vector<EmuDevice> devices;
    std::wstring error;
    EXPECT_FALSE(ParseDeviceText(tooLong, &devices, &error));
}

TEST(DeviceText, DecodesUtf8Utf8BomAndUtf16Bom) {
    std::wstring text;
    ASSERT_TRUE(DecodeTextFile({0xEF, 0xBB, 0xBF, 'a', 0xC3, 0xA9}, &text));
    EXPECT_EQ(L"a\u00E9", text);
    ASSERT_TRUE(DecodeTextFile({0xFF, 0xFE, 'x', 0, 0xE9, 0}, &text));
    EXPECT_EQ(L"x\u00E9", text);
    EXPECT_FALSE(DecodeTextFile({'a', 0xFF, 'b'}, &text));       // not UTF-8
    EXPECT_FALSE(DecodeTextFile({0xFF, 0xFE, 'x', 0, 'y'}, &text));  // half a UTF-16 unit
}

// ---- Shared state --------------------------------------------------------------

TEST(EmuState, SettingsFileThatCannotBeWrittenKeepsTheOldRecord) {
    CEmuState state(DefaultDevices(), L"Z:\\no\\such\\folder\\settings.bin");
    uint8_t record[kSndSettingsSize];
    std::memset(record, 0x5A, sizeof(record));
    DWORD error = 0;
    EXPECT_FALSE(state.SetSettings(record, &error));
    EXPECT_NE(0u, error);
    uint8_t now[kSndSettingsSize];
    state.GetSettings(now);
    EXPECT_EQ(0, now[0]);
}

// ---- tessaline-emu command line ------------------------------------------------

TEST(EmuOptions, ParsesEveryOptionInBothSpellings) {
    EmuOptions o;
    std::wstring error;
    ASSERT_TRUE(ParseEmuOptions(Split(L"--devices d.txt --settings-file=s.bin --status 5 --set-status 0x490 "
                                      L"--delay=250 --withhold device-list,set-settings --drop-after 3 "
                                      L"--unknown-event 6 --control c1 --exit-after 9 --pipe p -q"),
                                &o, &error))
        << error;
    EXPECT_EQ(L"d.txt", o.deviceFile);
    EXPECT_EQ(L"s.bin", o.settingsFile);
    EXPECT_EQ(5u, o.getStatus);
    EXPECT_EQ(0x490u, o.setStatus);
    EXPECT_EQ(250u, o.delayMs);
    EXPECT_EQ(static_cast<uint32_t>(kWithholdDeviceList | kWithholdSetSettings), o.withhold);
    EXPECT_EQ(3u, o.dropAfter);
    EXPECT_TRUE(o.sendUnknown);
    EXPECT_EQ(6u, o.unknownEvent);
    EXPECT_EQ(L"c1", o.control);
    EXPECT_EQ(9000u, o.exitAfterMs);
    EXPECT_EQ(L"p", o.pipeName);
    EXPECT_TRUE(o.quiet);

    EmuOptions defaults;
    ASSERT_TRUE(ParseEmuOptions({}, &defaults, &error));
    EXPECT_EQ(std::wstring(kServicePipeName), defaults.pipeName);
    EXPECT_EQ(0u, defaults.withhold);
    EXPECT_FALSE(defaults.sendUnknown);
}

TEST(EmuOptions, RejectsWhatItCannotMeanToDo) {
    const wchar_t* bad[] = {
        L"--drop-after 0", L"--exit-after 0", L"--pipe a\\b", L"--withhold all,nothing", L"--quiet=yes",
        L"--status", L"--signal onlyname", L"--signal n reboot", L"--control", L"extra",
    };
    for (const wchar_t* line : bad) {
        EmuOptions o;
        std::wstring error;
        EXPECT_FALSE(ParseEmuOptions(Split(line), &o, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

// ---- zksndctl command line and output -------------------------------------------

TEST(CtlOptions, ParsesValuesAnywhereOnTheLine) {
    zksndctl::CtlOptions o;
    std::wstring error;
    ASSERT_TRUE(zksndctl::ParseCtlOptions(Split(L"--timeout 250 set-default 4294967295"), &o, &error));
    EXPECT_EQ(0xFFFFFFFFu, o.device);
    EXPECT_EQ(250u, o.timeoutMs);
    ASSERT_TRUE(zksndctl::ParseCtlOptions(Split(L"watch --seconds 3 --no-list"), &o, &error));
    EXPECT_EQ(3u, o.seconds);
    EXPECT_FALSE(o.requestList);
    ASSERT_TRUE(zksndctl::ParseCtlOptions(Split(L"settings set in.bin"), &o, &error));
    EXPECT_EQ(zksndctl::Command::SettingsSet, o.command);
    EXPECT_EQ(L"in.bin", o.file);
    ASSERT_TRUE(zksndctl::ParseCtlOptions(Split(L"locked --dll C:\\x.dll"), &o, &error));
    EXPECT_EQ(zksndctl::Command::Locked, o.command);
    EXPECT_EQ(L"C:\\x.dll", o.dllPath);
}

TEST(CtlOptions, RejectsMisplacedOrMissingParts) {
    const wchar_t* bad[] = {
        L"", L"dance", L"set-default", L"set-default -1", L"set-default 1 2", L"settings", L"settings put",
        L"settings set", L"devices --out x", L"settings get --json", L"locked --seconds 2", L"devices --no-list",
        L"--timeout 0 devices", L"watch --seconds 0", L"devices --verbose", L"--dll",
    };
    for (const wchar_t* line : bad) {
        zksndctl::CtlOptions o;
        std::wstring error;
        EXPECT_FALSE(zksndctl::ParseCtlOptions(Split(line), &o, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(CtlOutput, StatusesInWordsAndExitCodes) {
    EXPECT_EQ(L"not connected to the service (status 20)", zksndctl::DescribeStatus(20));
    EXPECT_EQ(L"access denied (status 8)", zksndctl::DescribeStatus(8));
    EXPECT_EQ(L"unknown status (status 9)", zksndctl::DescribeStatus(9));
    EXPECT_EQ(0, zksndctl::ExitCodeForStatus(0));
    EXPECT_EQ(11, zksndctl::ExitCodeForStatus(1));
    EXPECT_EQ(30, zksndctl::ExitCodeForStatus(20));
    EXPECT_EQ(1, zksndctl::ExitCodeForStatus(0xFFFFFFFFu));
}

TEST(CtlOutput, JsonEscapesNamesAndTableAlignsColumns) {
    std::vector<zksndctl::DeviceRow> rows(2);
    rows[0] = {0, 1, 1, 0, L"Quote \" back\\slash\ttab"};
    rows[1] = {123456, 0, 0, 7, L"Mic\x01"};
    const std::wstring json = zksndctl::FormatDeviceJson(rows);
    EXPECT_NE(std::wstring::npos, json.find(L"\"name\": \"Quote \\\" back\\\\slash\\ttab\"")) << json;
    EXPECT_NE(std::wstring::npos, json.find(L"Mic\\u0001")) << json;
    EXPECT_NE(std::wstring::npos, json.find(L"\"id\": 123456, \"default\": false, \"kind\": \"capture\", \"extra\": 7"));
    EXPECT_EQ(L"[]\r\n", zksndctl::FormatDeviceJson({}));

    const std::wstring table = zksndctl::FormatDeviceTable(rows);
    const size_t header = table.find(L"NAME");
    const size_t line1 = table.find(L"Quote");
    const size_t line2 = table.find(L"Mic");
    ASSERT_NE(std::wstring::npos, line2);
    // NAME starts at the same column in every line.
    EXPECT_EQ(header, line1 - (table.find(L"\r\n") + 2));
    EXPECT_EQ(header, line2 - (table.find(L"\r\n", line1) + 2));
}

}  // namespace
