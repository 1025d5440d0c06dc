#include "log/SystemDescription.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint16_t X86 = 0, IA64 = 6, X64 = 9, ARM64 = 12;
const uint8_t WS = 1, DC = 2, SRV = 3;

struct Row {
    uint32_t major, minor, build;
    uint8_t type;
    uint16_t suite, arch;
    int r2;
    const wchar_t* sp;
    const wchar_t* reg;  // the registry value the reader returns; null: unreadable
    const wchar_t* expected;
    uint32_t platform = 0;  // 0: NT
};

struct Reader {
    const wchar_t* value;
    std::vector<std::wstring> asked;
    static bool Read(void* ctx, const wchar_t* name, wchar_t* buf) {
        Reader* self = static_cast<Reader*>(ctx);
        self->asked.push_back(name);
        if (!self->value) return false;
        wcsncpy_s(buf, 128, self->value, _TRUNCATE);
        return true;
    }
};

std::wstring Describe(const Row& r, Reader* reader) {
    RTL_OSVERSIONINFOEXW v = {};
    v.dwOSVersionInfoSize = sizeof(v);
    v.dwMajorVersion = r.major, v.dwMinorVersion = r.minor, v.dwBuildNumber = r.build;
    v.dwPlatformId = r.platform ? r.platform : VER_PLATFORM_WIN32_NT;
    v.wProductType = r.type, v.wSuiteMask = r.suite;
    wcsncpy_s(v.szCSDVersion, 128, r.sp ? r.sp : L"", _TRUNCATE);
    ZkSystemFacts facts = {&v, r.arch, r.r2};
    std::vector<wchar_t> out(kSystemDescriptionChars, L'#');
    DescribeSystemFrom(facts, &Reader::Read, reader, out.data());
    return out.data();
}

TEST(SystemDescription, BuildTablesAtEveryBoundary) {
    typedef std::vector<std::pair<uint32_t, const wchar_t*>> Table;  // first build of each name
    const Table ws = {{10240, L"10 1507"}, {10586, L"10 1511"}, {14393, L"10 1607"}, {15063, L"10 1703"},
                      {16299, L"10 1709"}, {17134, L"10 1803"}, {17763, L"10 1809"}, {18362, L"10 1903"},
                      {18363, L"10 1909"}, {19041, L"10 2004"}, {19042, L"10 20H2"}, {19043, L"10 21H1"},
                      {19044, L"10 21H2"}, {19045, L"10 22H2"}, {22000, L"11 21H2"}, {22621, L"11 22H2"},
                      {22631, L"11 23H2"}, {26100, L"11 24H2"}, {26200, L"11 25H2"}, {26201, nullptr}};
    const Table srv = {{14393, L"Server 2016"}, {17763, L"Server 2019"}, {20348, L"Server 2022"},
                       {26100, L"Server 2025"}, {26101, nullptr}};
    for (uint8_t type : {WS, SRV, DC}) {
        const Table& t = type == WS ? ws : srv;
        for (size_t i = 0; i + 1 < t.size(); ++i) {
            for (uint32_t build : {t[i].first, t[i + 1].first - 1}) {  // both ends of the row
                Row row = {10, 0, build, type, 0, X64, 0, 0, L"XXXX", nullptr};
                Reader reader = {row.reg, {}};
                EXPECT_EQ(Describe(row, &reader), L"Windows " + std::wstring(t[i].second) + L" (build " +
                                                      std::to_wstring(build) + L"), 64-bit x86");
                EXPECT_TRUE(reader.asked.empty()) << build;
            }
        }
    }
}

TEST(SystemDescription, NamesBuildsServicePacksAndArchitectures) {
    const Row rows[] = {
        // above the last build the tables name, the registry names the release
        {10, 0, 26201, WS, 0, X64, 0, 0, L"26H1", L"Windows 11 26H1 (build 26201), 64-bit x86"},
        {10, 0, 26300, WS, 0, X64, 0, 0, 0, L"Windows 11  (build 26300), 64-bit x86"},
        {10, 0, 26101, SRV, 0, X64, 0, 0, L"Windows Server 2028", L"Windows Server 2028 (build 26101), 64-bit x86"},
        {10, 0, 26200, SRV, 0, X64, 0, 0, 0, L"Windows Server (build 26200), 64-bit x86"},
        // version 6 by minor; architecture suffixes
        {10, 0, 22000, WS, 0, ARM64, 0, 0, 0, L"Windows 11 21H2 (build 22000), 64-bit ARM"},
        {6, 0, 6002, WS, 0, X86, 0, 0, 0, L"Windows Vista (build 6002), 32-bit x86"},
        {6, 0, 6002, SRV, 0, X64, 0, 0, 0, L"Windows Server 2008 (build 6002), 64-bit x86"},
        {6, 1, 7601, WS, 0, X86, 0, L"Service Pack 1", 0, L"Windows 7 Service Pack 1 (build 7601), 32-bit x86"},
        {6, 1, 7601, DC, 0, IA64, 0, 0, 0, L"Windows Server 2008 R2 (build 7601)"},
        {6, 2, 9200, WS, 0, ARM64, 0, 0, 0, L"Windows 8 (build 9200), 64-bit ARM"},
        {6, 2, 9200, SRV, 0, 5, 0, 0, 0, L"Windows Server 2012 (build 9200)"},
        {6, 3, 9600, WS, 0, X64, 0, 0, 0, L"Windows 8.1 (build 9600), 64-bit x86"},
        {6, 3, 9600, SRV, 0, X64, 0, 0, 0, L"Windows Server 2012 R2 (build 9600), 64-bit x86"},
        {6, 4, 9841, WS, 0, X64, 0, L"Preview", 0, L" Preview (build 9841), 64-bit x86"},
        {6, 4, 9841, SRV, 0, X64, 0, 0, 0, L" (build 9841), 64-bit x86"},
        // 5.2: the first name rule that holds, then the server edition; never an architecture
        {5, 2, 3790, SRV, 0x2000, X86, 1, 0, 0, L"Windows Server 2003 R2, Standard Edition (build 3790)"},
        {5, 2, 3790, WS, 0x2000, X86, 1, 0, 0, L"Windows Server 2003 R2,  (build 3790)"},
        {5, 2, 3790, SRV, 0x2000, X86, 0, 0, 0, L"Windows Storage Server 2003Standard Edition (build 3790)"},
        {5, 2, 3790, WS, 0xA000, X64, 0, 0, 0, L"Windows Storage Server 2003 (build 3790)"},
        {5, 2, 3790, WS, 0x8000, X64, 0, 0, 0, L"Windows Home Server (build 3790)"},
        {5, 2, 3790, WS, 0, X64, 0, L"Service Pack 2", 0, L"Windows XP Professional x64 Edition Service Pack 2 (build 3790)"},
        {5, 2, 3790, WS, 0, X86, 0, 0, 0, L"Windows Server 2003,  (build 3790)"},
        {5, 2, 3790, SRV, 0x0082, IA64, 0, 0, 0, L"Windows Server 2003, Datacenter Edition for Itanium-based Systems (build 3790)"},
        {5, 2, 3790, SRV, 0x0002, IA64, 0, 0, 0, L"Windows Server 2003, Enterprise Edition for Itanium-based Systems (build 3790)"},
        {5, 2, 3790, SRV, 0x4400, IA64, 0, 0, 0, L"Windows Server 2003,  (build 3790)"},
        {5, 2, 3790, SRV, 0x0082, X64, 0, 0, 0, L"Windows Server 2003, Datacenter x64 Edition (build 3790)"},
        {5, 2, 3790, DC, 0x0002, X64, 0, 0, 0, L"Windows Server 2003, Enterprise x64 Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x4400, X64, 0, 0, 0, L"Windows Server 2003, Standard x64 Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x4482, X86, 0, 0, 0, L"Windows Server 2003, Compute Cluster Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0482, X86, 0, 0, 0, L"Windows Server 2003, Datacenter Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0402, X86, 0, 0, 0, L"Windows Server 2003, Enterprise Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0400, ARM64, 0, 0, 0, L"Windows Server 2003, Web Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0200, X86, 0, 0, 0, L"Windows Server 2003, Standard Edition (build 3790)"},
        // 5.1, 5.0, and 5.3 or later
        {5, 1, 2600, WS, 0x0200, X86, 0, 0, 0, L"Windows XP Home Edition (build 2600)"},
        {5, 1, 2600, SRV, 0, X64, 0, L"Service Pack 3", 0, L"Windows XP Professional Service Pack 3 (build 2600)"},
        {5, 0, 2195, WS, 0x0082, X86, 0, 0, 0, L"Windows 2000 Professional (build 2195)"},
        {5, 0, 2195, SRV, 0x0082, X86, 0, 0, 0, L"Windows 2000 Datacenter Server (build 2195)"},
        {5, 0, 2195, DC, 0x0002, X86, 0, 0, 0, L"Windows 2000 Advanced Server (build 2195)"},
        {5, 0, 2195, SRV, 0x0400, X86, 0, 0, 0, L"Windows 2000 Server (build 2195)"},
        {5, 3, 4000, WS, 0, X86, 1, 0, 0, L" (build 4000)"},
        // not NT, or NT 4 and older: nothing at all
        {4, 0, 1381, WS, 0, X86, 0, L"Service Pack 6", 0, L""},
        {10, 0, 19045, WS, 0, X64, 0, 0, 0, L"", VER_PLATFORM_WIN32_WINDOWS},
    };
    for (const Row& row : rows) {
        Reader reader = {row.reg, {}};
        EXPECT_EQ(Describe(row, &reader), row.expected) << row.major << "." << row.minor << "." << row.build;
        // the registry is consulted only above the last build the tables name
        bool newer = row.major > 6 && row.build > (row.type == WS ? 26200u : 26100u);
        ASSERT_EQ(reader.asked.size(), newer ? 1u : 0u) << row.build;
        if (newer) {
            EXPECT_EQ(reader.asked[0], row.type == WS ? L"DisplayVersion" : L"ProductName");
        }
    }
}

TEST(SystemDescription, FailuresAndOverlongTexts) {
    wchar_t out[kSystemDescriptionChars];
    ZkSystemFacts none = {nullptr, X64, 0};
    DescribeSystemFrom(none, nullptr, nullptr, out);
    EXPECT_STREQ(out, L"RtlGetVersion failed.");

    // service-pack text filling its whole field, unterminated; a reader filling all 128 characters
    RTL_OSVERSIONINFOEXW v = {};
    v.dwMajorVersion = 10, v.dwBuildNumber = 30000, v.dwPlatformId = VER_PLATFORM_WIN32_NT, v.wProductType = WS;
    wmemset(v.szCSDVersion, L'S', 128);
    v.wServicePackMajor = 0x4141;
    struct Full {
        static bool Read(void*, const wchar_t*, wchar_t* buf) { return wmemset(buf, L'A', 128) != nullptr; }
    };
    ZkSystemFacts facts = {&v, X64, 0};
    DescribeSystemFrom(facts, &Full::Read, nullptr, out);
    EXPECT_EQ(std::wstring(out), L"Windows 11 " + std::wstring(128, L'A') + L" " + std::wstring(128, L'S') +
                                     L" (build 30000), 64-bit x86");
    DescribeSystemFrom(facts, nullptr, nullptr, out);  // no reader: the value counts as unreadable
    EXPECT_EQ(std::wstring(out), L"Windows 11  " + std::wstring(128, L'S') + L" (build 30000), 64-bit x86");
}

// Under Wine the line describes the version the prefix reports (6.1 build 7601
// unless configured otherwise): check it against the system's own answers.
TEST(SystemDescription, LiveLineDescribesTheRunningSystem) {
    typedef LONG(WINAPI * RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);
    auto get = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    RTL_OSVERSIONINFOEXW v = {};
    v.dwOSVersionInfoSize = sizeof(v);
    ASSERT_TRUE(get && get(&v) == 0);
    SYSTEM_INFO info;
    GetNativeSystemInfo(&info);
    std::vector<wchar_t> out(kSystemDescriptionChars, L'#');
    DescribeSystem(out.data());
    std::wstring line = out.data(), sp = v.szCSDVersion;
    std::wstring tail = (sp.empty() ? L"" : L" " + sp) + L" (build " + std::to_wstring(v.dwBuildNumber) + L")" +
                        (info.wProcessorArchitecture == X64 && v.dwMajorVersion >= 6 ? L", 64-bit x86" : L"");
    ASSERT_GT(line.size(), tail.size()) << line.c_str();
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail);
    if (v.dwMajorVersion == 6 && v.dwMinorVersion == 1 && v.wProductType == WS) {
        EXPECT_EQ(line.rfind(L"Windows 7 ", 0), 0u) << line.c_str();
    }
    wchar_t value[128] = {};
    EXPECT_TRUE(ReadCurrentVersionValue(nullptr, L"ProductName", value));
    EXPECT_FALSE(ReadCurrentVersionValue(nullptr, L"NoSuchValue-7f3a", value));
}

}  // namespace
