#include "support/ProcessCounters.h"

#include <tlhelp32.h>

#include "support/lumlib.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testkit {

namespace {

// Handle table layouts of NtQuerySystemInformation (winternl.h leaves them out).
constexpr ULONG kSystemHandleInformation = 16;
constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct HandleEntryEx {
    void* object;
    ULONG_PTR uniqueProcessId;
    ULONG_PTR handleValue;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG handleAttributes;
    ULONG reserved;
};
struct HandleTableEx {
    ULONG_PTR numberOfHandles;
    ULONG_PTR reserved;
    HandleEntryEx handles[1];
};

// Windows keeps a 16-bit process id followed by a 16-bit back-trace index;
// Wine keeps a 32-bit process id. The low 16 bits are the id in both.
struct HandleEntry {
    ULONG ownerPid;
    UCHAR objectTypeIndex;
    UCHAR handleAttributes;
    USHORT handleValue;
    void* object;
    ULONG grantedAccess;
};
struct HandleTable {
    ULONG numberOfHandles;
    HandleEntry handles[1];
};

using NtQuerySystemInformationFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);

NtQuerySystemInformationFn ResolveNtQuerySystemInformation() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (!ntdll) return nullptr;
    return reinterpret_cast<NtQuerySystemInformationFn>(
        reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtQuerySystemInformation")));
}

// Fetches a whole system information class, growing the buffer while the
// table grows under us. Empty on failure.
std::vector<unsigned char> QueryTable(NtQuerySystemInformationFn query, ULONG infoClass) {
    std::vector<unsigned char> buffer(64 * 1024);
    for (int attempt = 0; attempt < 16; ++attempt) {
        ULONG needed = 0;
        LONG status = query(infoClass, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0) return buffer;
        if (status != kStatusInfoLengthMismatch) break;
        size_t next = buffer.size() * 2;
        if (needed > next) next = static_cast<size_t>(needed) + 16 * 1024;
        if (next > (256u << 20)) break;
        buffer.assign(next, 0);
    }
    return {};
}

long CountExtended(NtQuerySystemInformationFn query) {
    std::vector<unsigned char> buffer = QueryTable(query, kSystemExtendedHandleInformation);
    if (buffer.size() < offsetof(HandleTableEx, handles)) return -1;
    const auto* table = reinterpret_cast<const HandleTableEx*>(buffer.data());
    const size_t capacity = (buffer.size() - offsetof(HandleTableEx, handles)) / sizeof(HandleEntryEx);
    if (table->numberOfHandles > capacity) return -1;
    const ULONG_PTR pid = ::GetCurrentProcessId();
    long count = 0;
    for (ULONG_PTR i = 0; i < table->numberOfHandles; ++i)
        if (table->handles[i].uniqueProcessId == pid) ++count;
    return count;
}

long CountLegacy(NtQuerySystemInformationFn query) {
    std::vector<unsigned char> buffer = QueryTable(query, kSystemHandleInformation);
    if (buffer.size() < offsetof(HandleTable, handles)) return -1;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const size_t capacity = (buffer.size() - offsetof(HandleTable, handles)) / sizeof(HandleEntry);
    if (table->numberOfHandles > capacity) return -1;
    const ULONG pid = ::GetCurrentProcessId() & 0xFFFF;
    long count = 0;
    for (ULONG i = 0; i < table->numberOfHandles; ++i)
        if ((table->handles[i].ownerPid & 0xFFFF) == pid) ++count;
    return count;
}

volatile LONG g_lastMethod = static_cast<LONG>(HandleCountMethod::None);

long Record(HandleCountMethod method, long count) {
    ::InterlockedExchange(&g_lastMethod, static_cast<LONG>(method));
    return count;
}

}  // namespace

const char* const kNoHandleCountMessage =
    "no handle count available: GetProcessHandleCount reports 0 (as under Wine 8) "
    "and the system handle table (NtQuerySystemInformation 64/16) cannot be read";

long ProcessHandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0)
        return Record(HandleCountMethod::GetProcessHandleCount, static_cast<long>(count));

    NtQuerySystemInformationFn query = ResolveNtQuerySystemInformation();
    if (!query) return -1;
    // A process always holds some handles: a table without any of ours is unusable.
    long n = CountExtended(query);
    if (n > 0) return Record(HandleCountMethod::ExtendedHandleTable, n);
    n = CountLegacy(query);
    if (n > 0) return Record(HandleCountMethod::HandleTable, n);
    return -1;
}

HandleCountMethod LastHandleCountMethod() {
    return static_cast<HandleCountMethod>(::InterlockedExchangeAdd(&g_lastMethod, 0));
}

const char* HandleCountMethodName(HandleCountMethod method) {
    switch (method) {
    case HandleCountMethod::GetProcessHandleCount: return "GetProcessHandleCount";
    case HandleCountMethod::ExtendedHandleTable: return "NtQuerySystemInformation(SystemExtendedHandleInformation)";
    case HandleCountMethod::HandleTable: return "NtQuerySystemInformation(SystemHandleInformation)";
    case HandleCountMethod::None: break;
    }
    return "none";
}

long ProcessThreadCount() {
    CHandleHolder snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.IsValid()) return -1;
    const DWORD pid = ::GetCurrentProcessId();
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    long count = 0;
    for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == pid) ++count;
        entry.dwSize = sizeof(entry);
    }
    return count > 0 ? count : -1;
}

long WaitForThreadCountAtMost(long limit, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        long n = ProcessThreadCount();
        if (n < 0 || n <= limit || ::GetTickCount64() >= deadline) return n;
        ::Sleep(10);
    }
}

}  // namespace testkit
