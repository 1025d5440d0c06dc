// Calls the application's notification callback behind an exception
// handler, so that an exception escaping it ends neither the library's thread
// nor the process.
#pragma once

#include <cstddef>
#include <cstdint>

#include "virt/api/zksndapi.h"

// What an MSVC-built `throw` raises (_CxxThrowException), whatever the
// application's compiler: the foreign C++ exception a callback may let escape.
const uint32_t kMsvcCxxException = 0xE06D7363u;
// A C++ exception of this library's own runtime, caught as C++ (GCC and clang
// with libstdc++ raise it as this code; MSVC's own are kMsvcCxxException).
#if defined(_MSC_VER)
const uint32_t kOwnCxxException = kMsvcCxxException;
#else
const uint32_t kOwnCxxException = 0x20474343u;  // "GCC"
#endif

// Calls callback(code, param, context). 0 when it returned; otherwise the code
// of the exception that escaped it (kOwnCxxException for this runtime's C++,
// else the structured exception's code: kMsvcCxxException, 0x0EEDFADE of
// Delphi, 0xC0000005 ...), after the frames in between were unwound. A stack
// overflow ends the process (CallbackGuard.cpp says why).
uint32_t CallGuarded(ZkSndNotifyCallback callback, uint32_t code, uintptr_t param, void* context);
// Copies size bytes between the library and memory the application named
// (a settings record), behind a handler of its own: 0, or the code of the
// access violation or in-page error that stopped it. Such a fault, left to
// the callback's handler or to none, would leave the call's locks and counts
// held, or end the process on a library thread.
uint32_t CopyGuarded(void* to, const void* from, size_t size);
