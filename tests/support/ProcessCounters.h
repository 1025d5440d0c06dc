// Counters of the current process's resources, for leak tests: open handles
// and threads. Counts are taken at the moment of the call; compare two counts
// taken around the code under test.
#pragma once

#include <windows.h>

namespace testkit {

// How ProcessHandleCount obtained its number.
enum class HandleCountMethod {
    None,                    // no method works: the count is -1
    GetProcessHandleCount,   // kernel32's own count (Windows)
    ExtendedHandleTable,     // NtQuerySystemInformation class 64, filtered by process id
    HandleTable,             // NtQuerySystemInformation class 16, filtered by process id
};

// Number of handles open in the current process, or -1 when no method works.
// GetProcessHandleCount is asked first; Wine 8 answers it with 0, so when it
// reports 0 or fails the system handle table is counted instead (entries of
// this process id). Tests that get -1 should GTEST_SKIP() with
// kNoHandleCountMessage.
long ProcessHandleCount();

// The method the last successful ProcessHandleCount used (None before any).
HandleCountMethod LastHandleCountMethod();
const char* HandleCountMethodName(HandleCountMethod method);

// Skip message for tests that need a handle count where none is available.
extern const char* const kNoHandleCountMessage;

// Number of threads of the current process from a Toolhelp thread snapshot,
// or -1 when the snapshot cannot be taken.
long ProcessThreadCount();

// Threads end a little after they are told to (and Wine ends them later
// still): polls the thread count every 10 ms until it is at most `limit` or
// `timeoutMs` has passed. Returns the last count seen (-1 when unavailable).
long WaitForThreadCountAtMost(long limit, DWORD timeoutMs);

}  // namespace testkit
