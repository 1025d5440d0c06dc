// The library-wide state shared by the exports and the session client. All
// zero at load. g_pClient and the logger's share change only under the
// exports' state lock (ZkSndApi.cpp).
#pragma once

#include <atomic>
#include <memory>

#include "virt/api/zksndapi.h"

class CZkLogger;
class CSndApiPipeClient;

// The library's share of the logger. Each client holds a share of its own,
// so the logger outlives every client that logs to it, whichever teardown
// takes the library's share.
std::shared_ptr<CZkLogger>& LoggerShare();
// Read without the lock only by the exports' rundown guard.
extern std::atomic<CSndApiPipeClient*> g_pClient;
extern ZkSndNotifyCallback g_pfnCallback;
extern void* g_pCallbackContext;

// Retirements: teardowns asked for inside a callback, finished on threads of
// their own (the callback's thread cannot wait for itself).
//
// Runs routine(param) on a retirement thread; false when none could be started.
bool StartRetirement(unsigned(__stdcall* routine)(void*), void* param);
// Joins the retirement threads that have ended, or with wait all of them
// (never on a callback's thread: they wait for it). True when no retirement
// is left, joined or not.
bool JoinRetirements(bool wait);
