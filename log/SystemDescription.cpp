#include "log/SystemDescription.h"

#include <stdio.h>
#include <wchar.h>

#include "log/LogEscape.h"
#include "support/Holders.h"

namespace {

const wchar_t kCurrentVersionKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const size_t kRegTextChars = 128;

// Appends at most count characters of text, escaped like a message, always
// leaving a terminator: a text the system gives (a registry value, the
// service-pack text) can neither end the header's line nor pass for an escape.
// The library's own texts need no escape and go as they are.
void Append(wchar_t* out, const wchar_t* text, size_t count = (size_t)-1) {
    const size_t used = wcsnlen(out, kSystemDescriptionChars);
    if (used + 1 >= kSystemDescriptionChars) return;
    const size_t written = EscapeLogText(text, wcsnlen(text, count), out + used, kSystemDescriptionChars - 1 - used);
    out[used + written] = L'\0';
}

bool ReadValue(ZkCurrentVersionReader reader, void* context, const wchar_t* name, wchar_t* buffer) {
    wmemset(buffer, 0, kRegTextChars + 1);
    if (!reader) return false;
    bool ok = reader(context, name, buffer);
    buffer[kRegTextChars] = L'\0';  // a reader that filled all 128 characters still ends here
    return ok;
}

struct BuildName {
    uint32_t firstBuild;  // the row applies from this build up to the next row's first build
    const wchar_t* name;
};

// Workstations of major version 10 and later; builds above the last row read "DisplayVersion".
const BuildName kWorkstationNames[] = {
    {0, L"Windows 10 1507"},      {10586, L"Windows 10 1511"}, {14393, L"Windows 10 1607"},
    {15063, L"Windows 10 1703"},  {16299, L"Windows 10 1709"}, {17134, L"Windows 10 1803"},
    {17763, L"Windows 10 1809"},  {18362, L"Windows 10 1903"}, {18363, L"Windows 10 1909"},
    {19041, L"Windows 10 2004"},  {19042, L"Windows 10 20H2"}, {19043, L"Windows 10 21H1"},
    {19044, L"Windows 10 21H2"},  {19045, L"Windows 10 22H2"}, {22000, L"Windows 11 21H2"},
    {22621, L"Windows 11 22H2"},  {22631, L"Windows 11 23H2"}, {26100, L"Windows 11 24H2"},
    {26200, L"Windows 11 25H2"},
};
const uint32_t kLastKnownWorkstationBuild = 26200;

const BuildName kServerNames[] = {
    {0, L"Windows Server 2016"},
    {17763, L"Windows Server 2019"},
    {20348, L"Windows Server 2022"},
    {26100, L"Windows Server 2025"},
};
const uint32_t kLastKnownServerBuild = 26100;

template <size_t N>
const wchar_t* NameForBuild(const BuildName (&table)[N], uint32_t build) {
    const wchar_t* name = table[0].name;
    for (size_t i = 0; i < N; ++i)
        if (build >= table[i].firstBuild) name = table[i].name;
    return name;
}

void AppendModernName(const RTL_OSVERSIONINFOEXW& v, ZkCurrentVersionReader reader, void* context, wchar_t* out) {
    wchar_t value[kRegTextChars + 1];
    if (v.wProductType == VER_NT_WORKSTATION) {
        if (v.dwBuildNumber <= kLastKnownWorkstationBuild) {
            Append(out, NameForBuild(kWorkstationNames, v.dwBuildNumber));
            return;
        }
        // a release newer than this library: the system names it itself
        Append(out, L"Windows 11 ");
        if (ReadValue(reader, context, L"DisplayVersion", value)) Append(out, value, kRegTextChars);
        return;
    }
    if (v.dwBuildNumber <= kLastKnownServerBuild) {
        Append(out, NameForBuild(kServerNames, v.dwBuildNumber));
        return;
    }
    Append(out, ReadValue(reader, context, L"ProductName", value) ? value : L"Windows Server", kRegTextChars);
}

void AppendVersion6Name(const RTL_OSVERSIONINFOEXW& v, wchar_t* out) {
    static const wchar_t* const kWorkstation[] = {L"Windows Vista", L"Windows 7", L"Windows 8", L"Windows 8.1"};
    static const wchar_t* const kServer[] = {L"Windows Server 2008", L"Windows Server 2008 R2",
                                             L"Windows Server 2012", L"Windows Server 2012 R2"};
    if (v.dwMinorVersion > 3) return;
    Append(out, v.wProductType == VER_NT_WORKSTATION ? kWorkstation[v.dwMinorVersion] : kServer[v.dwMinorVersion]);
}

const wchar_t* ArchitectureSuffix(uint16_t architecture) {
    switch (architecture) {
    case PROCESSOR_ARCHITECTURE_AMD64: return L", 64-bit x86";
    case PROCESSOR_ARCHITECTURE_INTEL: return L", 32-bit x86";
    case 12: return L", 64-bit ARM";  // PROCESSOR_ARCHITECTURE_ARM64
    default: return L"";
    }
}

}  // namespace

void DescribeSystemFrom(const ZkSystemFacts& facts, ZkCurrentVersionReader reader, void* readerContext,
                        wchar_t* out) {
    out[0] = L'\0';
    if (!facts.version) {
        Append(out, L"RtlGetVersion failed.");
        return;
    }
    const RTL_OSVERSIONINFOEXW& v = *facts.version;
    // The library needs Windows 7 or later to load: an older version is not named.
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT || v.dwMajorVersion < 6) return;

    if (v.dwMajorVersion > 6)
        AppendModernName(v, reader, readerContext, out);
    else
        AppendVersion6Name(v, out);

    // the record's text field need not be terminated: never read past its 128 characters
    size_t spChars = wcsnlen(v.szCSDVersion, sizeof(v.szCSDVersion) / sizeof(v.szCSDVersion[0]));
    if (spChars > 0) {
        Append(out, L" ");
        Append(out, v.szCSDVersion, spChars);
    }

    wchar_t build[80];
    _snwprintf_s(build, 80, _TRUNCATE, L" (build %u)", (unsigned)v.dwBuildNumber);
    Append(out, build);

    Append(out, ArchitectureSuffix(facts.architecture));
}

bool ReadCurrentVersionValue(void*, const wchar_t* valueName, wchar_t* buffer128) {
    lumlib::unique_hkey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD bytes = kRegTextChars * sizeof(wchar_t);
    return RegGetValueW(key.get(), nullptr, valueName, RRF_RT_REG_SZ, nullptr, buffer128, &bytes) == ERROR_SUCCESS;
}

void DescribeSystem(wchar_t* out) {
    typedef LONG(WINAPI * RtlGetVersionFn)(RTL_OSVERSIONINFOEXW*);

    RTL_OSVERSIONINFOEXW version;
    ZeroMemory(&version, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);  // 284
    ZkSystemFacts facts = {nullptr, 0};

    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    RtlGetVersionFn rtlGetVersion =
        ntdll ? reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
              : nullptr;
    if (rtlGetVersion && rtlGetVersion(&version) == 0) facts.version = &version;

    SYSTEM_INFO info;
    ZeroMemory(&info, sizeof(info));
    GetNativeSystemInfo(&info);
    facts.architecture = info.wProcessorArchitecture;

    DescribeSystemFrom(facts, ReadCurrentVersionValue, nullptr, out);
}
