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

#elif defined(__x86_64__)

extern "C" {
// uint32_t zk_callback_guard_call(uint32_t (*inner)(void*), void* argument):
// calls inner(argument) in a frame whose language handler is
// zk_callback_guard_handler. The nop keeps the return address out of the
// epilogue: the system calls no handler for a frame stopped in its epilogue.
// zk_callback_guard_resume is where a caught exception's unwind lands, with
// its code in eax.
uint32_t zk_callback_guard_call(uint32_t (*inner)(void*), void* argument);
void zk_callback_guard_resume();

// The thunk's language handler (an EXCEPTION_ROUTINE). In the search phase it
// takes every exception (IsCaught): RtlUnwindEx runs the handlers of the frames in
// between (their destructors), then continues at the resume point with the
// thunk's registers as they were at its call and the code as return value.
EXCEPTION_DISPOSITION zk_callback_guard_handler(EXCEPTION_RECORD* record, void* establisherFrame, CONTEXT* context,
                                                DISPATCHER_CONTEXT* dispatcher) {
    if ((record->ExceptionFlags & EXCEPTION_UNWIND) != 0 || !IsCaught(record, context))
        return ExceptionContinueSearch;
    ::RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&zk_callback_guard_resume), record,
                  reinterpret_cast<void*>(static_cast<uintptr_t>(record->ExceptionCode)), dispatcher->ContextRecord,
                  dispatcher->HistoryTable);
    return ExceptionContinueSearch;  // not reached
}
}

asm(R"(
    .text
    .p2align 4
    .globl zk_callback_guard_call
    .def zk_callback_guard_call; .scl 2; .type 32; .endef
    .seh_proc zk_callback_guard_call
zk_callback_guard_call:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    .globl zk_callback_guard_resume
zk_callback_guard_resume:
    addq $40, %rsp
    retq
    .seh_handler zk_callback_guard_handler, @except
    .seh_endproc
)");

uint32_t CallGuarded(ZkSndNotifyCallback callback, uint32_t code, uintptr_t param, void* context) {
    Call call{callback, code, param, context};
    return zk_callback_guard_call(&CallCatching, &call);
}

#else
#error "CallGuarded needs MSVC's __try or the x64 thunk"
#endif
