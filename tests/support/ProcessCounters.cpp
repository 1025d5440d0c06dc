#include "support/ProcessCounters.h"

#include <tlhelp32.h>

#include <cstddef>
#include <vector>

#include "support/lumlib.h"

namespace testkit {

long ProcessHandleCount() {
    DWORD count = 0;
    if (::GetProcessHandleCount(::GetCurrentProcess(), &count) && count != 0) return static_cast<long>(count);
    // SystemExtendedHandleInformation (class 64); winternl.h leaves its layout out.
    struct Entry {
        void* object;
        ULONG_PTR processId, handle;
        ULONG access;
        USHORT backTraceIndex, typeIndex;
        ULONG attributes, reserved;
    };
    struct Table {
        ULONG_PTR count, reserved;
        Entry entries[1];
    };
    using QueryFn = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return -1;
    std::vector<unsigned char> buffer(64 * 1024);
    ULONG needed = 0;
    LONG status = query(64, buffer.data(), ULONG(buffer.size()), &needed);
    // STATUS_INFO_LENGTH_MISMATCH: the buffer is too small (the table may grow meanwhile)
    while (status == LONG(0xC0000004) && buffer.size() < (256u << 20)) {
        buffer.resize(buffer.size() * 2 > needed ? buffer.size() * 2 : needed + 4096);
        status = query(64, buffer.data(), ULONG(buffer.size()), &needed);
    }
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    if (status < 0 || table->count > (buffer.size() - offsetof(Table, entries)) / sizeof(Entry)) return -1;
    long n = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) n += table->entries[i].processId == ::GetCurrentProcessId();
    return n > 0 ? n : -1;  // a process always holds some handles: a table without ours is unusable
}

long ProcessThreadCount() {
    CHandleHolder snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.is_valid()) return -1;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    long count = 0;
    BOOL more = ::Thread32First(snapshot.get(), &entry);
    while (more) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId();
        more = ::Thread32Next(snapshot.get(), &entry);
    }
    return count > 0 ? count : -1;
}

long WaitForThreadCountAtMost(long limit, DWORD timeoutMs) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMs;
    for (;;) {
        long n = ProcessThreadCount();
        if (n <= limit || ::GetTickCount64() >= deadline) return n;
        ::Sleep(10);
    }
}

unsigned long long CommittedPrivateBytes() {
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char* at = nullptr; ::VirtualQuery(at, &region, sizeof(region)) == sizeof(region);) {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) total += region.RegionSize;
        const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
        if (next <= at) break;  // the top of the address space
        at = next;
    }
    return total;
}

}  // namespace testkit
