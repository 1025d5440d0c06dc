#include "tests/support/FaultInjection.h"

#include <aclapi.h>
#include <malloc.h>
#include <process.h>
#include <sddl.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <type_traits>

namespace testkit {
namespace {

// One failable import: what its failed call returns and reports.
struct Fault {
    const char* dll;            // as the import descriptor names it, compared without case
    const char* name;
    void* replacement;
    uintptr_t failValue;        // converted to the function's return type
    DWORD error;                // SetLastError (a registry or security function returns it as well)
    DWORD pipeError = 0;        // instead of error when the first argument is a pipe (0: error)
    bool afterTheCall = false;  // the call runs and its success is reported as failure (I/O already done)
    int errnoValue = 0;         // the C runtime's functions set errno (0: not one of them)
};

struct State {
    void* original = nullptr;
    std::atomic<long> calls{0};
    std::atomic<long> failAt{0};
};

std::atomic<bool> g_failed{false};
std::atomic<DWORD> g_thread{0};  // 0: every thread's calls count
std::atomic<DWORD> g_error{0};   // 0: each function's own failure error
std::function<void()> g_before;  // changed only while no call is armed
void* g_failedStack[16];
USHORT g_failedFrames = 0;
extern const Fault kFaults[];  // the table below, its hooks' rows in order
extern State g_states[];

// A failure value as the function's return type.
template <class R>
R AsResult(uintptr_t bits) {
    if constexpr (std::is_pointer_v<R>) return reinterpret_cast<R>(bits);
    else return static_cast<R>(bits);
}

// The call's first argument as a handle (null when it cannot be one). Only the
// functions with a pipe error take a handle first; the others never ask.
template <class... A>
HANDLE FirstHandle(HANDLE first, A...) { return first; }
HANDLE FirstHandle(...) { return nullptr; }

// This call is the armed one: counts every call, from every thread or the one chosen.
bool IsTheFailingCall(State& state) {
    const DWORD only = g_thread.load();
    if (only != 0 && only != ::GetCurrentThreadId()) return false;
    const long n = state.calls.fetch_add(1) + 1;
    if (n != state.failAt.load()) return false;
    g_failedFrames = ::RtlCaptureStackBackTrace(2, 16, g_failedStack, nullptr);
    g_failed = true;
    return true;
}

template <size_t Id, class F>
struct Hook;

template <size_t Id, class R, class... A>
struct Hook<Id, R (*)(A...)> {
    static R Call(A... args) {
        State& state = g_states[Id];
        const auto original = reinterpret_cast<R (*)(A...)>(state.original);
        if (!IsTheFailingCall(state)) return original(args...);
        if (g_before) return g_before(), original(args...);
        const Fault& fault = kFaults[Id];
        if (fault.afterTheCall) original(args...);
        if (fault.errnoValue != 0) errno = fault.errnoValue;
        const bool onPipe = fault.pipeError != 0 && ::GetFileType(FirstHandle(args...)) == FILE_TYPE_PIPE;
        ::SetLastError(g_error != 0 ? g_error.load() : onPipe ? fault.pipeError : fault.error);
        return AsResult<R>(fault.failValue);
    }
};

const char kK32[] = "kernel32.dll", kAdv[] = "advapi32.dll", kCrt[] = "msvcrt.dll", kShell[] = "shell32.dll";
const uintptr_t kFalse = 0, kNull = 0;
const uintptr_t kInvalidHandle = uintptr_t(-1);  // INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES
const DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY, kNoResources = ERROR_NO_SYSTEM_RESOURCES,
            kDenied = ERROR_ACCESS_DENIED, kBadSd = ERROR_INVALID_SECURITY_DESCR;

// Each row's replacement is Hook<its index, the function's type>: the
// table's rows count up from kFirst, one each (checked after the table).
// (Through a function template: GCC warns of the runtime's attributes on
// malloc's type as a class template's argument.)
template <size_t Id, class F>
void* HookOf() { return reinterpret_cast<void*>(&Hook<Id, F>::Call); }
#define ZK_FAIL(dll, fn, ...) Fault{dll, #fn, HookOf<__COUNTER__ - kFirst, decltype(&::fn)>(), __VA_ARGS__}
constexpr size_t kFirst = __COUNTER__ + 1;
const Fault kFaults[] = {
    // memory and threads (operator new, the runtime's thread-local storage and exceptions reach these)
    ZK_FAIL(kCrt, malloc, kNull, kNoMemory, 0, false, ENOMEM),
    ZK_FAIL(kCrt, calloc, kNull, kNoMemory, 0, false, ENOMEM),
    ZK_FAIL(kCrt, realloc, kNull, kNoMemory, 0, false, ENOMEM),
    ZK_FAIL(kCrt, _strdup, kNull, kNoMemory, 0, false, ENOMEM),
    ZK_FAIL(kCrt, _beginthreadex, kNull, kNoResources, 0, false, EAGAIN),
    ZK_FAIL(kK32, LocalAlloc, kNull, kNoMemory),
    ZK_FAIL(kK32, TlsAlloc, TLS_OUT_OF_INDEXES, kNoMemory),
    ZK_FAIL(kK32, DuplicateHandle, kFalse, kNoResources),
    // kernel objects
    ZK_FAIL(kK32, CreateEventA, kNull, kNoResources),
    ZK_FAIL(kK32, CreateEventW, kNull, kNoResources),
    ZK_FAIL(kK32, CreateSemaphoreA, kNull, kNoResources),
    ZK_FAIL(kK32, CreateWaitableTimerW, kNull, kNoResources),
    ZK_FAIL(kK32, CreateIoCompletionPort, kNull, kNoResources),
    // files and folders (a write on a pipe fails as on a broken pipe, on a file as on a full disk)
    ZK_FAIL(kK32, CreateFileW, kInvalidHandle, kDenied),
    ZK_FAIL(kK32, ReOpenFile, kInvalidHandle, kDenied),
    ZK_FAIL(kK32, CreateDirectoryW, kFalse, kDenied),
    ZK_FAIL(kK32, WriteFile, kFalse, ERROR_DISK_FULL, ERROR_NO_DATA),
    ZK_FAIL(kK32, ReadFile, kFalse, ERROR_READ_FAULT, ERROR_BROKEN_PIPE),
    ZK_FAIL(kK32, FlushFileBuffers, kFalse, ERROR_DISK_FULL, ERROR_BROKEN_PIPE),
    ZK_FAIL(kK32, GetOverlappedResult, kFalse, ERROR_DISK_FULL, ERROR_BROKEN_PIPE, true),
    ZK_FAIL(kK32, LockFileEx, kFalse, ERROR_LOCK_VIOLATION),
    ZK_FAIL(kK32, SetFileInformationByHandle, kFalse, kDenied),
    ZK_FAIL(kK32, GetFileInformationByHandle, kFalse, kDenied),
    ZK_FAIL(kK32, GetFileSizeEx, kFalse, kDenied),
    ZK_FAIL(kK32, GetFileAttributesW, kInvalidHandle, kDenied),
    ZK_FAIL(kK32, GetFinalPathNameByHandleW, 0, kNoMemory),
    ZK_FAIL(kK32, GetFullPathNameW, 0, kNoMemory),
    ZK_FAIL(kK32, GetLongPathNameW, 0, kDenied),
    ZK_FAIL(kK32, FindFirstFileW, kInvalidHandle, kDenied),
    ZK_FAIL(kK32, FindNextFileW, kFalse, kNoMemory),
    ZK_FAIL(kShell, SHGetFolderPathW, uintptr_t(E_ACCESSDENIED), kDenied),
    // pipes and processes
    ZK_FAIL(kK32, WaitNamedPipeW, kFalse, ERROR_SEM_TIMEOUT),
    ZK_FAIL(kK32, GetNamedPipeServerProcessId, kFalse, kDenied),
    ZK_FAIL(kK32, GetNamedPipeServerSessionId, kFalse, kDenied),
    ZK_FAIL(kK32, OpenProcess, kNull, kDenied),
    ZK_FAIL(kK32, ProcessIdToSessionId, kFalse, kDenied),
    // modules and text
    ZK_FAIL(kK32, LoadLibraryW, kNull, ERROR_MOD_NOT_FOUND),
    ZK_FAIL(kK32, GetModuleHandleW, kNull, ERROR_MOD_NOT_FOUND),
    ZK_FAIL(kK32, GetModuleHandleExW, kFalse, kNoMemory),
    ZK_FAIL(kK32, GetProcAddress, kNull, ERROR_PROC_NOT_FOUND),
    ZK_FAIL(kK32, GetModuleFileNameW, 0, kNoMemory),
    ZK_FAIL(kK32, MultiByteToWideChar, 0, ERROR_NO_UNICODE_TRANSLATION),
    ZK_FAIL(kK32, WideCharToMultiByte, 0, ERROR_NO_UNICODE_TRANSLATION),
    // tokens, SIDs and security descriptors
    ZK_FAIL(kAdv, OpenProcessToken, kFalse, kDenied),
    ZK_FAIL(kAdv, GetTokenInformation, kFalse, kDenied),
    ZK_FAIL(kAdv, CheckTokenMembership, kFalse, kDenied),
    ZK_FAIL(kAdv, DuplicateToken, kFalse, kNoMemory),
    ZK_FAIL(kAdv, ConvertSidToStringSidW, kFalse, kNoMemory),
    ZK_FAIL(kAdv, AllocateAndInitializeSid, kFalse, kNoMemory),
    ZK_FAIL(kAdv, CreateWellKnownSid, kFalse, kNoMemory),
    ZK_FAIL(kAdv, ConvertStringSecurityDescriptorToSecurityDescriptorW, kFalse, kNoMemory),
    ZK_FAIL(kAdv, InitializeSecurityDescriptor, kFalse, kBadSd),
    ZK_FAIL(kAdv, GetSecurityDescriptorDacl, kFalse, kBadSd),
    ZK_FAIL(kAdv, GetSecurityDescriptorControl, kFalse, kBadSd),
    ZK_FAIL(kAdv, GetAce, kFalse, ERROR_INVALID_PARAMETER),
    ZK_FAIL(kAdv, GetSecurityDescriptorSacl, kFalse, kBadSd),
    ZK_FAIL(kAdv, SetSecurityDescriptorDacl, kFalse, kBadSd),
    ZK_FAIL(kAdv, SetSecurityDescriptorSacl, kFalse, kBadSd),
    ZK_FAIL(kAdv, SetEntriesInAclW, kNoMemory, kNoMemory),
    ZK_FAIL(kAdv, GetSecurityInfo, kDenied, kDenied),
    ZK_FAIL(kAdv, GetNamedSecurityInfoW, kDenied, kDenied),
    // the registry (these return their error)
    ZK_FAIL(kAdv, RegCreateKeyExW, kNoResources, kNoResources),
    ZK_FAIL(kAdv, RegOpenKeyExW, kDenied, kDenied),
    ZK_FAIL(kAdv, RegGetValueW, kDenied, kDenied),
    ZK_FAIL(kAdv, RegQueryValueExW, kDenied, kDenied),
    ZK_FAIL(kAdv, RegQueryInfoKeyW, kDenied, kDenied),
    ZK_FAIL(kAdv, RegSetValueExW, kDenied, kDenied),
    ZK_FAIL(kAdv, RegNotifyChangeKeyValue, kNoResources, kNoResources),
};
#undef ZK_FAIL
const size_t kCount = sizeof(kFaults) / sizeof(kFaults[0]);
static_assert(__COUNTER__ - kFirst == kCount, "a row's hook would serve another row");
State g_states[kCount];

// Never failed: locks and waits, releases, cancels (which fail only when
// nothing is left to cancel), clocks and identities that cannot
// fail, the runtime's unwinder. The C runtime's other functions (strings,
// printing, start-up; a coverage build's file calls) are kept too, unlisted.
const char* const kKept[] = {
    "AcquireSRWLockExclusive", "AcquireSRWLockShared", "ReleaseSRWLockExclusive", "ReleaseSRWLockShared",
    "InitializeCriticalSection", "EnterCriticalSection", "TryEnterCriticalSection", "LeaveCriticalSection",
    "DeleteCriticalSection", "SleepConditionVariableCS", "SleepConditionVariableSRW", "WakeAllConditionVariable",
    "WakeConditionVariable", "WaitForSingleObject", "WaitForMultipleObjects", "ReleaseMutex", "ReleaseSemaphore",
    "SetEvent", "ResetEvent", "SetWaitableTimer", "Sleep", "CloseHandle", "FindClose", "FreeLibrary", "LocalFree",
    "FreeSid", "RegCloseKey", "CancelIo", "CancelIoEx", "DisconnectNamedPipe", "UnlockFileEx", "GetHandleInformation",
    "GetCurrentProcess", "GetCurrentProcessId", "GetCurrentThread", "GetCurrentThreadId", "GetLastError",
    "SetLastError", "GetLocalTime", "GetSystemTime", "GetSystemTimeAsFileTime", "GetTickCount", "GetTickCount64",
    "GetSystemInfo", "GetNativeSystemInfo", "GetSystemMetrics", "IsDebuggerPresent", "OutputDebugStringA", "CompareStringOrdinal",
    "IsDBCSLeadByteEx", "EqualSid", "IsWellKnownSid", "ResumeThread", "SuspendThread", "GetThreadContext",
    "SetThreadContext", "GetThreadPriority", "SetThreadPriority", "GetProcessAffinityMask",
    "SetProcessAffinityMask", "TlsGetValue", "TlsSetValue", "VirtualProtect", "VirtualQuery", "RaiseException",
    "RtlCaptureContext", "RtlLookupFunctionEntry", "RtlUnwindEx", "RtlVirtualUnwind", "__C_specific_handler",
    "AddVectoredExceptionHandler", "RemoveVectoredExceptionHandler", "RaiseFailFastException",
};

const Fault* Find(const char* dll, const char* name) {
    const auto found = std::find_if(std::begin(kFaults), std::end(kFaults),
                                    [&](const Fault& f) { return _stricmp(f.dll, dll) == 0 && std::strcmp(f.name, name) == 0; });
    return found == std::end(kFaults) ? nullptr : found;
}

bool IsKept(const char* name) {
    return std::any_of(std::begin(kKept), std::end(kKept), [&](const char* kept) { return std::strcmp(kept, name) == 0; });
}

// The module's heap blocks, counted above the fault hooks: each counted slot
// calls its counter, which calls what the slot held before (the fault hook;
// the original for free).
std::atomic<long long> g_heapBytes{0};
enum CountedFn { kMalloc, kCalloc, kRealloc, kStrdup, kFree, kCountedFns };
const char* const kCountedNames[kCountedFns] = {"malloc", "calloc", "realloc", "_strdup", "free"};
void* g_next[kCountedFns] = {};

long long SizeOf(void* block) { return block ? static_cast<long long>(_msize(block)) : 0; }
template <CountedFn I, class F>
F Next() { return reinterpret_cast<F>(g_next[I]); }
template <class T>
T* Added(T* block) {
    g_heapBytes += SizeOf(block);
    return block;
}

void* CountedMalloc(size_t size) { return Added(Next<kMalloc, decltype(&::malloc)>()(size)); }
void* CountedCalloc(size_t count, size_t size) { return Added(Next<kCalloc, decltype(&::calloc)>()(count, size)); }
char* CountedStrdup(const char* text) { return Added(Next<kStrdup, decltype(&::_strdup)>()(text)); }

void* CountedRealloc(void* old, size_t size) {
    const long long before = SizeOf(old);
    void* block = Next<kRealloc, decltype(&::realloc)>()(old, size);
    if (block || size == 0) g_heapBytes += SizeOf(block) - before;  // realloc(old, 0) freed it
    return block;
}

void CountedFree(void* block) {
    g_heapBytes -= SizeOf(block);
    Next<kFree, decltype(&::free)>()(block);
}

void* const kCounters[kCountedFns] = {reinterpret_cast<void*>(&CountedMalloc), reinterpret_cast<void*>(&CountedCalloc),
                                      reinterpret_cast<void*>(&CountedRealloc), reinterpret_cast<void*>(&CountedStrdup),
                                      reinterpret_cast<void*>(&CountedFree)};

// The counted function of that name (kCountedFns: none).
int CountedIndex(const char* dll, const char* name) {
    for (int i = 0; i < kCountedFns && _stricmp(dll, kCrt) == 0; ++i) {
        if (std::strcmp(kCountedNames[i], name) == 0) return i;
    }
    return kCountedFns;
}

void Redirect(void** slot, void* to) {
    DWORD old = 0;
    ::VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old);
    *slot = to;
    ::VirtualProtect(slot, sizeof(*slot), old, &old);
}

// Redirects one descriptor's imports; adds those the kit does not know to unknown.
void RedirectDescriptor(BYTE* base, const IMAGE_IMPORT_DESCRIPTOR& descriptor, std::vector<std::string>& unknown) {
    const char* dll = reinterpret_cast<const char*>(base + descriptor.Name);
    const DWORD namesAt = descriptor.OriginalFirstThunk ? descriptor.OriginalFirstThunk : descriptor.FirstThunk;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + namesAt);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + descriptor.FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
        const char* name = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData)->Name;
        const Fault* fault = Find(dll, name);
        void** slot = reinterpret_cast<void**>(&slots->u1.Function);
        if (fault) {
            g_states[fault - kFaults].original = *slot;
            Redirect(slot, fault->replacement);
        }
        if (const int counted = CountedIndex(dll, name); counted != kCountedFns) {
            g_next[counted] = *slot;
            Redirect(slot, kCounters[counted]);
        } else if (!fault && !IsKept(name) && _stricmp(dll, kCrt) != 0) {
            unknown.push_back(std::string(dll) + "!" + name);
        }
    }
}

}  // namespace

std::vector<std::string> InstallImportFaults(HMODULE module) {
    std::vector<std::string> unknown;
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    const auto* descriptor = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) RedirectDescriptor(base, *descriptor, unknown);
    return unknown;
}

void FailNthCall(const std::string& name, long n, DWORD thread, DWORD error, std::function<void()> before) {
    StopFailing();
    g_before = std::move(before);
    g_failed = false;
    g_thread = thread;
    g_error = error;
    for (size_t i = 0; i < kCount; ++i) {
        g_states[i].calls = 0;
        g_states[i].failAt = name == kFaults[i].name ? n : 0;
    }
}

void StopFailing() {
    for (State& state : g_states) state.failAt = 0;
}

std::map<std::string, long> ImportCalls() {
    std::map<std::string, long> counts;
    for (size_t i = 0; i < kCount; ++i) counts[kFaults[i].name] = g_states[i].calls.load();
    return counts;
}

bool ArmedCallFailed() { return g_failed; }

// The return addresses as offsets into the module each lies in.
std::string FailedCallStack() {
    std::string text;
    for (USHORT i = 0; g_failed && i < g_failedFrames; ++i) {
        HMODULE module = nullptr;
        ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                             static_cast<const char*>(g_failedStack[i]), &module);
        char frame[32];
        std::snprintf(frame, sizeof(frame), " %p+0x%llx", static_cast<void*>(module),
                      static_cast<unsigned long long>(static_cast<char*>(g_failedStack[i]) - reinterpret_cast<char*>(module)));
        text += frame;
    }
    return text;
}

long long ModuleHeapBytes() { return g_heapBytes.load(); }

}  // namespace testkit
