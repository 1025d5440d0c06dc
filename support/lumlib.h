// lumlib: the error of one step (LumError, carried by value) and the error
// boundary that turns what a step raises into a Windows error code. The
// owning holders and the locks are in Holders.h.
#pragma once

#include <windows.h>

#include <cstdint>
#include <new>
#include <type_traits>

#include "support/Holders.h"

namespace lumlib {

// Why a step failed, for callers to branch on (never on a line number).
enum class LumReason : uint8_t {
    kNone,           // no failure
    kFailed,         // a Windows call failed: the code says which error
    kCancelled,      // the connection was cancelled (this side ended it)
    kStalled,        // a write made no progress within its bound
    kLost,           // the channel's connection is gone or going
    kNoMemory,       // an allocation failed
    kInvalid,        // a bad argument
    kServerRefused,  // the pipe's server is not one the client talks to
    kOpenFailed,     // the pipe could not be opened: the code says why
    kStopped,        // the client stopped during the step
    kRaised,         // the error boundary caught an exception
};

// The source file of a raise site, as a pointer into the file's own name (a
// static string): the call site's file where the compiler tells it (GCC,
// clang, MSVC 19.26 and later), else empty.
#if defined(__GNUC__) || defined(__clang__) || (defined(_MSC_VER) && _MSC_VER >= 1926)
#define LUM_CALLER_FILE __builtin_FILE()
#else
#define LUM_CALLER_FILE ""
#endif

// The file name of a path, without its folders: a pointer into path.
constexpr const char* BaseName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (*p == '/' || *p == '\\') name = p + 1;
    return name;
}

// The error of one step, carried by value: a Windows code, the reason and
// where it arose (a static module name, the real source file and line).
// Building or returning it allocates nothing and raises nothing, so the paths
// a connection ends on cost no exception.
struct LumError {
    uint32_t error = ERROR_SUCCESS;
    LumReason reason = LumReason::kNone;
    const wchar_t* module = L"";
    uint32_t line = 0;
    const char* file = "";  // the source file's name, static
    bool failed() const { return reason != LumReason::kNone; }
};

// A failure with error (ERROR_GEN_FAILURE when the call set none), raised at
// line of the calling file.
inline LumError Fail(DWORD error, LumReason reason, const wchar_t* module, uint32_t line,
                     const char* file = LUM_CALLER_FILE) {
    return LumError{error != ERROR_SUCCESS ? static_cast<uint32_t>(error) : static_cast<uint32_t>(ERROR_GEN_FAILURE),
                    reason, module, line, BaseName(file)};
}
// A failed Windows call, with the thread's last error.
inline LumError FailLast(const wchar_t* module, uint32_t line, const char* file = LUM_CALLER_FILE) {
    return Fail(::GetLastError(), LumReason::kFailed, module, line, file);
}

// What the error boundary learnt about a failure: the step's error, or for
// anything else it caught the code alone (no module, line 0).
struct LumFailure : LumError {
    // Kept for the connection's story line, which prints it after the line:
    // always empty since no step raises a text.
    const wchar_t* text = L"";
    void Keep(const LumError& e) { static_cast<LumError&>(*this) = e; }
    void Keep(uint32_t code, LumReason why) {
        Keep(LumError{});
        error = code;
        reason = code == ERROR_SUCCESS ? LumReason::kNone : why;
    }
};

// The error boundary of the framework: runs f and turns what it raises into
// a Windows error code. A LumError raised by value is kept as it is; anything
// else still reports a failure. f returns a code (0 success) or nothing.
template <typename F>
uint32_t CatchReturn(F&& f, LumFailure* failure = nullptr) noexcept {
    if (failure != nullptr) failure->Keep(ERROR_SUCCESS, LumReason::kNone);
    try {
        if constexpr (std::is_void<decltype(f())>::value) {
            f();
            return ERROR_SUCCESS;
        } else {
            return static_cast<uint32_t>(f());
        }
    } catch (const LumError& raised) {
        // A construction that cannot finish raises its LumError by value (no object on the heap).
        if (failure != nullptr) failure->Keep(raised);
        return raised.error != ERROR_SUCCESS ? raised.error : static_cast<uint32_t>(ERROR_GEN_FAILURE);
    } catch (const std::bad_alloc&) {
        if (failure != nullptr) failure->Keep(ERROR_NOT_ENOUGH_MEMORY, LumReason::kNoMemory);
        return ERROR_NOT_ENOUGH_MEMORY;
    } catch (...) {
        if (failure != nullptr) failure->Keep(ERROR_GEN_FAILURE, LumReason::kRaised);
        return ERROR_GEN_FAILURE;
    }
}

}  // namespace lumlib
