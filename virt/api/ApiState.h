// The library-wide state shared by the exports and the session client. All
// zero at load; not guarded by any lock (the application must not
// re-initialise while another export or the callback runs).
#pragma once

#include "virt/api/zksndapi.h"

class CZkLogger;
class CSndApiPipeClient;

extern CZkLogger* g_pLogger;
extern CSndApiPipeClient* g_pClient;
extern ZkSndNotifyCallback g_pfnCallback;
extern void* g_pCallbackContext;
