// The library-wide state shared by the exports and the session client. All
// zero at load. g_pClient and g_pLogger change only under the exports' state
// lock (ZkSndApi.cpp), which also counts the calls in flight.
#pragma once

#include "virt/api/zksndapi.h"

class CZkLogger;
class CSndApiPipeClient;

extern CZkLogger* g_pLogger;
extern CSndApiPipeClient* g_pClient;
extern ZkSndNotifyCallback g_pfnCallback;
extern void* g_pCallbackContext;
