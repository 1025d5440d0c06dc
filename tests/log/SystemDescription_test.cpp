#include "log/SystemDescription.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint32_t X86 = 0, X64 = 9, ARM = 12, WS = 1, DC = 2, SRV = 3;

struct Row {
    uint32_t major, minor, build, type, arch;  // major 0: RtlGetVersion failed
    // sp: the service-pack text; reg: "Name=text", the one registry value that can be read
    const wchar_t *expected, *sp = nullptr, *reg = nullptr;
};

bool ReadRegistry(void* row, const wchar_t* name, wchar_t* buffer128) {
    const wchar_t* reg = static_cast<const Row*>(row)->reg;
    const wchar_t* text = reg ? wcschr(reg, L'=') : nullptr;
    return text && std::wstring(reg, text) == name && wcsncpy_s(buffer128, 128, text + 1, _TRUNCATE) == 0;
}

TEST(SystemDescription, EveryRuleBoundaryAndEveryFailureRule) {
    const Row rows[] = {
        {0, 0, 0, WS, X64, L"RtlGetVersion failed."},
        // before 6 the library does not load: nothing is named
        {5, 2, 3790, SRV, X64, L"", L"Service Pack 2"},
        // 6.x by minor version
        {6, 1, 7601, WS, X86, L"Windows 7 Service Pack 1 (build 7601), 32-bit x86", L"Service Pack 1"},
        {6, 2, 9200, SRV, 5, L"Windows Server 2012 (build 9200)"},
        // texts the system gives are escaped: none can end the header's line
        {6, 4, 9841, WS, X64, L" Pre\\x0aview (build 9841), 64-bit x86", L"Pre\nview"},
        // above 6, workstations by build: a range's first build, the last known build and the ones after
        // it ("not asked": known builds never read the registry)
        {10, 0, 10586, WS, ARM, L"Windows 10 1511 (build 10586), 64-bit ARM"},
        {10, 0, 26200, WS, X64, L"Windows 11 25H2 (build 26200), 64-bit x86", nullptr, L"DisplayVersion=not asked"},
        {10, 0, 26201, WS, X64, L"Windows 11 26H1\\x0d\\x0a[X] (build 26201), 64-bit x86", nullptr, L"DisplayVersion=26H1\r\n[X]"},
        {10, 0, 26300, WS, X64, L"Windows 11  (build 26300), 64-bit x86", nullptr, L"ProductName=Windows 11 Pro"},
        // above 6, servers and domain controllers by build: a range's first build, last known build, after it
        {10, 0, 17763, SRV, X64, L"Windows Server 2019 (build 17763), 64-bit x86"},
        {10, 0, 26100, SRV, X64, L"Windows Server 2025 (build 26100), 64-bit x86", nullptr, L"ProductName=not asked"},
        {10, 0, 26101, SRV, X64, L"Windows Server 2028\\\\ (build 26101), 64-bit x86", nullptr, L"ProductName=Windows Server 2028\\"},
        {10, 0, 26200, DC, X64, L"Windows Server (build 26200), 64-bit x86", nullptr, L"DisplayVersion=25H2"},
    };
    for (const Row& r : rows) {
        RTL_OSVERSIONINFOEXW v = {};
        v.dwMajorVersion = r.major;
        v.dwMinorVersion = r.minor;
        v.dwBuildNumber = r.build;
        v.dwPlatformId = VER_PLATFORM_WIN32_NT;
        v.wProductType = static_cast<BYTE>(r.type);
        wcsncpy_s(v.szCSDVersion, 128, r.sp ? r.sp : L"", _TRUNCATE);
        std::vector<wchar_t> out(kSystemDescriptionChars, L'#');
        DescribeSystemFrom({r.major ? &v : nullptr, static_cast<uint16_t>(r.arch)}, &ReadRegistry, const_cast<Row*>(&r), out.data());
        EXPECT_STREQ(out.data(), r.expected) << r.major << "." << r.minor << "." << r.build;
    }
}

}  // namespace
