#include "virt/api/ApiState.h"

CZkLogger* g_pLogger = nullptr;
CSndApiPipeClient* g_pClient = nullptr;
ZkSndNotifyCallback g_pfnCallback = nullptr;
void* g_pCallbackContext = nullptr;
