#include "log/SystemDescription.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

namespace {

const uint32_t X86 = 0, IA64 = 6, X64 = 9, ARM = 12, WS = 1, DC = 2, SRV = 3;

struct Row {
    uint32_t major, minor, build, type, suite, arch;  // major 0: RtlGetVersion failed
    // sp: the service-pack text; reg: "Name=text", the one registry value that can be read
    const wchar_t *expected, *sp = nullptr, *reg = nullptr;
    int r2 = 0;  // SM_SERVERR2
    uint32_t platform = VER_PLATFORM_WIN32_NT;
};

bool ReadRegistry(void* row, const wchar_t* name, wchar_t* buffer128) {
    const wchar_t* reg = static_cast<const Row*>(row)->reg;
    const wchar_t* text = reg ? wcschr(reg, L'=') : nullptr;
    return text && std::wstring(reg, text) == name && wcsncpy_s(buffer128, 128, text + 1, _TRUNCATE) == 0;
}

TEST(SystemDescription, EveryTableRowAtBothEndsAndEveryFailureRule) {
    const Row rows[] = {
        {0, 0, 0, WS, 0, X64, L"RtlGetVersion failed."},
        {4, 0, 1381, WS, 0, X86, L"", L"Service Pack 6"},
        {10, 0, 19045, WS, 0, X64, L"", nullptr, nullptr, 0, VER_PLATFORM_WIN32_WINDOWS},
        // 5.0, 5.1, 5.3: never an architecture
        {5, 0, 2195, WS, 0x0082, X86, L"Windows 2000 Professional (build 2195)"},
        {5, 0, 2195, SRV, 0x0082, X86, L"Windows 2000 Datacenter Server (build 2195)"},
        {5, 0, 2195, DC, 0x0002, X86, L"Windows 2000 Advanced Server (build 2195)"},
        {5, 0, 2195, SRV, 0x0400, X86, L"Windows 2000 Server (build 2195)"},
        {5, 1, 2600, WS, 0x0200, X86, L"Windows XP Home Edition (build 2600)"},
        {5, 1, 2600, SRV, 0, X64, L"Windows XP Professional Service Pack 3 (build 2600)", L"Service Pack 3"},
        {5, 3, 4000, WS, 0, X86, L" (build 4000)", nullptr, nullptr, 1},
        // 5.2: the first name rule that holds, then for servers the edition by architecture and suite
        {5, 2, 3790, WS, 0, X64, L"Windows XP Professional x64 Edition Service Pack 2 (build 3790)", L"Service Pack 2"},
        {5, 2, 3790, SRV, 0x2082, IA64, L"Windows Server 2003 R2, Datacenter Edition for Itanium-based Systems (build 3790)", nullptr, nullptr, 1},
        {5, 2, 3790, SRV, 0x2002, IA64, L"Windows Storage Server 2003Enterprise Edition for Itanium-based Systems (build 3790)"},
        {5, 2, 3790, SRV, 0xC400, IA64, L"Windows Home Server (build 3790)"},
        {5, 2, 3790, SRV, 0x0082, X64, L"Windows Server 2003, Datacenter x64 Edition (build 3790)"},
        {5, 2, 3790, DC, 0x0002, X64, L"Windows Server 2003, Enterprise x64 Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x4400, X64, L"Windows Server 2003, Standard x64 Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x4482, X86, L"Windows Server 2003, Compute Cluster Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0482, X86, L"Windows Server 2003, Datacenter Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0402, X86, L"Windows Server 2003, Enterprise Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0400, ARM, L"Windows Server 2003, Web Edition (build 3790)"},
        {5, 2, 3790, SRV, 0x0200, X86, L"Windows Server 2003, Standard Edition (build 3790)"},
        // 6.x by minor version
        {6, 0, 6002, WS, 0, X86, L"Windows Vista (build 6002), 32-bit x86"},
        {6, 0, 6002, SRV, 0, X64, L"Windows Server 2008 (build 6002), 64-bit x86"},
        {6, 1, 7601, WS, 0, X86, L"Windows 7 Service Pack 1 (build 7601), 32-bit x86", L"Service Pack 1"},
        {6, 1, 7601, DC, 0, IA64, L"Windows Server 2008 R2 (build 7601)"},
        {6, 2, 9200, WS, 0, ARM, L"Windows 8 (build 9200), 64-bit ARM"},
        {6, 2, 9200, SRV, 0, 5, L"Windows Server 2012 (build 9200)"},
        {6, 3, 9600, WS, 0, X64, L"Windows 8.1 (build 9600), 64-bit x86"},
        {6, 3, 9600, SRV, 0, X64, L"Windows Server 2012 R2 (build 9600), 64-bit x86"},
        {6, 4, 9841, WS, 0, X64, L" Preview (build 9841), 64-bit x86", L"Preview"},
        // above 6, workstations by build ("not asked": known builds never read the registry)
        {10, 0, 10585, WS, 0, X64, L"Windows 10 1507 (build 10585), 64-bit x86"},
        {10, 0, 10586, WS, 0, X64, L"Windows 10 1511 (build 10586), 64-bit x86"},
        {10, 0, 14392, WS, 0, X86, L"Windows 10 1511 (build 14392), 32-bit x86"},
        {10, 0, 14393, WS, 0, X64, L"Windows 10 1607 (build 14393), 64-bit x86"},
        {10, 0, 15062, WS, 0, X64, L"Windows 10 1607 (build 15062), 64-bit x86"},
        {10, 0, 15063, WS, 0, X64, L"Windows 10 1703 (build 15063), 64-bit x86"},
        {10, 0, 16298, WS, 0, X64, L"Windows 10 1703 (build 16298), 64-bit x86"},
        {10, 0, 16299, WS, 0, X64, L"Windows 10 1709 (build 16299), 64-bit x86"},
        {10, 0, 17133, WS, 0, IA64, L"Windows 10 1709 (build 17133)"},
        {10, 0, 17134, WS, 0, X64, L"Windows 10 1803 (build 17134), 64-bit x86"},
        {10, 0, 17762, WS, 0, X64, L"Windows 10 1803 (build 17762), 64-bit x86"},
        {10, 0, 17763, WS, 0, X64, L"Windows 10 1809 (build 17763), 64-bit x86"},
        {10, 0, 18361, WS, 0, X64, L"Windows 10 1809 (build 18361), 64-bit x86"},
        {10, 0, 18362, WS, 0, X64, L"Windows 10 1903 (build 18362), 64-bit x86"},
        {10, 0, 18363, WS, 0, X64, L"Windows 10 1909 (build 18363), 64-bit x86"},
        {10, 0, 19040, WS, 0, X64, L"Windows 10 1909 (build 19040), 64-bit x86"},
        {10, 0, 19041, WS, 0, X64, L"Windows 10 2004 (build 19041), 64-bit x86"},
        {10, 0, 19042, WS, 0, X64, L"Windows 10 20H2 (build 19042), 64-bit x86"},
        {10, 0, 19043, WS, 0, X64, L"Windows 10 21H1 (build 19043), 64-bit x86"},
        {10, 0, 19044, WS, 0, X64, L"Windows 10 21H2 (build 19044), 64-bit x86"},
        {10, 0, 19045, WS, 0, X64, L"Windows 10 22H2 (build 19045), 64-bit x86"},
        {10, 0, 21999, WS, 0, X64, L"Windows 10 22H2 (build 21999), 64-bit x86"},
        {10, 0, 22000, WS, 0, ARM, L"Windows 11 21H2 (build 22000), 64-bit ARM"},
        {10, 0, 22620, WS, 0, X64, L"Windows 11 21H2 (build 22620), 64-bit x86"},
        {10, 0, 22621, WS, 0, X64, L"Windows 11 22H2 (build 22621), 64-bit x86"},
        {10, 0, 22630, WS, 0, X64, L"Windows 11 22H2 (build 22630), 64-bit x86"},
        {10, 0, 22631, WS, 0, X64, L"Windows 11 23H2 (build 22631), 64-bit x86", nullptr, L"DisplayVersion=not asked"},
        {10, 0, 26099, WS, 0, X64, L"Windows 11 23H2 (build 26099), 64-bit x86"},
        {10, 0, 26100, WS, 0, X64, L"Windows 11 24H2 (build 26100), 64-bit x86"},
        {10, 0, 26199, WS, 0, X64, L"Windows 11 24H2 (build 26199), 64-bit x86"},
        {10, 0, 26200, WS, 0, X64, L"Windows 11 25H2 (build 26200), 64-bit x86", nullptr, L"DisplayVersion=not asked"},
        {10, 0, 26201, WS, 0, X64, L"Windows 11 26H1 (build 26201), 64-bit x86", nullptr, L"DisplayVersion=26H1"},
        {10, 0, 26300, WS, 0, X64, L"Windows 11  (build 26300), 64-bit x86", nullptr, L"ProductName=Windows 11 Pro"},
        // above 6, servers and domain controllers by build
        {10, 0, 17762, DC, 0, X64, L"Windows Server 2016 (build 17762), 64-bit x86"},
        {10, 0, 17763, SRV, 0, X64, L"Windows Server 2019 (build 17763), 64-bit x86"},
        {10, 0, 20347, SRV, 0, X64, L"Windows Server 2019 (build 20347), 64-bit x86"},
        {10, 0, 20348, DC, 0, X64, L"Windows Server 2022 (build 20348), 64-bit x86"},
        {10, 0, 26099, SRV, 0, X64, L"Windows Server 2022 (build 26099), 64-bit x86"},
        {10, 0, 26100, SRV, 0, X64, L"Windows Server 2025 (build 26100), 64-bit x86", nullptr, L"ProductName=not asked"},
        {10, 0, 26101, SRV, 0, X64, L"Windows Server 2028 (build 26101), 64-bit x86", nullptr, L"ProductName=Windows Server 2028"},
        {10, 0, 26200, DC, 0, X64, L"Windows Server (build 26200), 64-bit x86", nullptr, L"DisplayVersion=25H2"},
    };
    for (const Row& r : rows) {
        RTL_OSVERSIONINFOEXW v = {};
        v.dwMajorVersion = r.major, v.dwMinorVersion = r.minor, v.dwBuildNumber = r.build;
        v.dwPlatformId = r.platform, v.wProductType = static_cast<BYTE>(r.type), v.wSuiteMask = static_cast<WORD>(r.suite);
        wcsncpy_s(v.szCSDVersion, 128, r.sp ? r.sp : L"", _TRUNCATE);
        ZkSystemFacts facts = {r.major ? &v : nullptr, static_cast<uint16_t>(r.arch), r.r2};
        std::vector<wchar_t> out(kSystemDescriptionChars, L'#');
        DescribeSystemFrom(facts, &ReadRegistry, const_cast<Row*>(&r), out.data());
        EXPECT_STREQ(out.data(), r.expected) << r.major << "." << r.minor << "." << r.build;
    }
}

// Under Wine the prefix reports 6.1 build 7601 unless configured otherwise:
// "Windows 7 (build 7601), 64-bit x86".
TEST(SystemDescription, LiveLineHasTheShapeOfTheTables) {
    wchar_t out[kSystemDescriptionChars];
    DescribeSystem(out);
    EXPECT_TRUE(std::regex_match(out, std::wregex(LR"(Windows [^(]+ \(build \d+\)(, (32|64)-bit (x86|ARM))?)"))) << out;
}

}  // namespace
