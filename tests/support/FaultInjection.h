// Fault injection through a loaded DLL's imports. Install points the DLL's
// import address table slots at replacements of the same signature; each
// counts its calls (from every thread) and, once armed, makes exactly the
// N-th call fail the way the function documents (its failure value and a
// realistic last error or errno), every other call going to the original.
// Only the DLL's own imports are redirected: the test program's calls and
// those of other modules are untouched.
//
//   testkit::InstallImportFaults(dll);       // once, right after LoadLibraryW
//   testkit::FailNthCall("malloc", 4);        // counts restart; the 4th malloc fails
//   ... drive the DLL ...
//   testkit::StopFailing();                   // nothing fails any more
//
// Imports whose failure means nothing (locks, releases, GetLastError, the
// runtime's unwinder) are listed as kept: they are never failed, but the kit
// knows them, so an import it does not know shows in Install's answer.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testkit {

// Redirects module's imports; returns the imports it found that its table does
// not know (empty when it knows them all). Once per module and process.
std::vector<std::string> InstallImportFaults(HMODULE module);

// Counts restart at 0; the n-th call of name, a failable import, fails (n = 0: none).
// With a thread id, only that thread's calls count and fail (the program's own
// other threads allocate as they please). error: the last error it reports
// instead of the function's usual one (0: the usual one). before: the n-th
// call runs it instead and then goes through (a test steps in at that point).
void FailNthCall(const std::string& name, long n, DWORD thread = 0, DWORD error = 0, std::function<void()> before = nullptr);
void StopFailing();

// Calls of each failable import ("malloc", "CreateFileW") since the last
// FailNthCall (or Install), of its thread when it named one, and whether the armed call has been failed
// (reached, with before).
std::map<std::string, long> ImportCalls();
bool ArmedCallFailed();

// Where the armed call was failed: "module base+offset" of each caller,
// innermost first (for llvm-symbolizer --relative-address); empty when it has
// not been failed.
std::string FailedCallStack();

// Bytes of the C runtime's heap that the module holds: what its malloc, calloc,
// realloc and _strdup returned since Install, less what its free and realloc
// gave back (each block's _msize). A leak shows here exactly, whatever the
// test program itself allocates meanwhile.
long long ModuleHeapBytes();

}  // namespace testkit
