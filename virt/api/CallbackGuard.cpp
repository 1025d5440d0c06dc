// The callback's exception handler. C++ exceptions of this library's runtime
// are caught as C++ (so their objects are destroyed). Every other structured
// exception (an MSVC-built application's throw, a Delphi exception, an access
// violation) passes by a GCC catch (...) untouched and needs a structured
// exception handler: MSVC has __try/__except; GCC has no __try, so there a
// small x64 thunk carries the handler in its unwind data. Left to a handler
// beyond the library's frames, such an exception would unwind them without
// their destructors (GCC and clang frames get none on a foreign unwind):
// locks, counts and suspended threads would stay as it found them.
#include "virt/api/CallbackGuard.h"

#include <windows.h>

#include <cstring>

namespace {

struct Call {
    ZkSndNotifyCallback callback;
    uint32_t code;
    uintptr_t param;
    void* context;
};

uint32_t CallCatching(void* argument) {
    const Call* call = static_cast<const Call*>(argument);
    try {
        call->callback(call->code, call->param, call->context);
        return 0;
    } catch (...) {
        return kOwnCxxException;
    }
}

// Every code is caught but a stack overflow: after it the thread has no guard
// page left, so the next overflow on it would end the process without any
// handler; it ends the process now, with the exception's own record (and its
// report), rather than go on or leave it to a handler above the library's frames.
bool IsCaught(EXCEPTION_RECORD* record, CONTEXT* context) {
    if (record->ExceptionCode == static_cast<DWORD>(EXCEPTION_STACK_OVERFLOW))
        ::RaiseFailFastException(record, context, 0);
    return true;
}

struct Copy {
    void* to;
    const void* from;
    size_t size;
};

uint32_t CopyInner(void* argument) {
    const Copy* copy = static_cast<const Copy*>(argument);
    std::memcpy(copy->to, copy->from, copy->size);
    return 0;
}

// What memory that cannot be read or written raises. Any other exception
// (a guard page among them: taken here, it would be gone for its thread's
// stack) is not the copy's to take.
bool IsMemoryFault(EXCEPTION_RECORD* record, CONTEXT*) {
    return record->ExceptionCode == static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION) ||
           record->ExceptionCode == static_cast<DWORD>(EXCEPTION_IN_PAGE_ERROR);
}

}  // namespace

#if defined(_MSC_VER)

uint32_t CallGuarded(ZkSndNotifyCallback callback, uint32_t code, uintptr_t param, void* context) {
    Call call{callback, code, param, context};
    DWORD caught = 0;  // taken in the filter: clang gives no code in the handler's body
    __try {
        return CallCatching(&call);
    } __except (caught = GetExceptionCode(),
                IsCaught(GetExceptionInformation()->ExceptionRecord, GetExceptionInformation()->ContextRecord)
                    ? EXCEPTION_EXECUTE_HANDLER
                    : EXCEPTION_CONTINUE_SEARCH) {
        return caught;
    }
}

uint32_t CopyGuarded(void* to, const void* from, size_t size) {
    Copy copy{to, from, size};
    DWORD caught = 0;
    __try {
        return CopyInner(&copy);
    } __except (caught = GetExceptionCode(),
                IsMemoryFault(GetExceptionInformation()->ExceptionRecord, nullptr) ? EXCEPTION_EXECUTE_HANDLER
                                                                                   : EXCEPTION_CONTINUE_SEARCH) {
        return caught;
    }
}

#elif defined(__x86_64__)

namespace {

// A thunk's language handler (an EXCEPTION_ROUTINE) for the exceptions
// `caught` takes, in the search phase: RtlUnwindEx runs the handlers of the
// frames in between (their destructors), then continues at `resume` with the
// thunk's registers as they were at its call and the code as return value.
EXCEPTION_DISPOSITION HandleFor(bool (*caught)(EXCEPTION_RECORD*, CONTEXT*), void (*resume)(), EXCEPTION_RECORD* record,
                                void* establisherFrame, CONTEXT* context, DISPATCHER_CONTEXT* dispatcher) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0 || !caught(record, context)) return ExceptionContinueSearch;
    ::RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(resume), record,
                  reinterpret_cast<void*>(static_cast<uintptr_t>(record->ExceptionCode)), dispatcher->ContextRecord,
                  dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // not reached
}

}  // namespace

// The text of a thunk NAME(inner, argument): calls inner(argument) in a frame
// whose language handler is HANDLER. The nop keeps the return address out of
// the epilogue: the system calls no handler for a frame stopped in its
// epilogue. NAME_resume is where a caught exception's unwind lands, with its
// code in eax.
#define ZK_GUARD_THUNK(name, handler)                                                                   \
    ".text\n .p2align 4\n .globl " name "\n .def " name "; .scl 2; .type 32; .endef\n .seh_proc " name "\n" \
    name ":\n subq $40, %rsp\n .seh_stackalloc 40\n .seh_endprologue\n"                               \
    " movq %rcx, %rax\n movq %rdx, %rcx\n callq *%rax\n nop\n"                                          \
    " .globl " name "_resume\n" name "_resume:\n addq $40, %rsp\n retq\n"                               \
    " .seh_handler " handler ", @except\n .seh_endproc\n"

extern "C" {
uint32_t zk_callback_guard_call(uint32_t (*inner)(void*), void* argument);
void zk_callback_guard_call_resume();
uint32_t zk_copy_guard_call(uint32_t (*inner)(void*), void* argument);
void zk_copy_guard_call_resume();

EXCEPTION_DISPOSITION zk_callback_guard_handler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                                DISPATCHER_CONTEXT* dispatcher) {
    return HandleFor(&IsCaught, &zk_callback_guard_call_resume, record, frame, context, dispatcher);
}
EXCEPTION_DISPOSITION zk_copy_guard_handler(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                            DISPATCHER_CONTEXT* dispatcher) {
    return HandleFor(&IsMemoryFault, &zk_copy_guard_call_resume, record, frame, context, dispatcher);
}
}

asm(ZK_GUARD_THUNK("zk_callback_guard_call", "zk_callback_guard_handler")
        ZK_GUARD_THUNK("zk_copy_guard_call", "zk_copy_guard_handler"));

uint32_t CallGuarded(ZkSndNotifyCallback callback, uint32_t code, uintptr_t param, void* context) {
    Call call{callback, code, param, context};
    return zk_callback_guard_call(&CallCatching, &call);
}

uint32_t CopyGuarded(void* to, const void* from, size_t size) {
    Copy copy{to, from, size};
    return zk_copy_guard_call(&CopyInner, &copy);
}

#else
#error "CallGuarded needs MSVC's __try or the x64 thunk"
#endif
