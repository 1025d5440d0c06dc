// zksndapi.dll entry point. All set-up happens in ZkSndVApiInit.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
