#include "log/SystemDescription.h"

#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <string>
#include <vector>

namespace {

const uint16_t kX86 = 0, kItanium = 6, kX64 = 9, kArm64 = 12;
const uint8_t kWorkstation = 1, kDomainController = 2, kServer = 3;

// Registry stand-in: values present in the map are readable; every request is recorded.
struct FakeRegistry {
    std::map<std::wstring, std::wstring> values;
    std::vector<std::wstring> asked;
    static bool Read(void* context, const wchar_t* name, wchar_t* buffer128) {
        FakeRegistry* self = static_cast<FakeRegistry*>(context);
        self->asked.push_back(name);
        auto it = self->values.find(name);
        if (it == self->values.end() || it->second.size() >= 128) return false;
        wcscpy_s(buffer128, 128, it->second.c_str());
        return true;
    }
};

struct Facts {
    uint32_t major = 10, minor = 0, build = 19045, platform = VER_PLATFORM_WIN32_NT;
    uint8_t type = kWorkstation;
    uint16_t suite = 0, arch = kX64;
    int serverR2 = 0;
    std::wstring servicePack;
};

std::wstring Describe(const Facts& f, FakeRegistry* registry = nullptr) {
    RTL_OSVERSIONINFOEXW v;
    ZeroMemory(&v, sizeof(v));
    v.dwOSVersionInfoSize = sizeof(v);
    v.dwMajorVersion = f.major;
    v.dwMinorVersion = f.minor;
    v.dwBuildNumber = f.build;
    v.dwPlatformId = f.platform;
    v.wProductType = f.type;
    v.wSuiteMask = f.suite;
    wcsncpy_s(v.szCSDVersion, 128, f.servicePack.c_str(), _TRUNCATE);
    ZkSystemFacts facts = {&v, f.arch, f.serverR2};
    FakeRegistry empty;
    FakeRegistry* reg = registry ? registry : &empty;
    std::vector<wchar_t> out(kSystemDescriptionChars, L'#');
    DescribeSystemFrom(facts, &FakeRegistry::Read, reg, out.data());
    return out.data();
}

struct BuildRow {
    uint32_t build;
    const wchar_t* name;
};

TEST(SystemDescription, WorkstationBuildTableEveryRowAndBoundary) {
    const BuildRow rows[] = {
        {0, L"Windows 10 1507"},         {10240, L"Windows 10 1507"}, {10585, L"Windows 10 1507"},
        {10586, L"Windows 10 1511"},     {14392, L"Windows 10 1511"}, {14393, L"Windows 10 1607"},
        {15062, L"Windows 10 1607"},     {15063, L"Windows 10 1703"}, {16298, L"Windows 10 1703"},
        {16299, L"Windows 10 1709"},     {17133, L"Windows 10 1709"}, {17134, L"Windows 10 1803"},
        {17762, L"Windows 10 1803"},     {17763, L"Windows 10 1809"}, {18361, L"Windows 10 1809"},
        {18362, L"Windows 10 1903"},     {18363, L"Windows 10 1909"}, {19040, L"Windows 10 1909"},
        {19041, L"Windows 10 2004"},     {19042, L"Windows 10 20H2"}, {19043, L"Windows 10 21H1"},
        {19044, L"Windows 10 21H2"},     {19045, L"Windows 10 22H2"}, {21999, L"Windows 10 22H2"},
        {22000, L"Windows 11 21H2"},     {22620, L"Windows 11 21H2"}, {22621, L"Windows 11 22H2"},
        {22630, L"Windows 11 22H2"},     {22631, L"Windows 11 23H2"}, {26099, L"Windows 11 23H2"},
        {26100, L"Windows 11 24H2"},     {26199, L"Windows 11 24H2"}, {26200, L"Windows 11 25H2"},
    };
    for (const BuildRow& row : rows) {
        Facts f;
        f.build = row.build;
        FakeRegistry reg;
        reg.values[L"DisplayVersion"] = L"XXXX";  // must not be consulted for known builds
        EXPECT_EQ(Describe(f, &reg), std::wstring(row.name) + L" (build " + std::to_wstring(row.build) + L"), 64-bit x86")
            << row.build;
        EXPECT_TRUE(reg.asked.empty()) << row.build;
    }
}

TEST(SystemDescription, WorkstationAboveKnownBuildsAsksForDisplayVersion) {
    Facts f;
    f.build = 26300;
    FakeRegistry reg;
    reg.values[L"DisplayVersion"] = L"26H1";
    EXPECT_EQ(Describe(f, &reg), L"Windows 11 26H1 (build 26300), 64-bit x86");
    ASSERT_EQ(reg.asked.size(), 1u);
    EXPECT_EQ(reg.asked[0], L"DisplayVersion");

    FakeRegistry absent;
    f.build = 26201;
    EXPECT_EQ(Describe(f, &absent), L"Windows 11  (build 26201), 64-bit x86");
    EXPECT_EQ(absent.asked.size(), 1u);

    FakeRegistry tooLong;  // longer than the 128-character buffer: unreadable
    tooLong.values[L"DisplayVersion"] = std::wstring(200, L'x');
    EXPECT_EQ(Describe(f, &tooLong), L"Windows 11  (build 26201), 64-bit x86");
}

TEST(SystemDescription, ServerBuildTableEveryRowAndBoundary) {
    const BuildRow rows[] = {
        {14393, L"Windows Server 2016"}, {17762, L"Windows Server 2016"}, {17763, L"Windows Server 2019"},
        {20347, L"Windows Server 2019"}, {20348, L"Windows Server 2022"}, {26099, L"Windows Server 2022"},
        {26100, L"Windows Server 2025"},
    };
    for (uint8_t type : {kDomainController, kServer}) {
        for (const BuildRow& row : rows) {
            Facts f;
            f.type = type;
            f.build = row.build;
            FakeRegistry reg;
            reg.values[L"ProductName"] = L"XXXX";
            EXPECT_EQ(Describe(f, &reg), std::wstring(row.name) + L" (build " + std::to_wstring(row.build) + L"), 64-bit x86")
                << row.build;
            EXPECT_TRUE(reg.asked.empty());
        }
    }
}

TEST(SystemDescription, ServerAboveKnownBuildsAsksForProductName) {
    Facts f;
    f.type = kServer;
    f.build = 26101;
    FakeRegistry reg;
    reg.values[L"ProductName"] = L"Windows Server 2028 Datacenter";
    EXPECT_EQ(Describe(f, &reg), L"Windows Server 2028 Datacenter (build 26101), 64-bit x86");
    ASSERT_EQ(reg.asked.size(), 1u);
    EXPECT_EQ(reg.asked[0], L"ProductName");

    FakeRegistry absent;
    f.build = 26200;
    EXPECT_EQ(Describe(f, &absent), L"Windows Server (build 26200), 64-bit x86");
    EXPECT_EQ(absent.asked.size(), 1u);

    // the live reader may be missing altogether
    RTL_OSVERSIONINFOEXW v = {};
    v.dwMajorVersion = 10;
    v.dwBuildNumber = 26200;
    v.dwPlatformId = VER_PLATFORM_WIN32_NT;
    v.wProductType = kServer;
    ZkSystemFacts facts = {&v, kX64, 0};
    wchar_t out[kSystemDescriptionChars];
    DescribeSystemFrom(facts, nullptr, nullptr, out);
    EXPECT_STREQ(out, L"Windows Server (build 26200), 64-bit x86");
}

TEST(SystemDescription, ReaderFillingAllCharactersIsStillTerminated) {
    struct Full {
        static bool Read(void*, const wchar_t*, wchar_t* buffer128) {
            for (int i = 0; i < 128; ++i) buffer128[i] = L'A';
            return true;
        }
    };
    RTL_OSVERSIONINFOEXW v = {};
    v.dwMajorVersion = 10;
    v.dwBuildNumber = 30000;
    v.dwPlatformId = VER_PLATFORM_WIN32_NT;
    v.wProductType = kWorkstation;
    ZkSystemFacts facts = {&v, kX64, 0};
    wchar_t out[kSystemDescriptionChars];
    DescribeSystemFrom(facts, &Full::Read, nullptr, out);
    EXPECT_EQ(std::wstring(out), L"Windows 11 " + std::wstring(128, L'A') + L" (build 30000), 64-bit x86");
}

struct MinorRow {
    uint32_t major, minor;
    uint8_t type;
    const wchar_t* name;
};

TEST(SystemDescription, Version6ByMinorAndProductType) {
    const MinorRow rows[] = {
        {6, 0, kWorkstation, L"Windows Vista"}, {6, 0, kServer, L"Windows Server 2008"},
        {6, 1, kWorkstation, L"Windows 7"},     {6, 1, kDomainController, L"Windows Server 2008 R2"},
        {6, 2, kWorkstation, L"Windows 8"},     {6, 2, kServer, L"Windows Server 2012"},
        {6, 3, kWorkstation, L"Windows 8.1"},   {6, 3, kServer, L"Windows Server 2012 R2"},
        {6, 4, kWorkstation, L""},              {6, 4, kServer, L""},
        {6, 200, kWorkstation, L""},
    };
    for (const MinorRow& row : rows) {
        Facts f;
        f.major = row.major;
        f.minor = row.minor;
        f.type = row.type;
        f.build = 9200;
        EXPECT_EQ(Describe(f), std::wstring(row.name) + L" (build 9200), 64-bit x86") << row.minor << " " << row.type;
    }
}

struct V5Row {
    uint32_t minor;
    uint8_t type;
    uint16_t suite, arch;
    int serverR2;
    const wchar_t* name;
};

TEST(SystemDescription, Version5NamesAndEditions) {
    const V5Row rows[] = {
        // 5.2: first matching name rule, in order
        {2, kServer, 0, kX86, 1, L"Windows Server 2003 R2, Standard Edition"},
        {2, kServer, 0x2000, kX86, 1, L"Windows Server 2003 R2, Standard Edition"},
        {2, kWorkstation, 0x2000, kX86, 1, L"Windows Server 2003 R2, "},
        {2, kServer, 0x2000, kX86, 0, L"Windows Storage Server 2003Standard Edition"},
        {2, kWorkstation, 0xA000, kX64, 0, L"Windows Storage Server 2003"},
        {2, kWorkstation, 0x8000, kX64, 0, L"Windows Home Server"},
        {2, kServer, 0x8000, kX86, 0, L"Windows Home ServerStandard Edition"},
        {2, kWorkstation, 0, kX64, 0, L"Windows XP Professional x64 Edition"},
        {2, kWorkstation, 0, kX86, 0, L"Windows Server 2003, "},
        {2, kServer, 0, kX64, 0, L"Windows Server 2003, Standard x64 Edition"},
        // 5.2 editions (servers only)
        {2, kServer, 0x0080, kItanium, 0, L"Windows Server 2003, Datacenter Edition for Itanium-based Systems"},
        {2, kServer, 0x0082, kItanium, 0, L"Windows Server 2003, Datacenter Edition for Itanium-based Systems"},
        {2, kServer, 0x0002, kItanium, 0, L"Windows Server 2003, Enterprise Edition for Itanium-based Systems"},
        {2, kServer, 0x4400, kItanium, 0, L"Windows Server 2003, "},
        {2, kServer, 0x0080, kX64, 0, L"Windows Server 2003, Datacenter x64 Edition"},
        {2, kServer, 0x0082, kX64, 0, L"Windows Server 2003, Datacenter x64 Edition"},
        {2, kServer, 0x0002, kX64, 0, L"Windows Server 2003, Enterprise x64 Edition"},
        {2, kDomainController, 0x4400, kX64, 0, L"Windows Server 2003, Standard x64 Edition"},
        {2, kServer, 0x4482, kX86, 0, L"Windows Server 2003, Compute Cluster Edition"},
        {2, kServer, 0x0482, kX86, 0, L"Windows Server 2003, Datacenter Edition"},
        {2, kServer, 0x0402, kX86, 0, L"Windows Server 2003, Enterprise Edition"},
        {2, kServer, 0x0400, kX86, 0, L"Windows Server 2003, Web Edition"},
        {2, kServer, 0x0200, kX86, 0, L"Windows Server 2003, Standard Edition"},
        {2, kServer, 0x0400, kArm64, 0, L"Windows Server 2003, Web Edition"},
        // 5.1
        {1, kWorkstation, 0x0200, kX86, 0, L"Windows XP Home Edition"},
        {1, kWorkstation, 0x0000, kX86, 0, L"Windows XP Professional"},
        {1, kServer, 0x0202, kX64, 0, L"Windows XP Home Edition"},
        // 5.0
        {0, kWorkstation, 0x0082, kX86, 0, L"Windows 2000 Professional"},
        {0, kServer, 0x0082, kX86, 0, L"Windows 2000 Datacenter Server"},
        {0, kDomainController, 0x0002, kX86, 0, L"Windows 2000 Advanced Server"},
        {0, kServer, 0x0400, kX86, 0, L"Windows 2000 Server"},
        // 5.3 and later: no name
        {3, kWorkstation, 0, kX86, 0, L""},
        {9, kServer, 0x80, kX86, 1, L""},
    };
    for (const V5Row& row : rows) {
        Facts f;
        f.major = 5;
        f.minor = row.minor;
        f.type = row.type;
        f.suite = row.suite;
        f.arch = row.arch;
        f.serverR2 = row.serverR2;
        f.build = 3790;
        // version 5 never gets an architecture suffix
        EXPECT_EQ(Describe(f), std::wstring(row.name) + L" (build 3790)")
            << row.minor << " type " << row.type << " suite " << row.suite << " arch " << row.arch;
    }
}

TEST(SystemDescription, ServicePackTextFollowsTheName) {
    Facts f;
    f.major = 6;
    f.minor = 1;
    f.build = 7601;
    f.arch = kX86;
    f.servicePack = L"Service Pack 1";
    EXPECT_EQ(Describe(f), L"Windows 7 Service Pack 1 (build 7601), 32-bit x86");

    Facts xp;
    xp.major = 5;
    xp.minor = 1;
    xp.build = 2600;
    xp.suite = 0x0200;
    EXPECT_EQ(Describe(xp), L"Windows XP Home Edition (build 2600)");
    xp.servicePack = L"Service Pack 3";
    EXPECT_EQ(Describe(xp), L"Windows XP Home Edition Service Pack 3 (build 2600)");

    // an unnamed version still carries its service pack and build
    Facts unknown;
    unknown.major = 6;
    unknown.minor = 4;
    unknown.build = 9841;
    unknown.servicePack = L"Preview";
    EXPECT_EQ(Describe(unknown), L" Preview (build 9841), 64-bit x86");
}

TEST(SystemDescription, UnterminatedServicePackTextIsReadWithinItsField) {
    RTL_OSVERSIONINFOEXW v;
    ZeroMemory(&v, sizeof(v));
    v.dwMajorVersion = 6;
    v.dwMinorVersion = 1;
    v.dwBuildNumber = 7601;
    v.dwPlatformId = VER_PLATFORM_WIN32_NT;
    v.wProductType = kWorkstation;
    for (int i = 0; i < 128; ++i) v.szCSDVersion[i] = L'S';
    v.wServicePackMajor = 0x4141;  // the bytes after the field are not text
    ZkSystemFacts facts = {&v, kX64, 0};
    wchar_t out[kSystemDescriptionChars];
    DescribeSystemFrom(facts, nullptr, nullptr, out);
    EXPECT_EQ(std::wstring(out), L"Windows 7 " + std::wstring(128, L'S') + L" (build 7601), 64-bit x86");
}

TEST(SystemDescription, ArchitectureSuffixes) {
    struct Row {
        uint32_t major;
        uint16_t arch;
        const wchar_t* suffix;
    } rows[] = {
        {10, kX64, L", 64-bit x86"}, {10, kX86, L", 32-bit x86"}, {10, kArm64, L", 64-bit ARM"},
        {10, kItanium, L""},         {10, 5 /* ARM */, L""},     {10, 0xFFFF, L""},
        {6, kX64, L", 64-bit x86"},  {6, kX86, L", 32-bit x86"},  {6, kArm64, L", 64-bit ARM"},
        {6, kItanium, L""},          {5, kX64, L""},              {5, kX86, L""},
    };
    for (const Row& row : rows) {
        Facts f;
        f.major = row.major;
        f.minor = 1;
        f.build = 22000;
        f.arch = row.arch;
        std::wstring line = Describe(f);
        std::wstring tail = L"(build 22000)" + std::wstring(row.suffix);
        ASSERT_GE(line.size(), tail.size());
        EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << row.major << " " << row.arch;
    }
    Facts arm;
    arm.build = 22000;
    arm.arch = kArm64;
    EXPECT_EQ(Describe(arm), L"Windows 11 21H2 (build 22000), 64-bit ARM");
}

TEST(SystemDescription, FailureRules) {
    wchar_t out[kSystemDescriptionChars];
    wmemset(out, L'#', kSystemDescriptionChars);
    ZkSystemFacts none = {nullptr, kX64, 0};
    DescribeSystemFrom(none, nullptr, nullptr, out);
    EXPECT_STREQ(out, L"RtlGetVersion failed.");

    Facts notNt;
    notNt.platform = VER_PLATFORM_WIN32_WINDOWS;
    EXPECT_EQ(Describe(notNt), L"");
    Facts nt4;
    nt4.major = 4;
    EXPECT_EQ(Describe(nt4), L"");
    Facts nt3;
    nt3.major = 3;
    nt3.servicePack = L"Service Pack 5";
    EXPECT_EQ(Describe(nt3), L"");
    Facts win32s;
    win32s.platform = 0;
    EXPECT_EQ(Describe(win32s), L"");
}

// Under Wine the live line describes whatever version the prefix reports
// (6.1 build 7601 unless configured otherwise); check its shape against the
// system's own answers.
TEST(SystemDescription, LiveLineMatchesTheRunningSystem) {
    typedef LONG(WINAPI * RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);
    RtlGetVersionFn get = reinterpret_cast<RtlGetVersionFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    ASSERT_NE(get, nullptr);
    RTL_OSVERSIONINFOEXW v = {};
    v.dwOSVersionInfoSize = sizeof(v);
    ASSERT_EQ(get(&v), 0);

    std::vector<wchar_t> out(kSystemDescriptionChars, L'#');
    DescribeSystem(out.data());
    std::wstring line(out.data());
    EXPECT_NE(line.find(L" (build " + std::to_wstring(v.dwBuildNumber) + L")"), std::wstring::npos) << line;
    std::wcout << L"live line: " << line << std::endl;
    if (v.dwMajorVersion >= 6) {
        SYSTEM_INFO info;
        GetNativeSystemInfo(&info);
        if (info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64) {
            const std::wstring tail = L", 64-bit x86";
            ASSERT_GT(line.size(), tail.size());
            EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
        }
    }
    if (v.dwMajorVersion == 6 && v.dwMinorVersion == 1 && v.wProductType == kWorkstation) {
        EXPECT_EQ(line.rfind(L"Windows 7", 0), 0u) << line;
    }
    if (v.szCSDVersion[0]) {
        EXPECT_NE(line.find(std::wstring(L" ") + v.szCSDVersion + L" (build"), std::wstring::npos) << line;
    }
}

TEST(SystemDescription, LiveReaderReadsCurrentVersionValues) {
    wchar_t value[128];
    wmemset(value, 0, 128);
    // every Windows (and Wine) names its product here
    ASSERT_TRUE(ReadCurrentVersionValue(nullptr, L"ProductName", value));
    EXPECT_GT(wcslen(value), 0u);
    wmemset(value, 0, 128);
    EXPECT_FALSE(ReadCurrentVersionValue(nullptr, L"NoSuchValue-7f3a", value));
}

}  // namespace
