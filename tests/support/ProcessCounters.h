// Counters of the current process's resources, for leak tests: open handles
// and threads. Compare two counts taken around the code under test.
#pragma once

#include <windows.h>

namespace testkit {

// Handles open in this process, or -1 when they cannot be counted (a test
// that needs the count is skipped then). Wine 8 answers
// GetProcessHandleCount with 0; then this process's entries of the system
// handle table are counted instead.
long ProcessHandleCount();

// Threads of this process from a Toolhelp snapshot, or -1 when unavailable.
long ProcessThreadCount();

// Committed private memory of this process in bytes, summed over its
// VirtualQuery regions (heaps, stacks, VirtualAlloc blocks; not mapped
// files or images). PROCESS_MEMORY_COUNTERS would need psapi and counts
// differently under Wine; the region walk is the same on both.
unsigned long long CommittedPrivateBytes();

// Threads end a little after they are told to (and Wine ends them later
// still): polls every 10 ms until the thread count is at most limit or
// timeoutMs has passed. Returns the last count seen (-1 when unavailable).
long WaitForThreadCountAtMost(long limit, DWORD timeoutMs);

}  // namespace testkit
