/*
 * list-devices: prints the audio devices of the Tessaline service, one a line,
 * as "ID  default|-  render|capture  NAME" in UTF-8.
 *
 * It shows the whole life of an application of zksndapi.dll: start the
 * library with a callback, wait for the connection, ask for the device list,
 * wait for its end, shut the library down. The callback only records and
 * signals; the waiting happens on the application's thread.
 *
 * Exit code: 0 when the list arrived, 1 when the library did not start,
 * 2 when there was no connection within 10 seconds, 3 when the list did not
 * end within 10 seconds (or could not be asked for), 4 when the connection
 * was lost before the list ended. Plain C89; builds with MinGW and with MSVC. Defined
 * LIST_DEVICES_FREESTANDING, it needs neither a C runtime nor the Windows SDK
 * (entry point ListDevicesEntry, linked with kernel32 only).
 */
#include "zksndapi.h"

#ifndef LIST_DEVICES_FREESTANDING
#include <windows.h>
#else
/* The few kernel32 functions this file uses, for a build without the SDK. */
typedef void* HANDLE;
typedef unsigned long DWORD;
typedef int BOOL;
#define WINAPI __stdcall
#define TRUE 1
#define FALSE 0
#define CP_UTF8 65001
#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define WAIT_OBJECT_0 0
__declspec(dllimport) HANDLE WINAPI GetStdHandle(DWORD which);
__declspec(dllimport) BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, void* overlapped);
__declspec(dllimport) int WINAPI WideCharToMultiByte(unsigned codePage, DWORD flags, const wchar_t* text, int chars,
                                                     char* bytes, int size, const char* fallback, BOOL* usedFallback);
__declspec(dllimport) HANDLE WINAPI CreateEventW(void* security, BOOL manualReset, BOOL signalled, const wchar_t* name);
__declspec(dllimport) BOOL WINAPI SetEvent(HANDLE event);
__declspec(dllimport) DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds);
__declspec(dllimport) BOOL WINAPI CloseHandle(HANDLE object);
__declspec(dllimport) void WINAPI ExitProcess(unsigned exitCode);
#endif

typedef struct ListState {
    HANDLE connected; /* set by ZKSND_NOTIFY_CONNECTED */
    HANDLE listEnd;   /* set by ZKSND_NOTIFY_DEVICE_LIST_END or ZKSND_NOTIFY_CONNECTION_LOST */
    uint32_t devices; /* device records seen (they arrive one at a time) */
    uint32_t cut;     /* the connection ended before the list did */
} ListState;

/* Writes UTF-16 text to stdout as UTF-8, a slice at a time (no big stack buffer). */
static void PrintText(const wchar_t* text) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    char bytes[3 * 256];
    while (*text != 0) {
        int chars = 0, size;
        DWORD written;
        while (chars < 256 && text[chars] != 0) ++chars;
        /* keep a surrogate pair together */
        if (chars == 256 && text[chars - 1] >= 0xD800 && text[chars - 1] <= 0xDBFF) --chars;
        size = WideCharToMultiByte(CP_UTF8, 0, text, chars, bytes, (int)sizeof(bytes), NULL, NULL);
        if (size > 0) WriteFile(out, bytes, (DWORD)size, &written, NULL);
        text += chars;
    }
}

/* A device name is the service's text: control and direction characters are
 * written as \uXXXX, so that no name can move the cursor, recolour the
 * terminal or reorder the line. */
static int IsControl(wchar_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

static void PrintName(const wchar_t* name) {
    static const wchar_t hex[] = L"0123456789ABCDEF";
    wchar_t safe[256 + 16];
    int used = 0;
    for (; *name != 0; ++name) {
        if (!IsControl(*name)) {
            safe[used++] = *name;
        } else {
            safe[used++] = L'\\';
            safe[used++] = L'u';
            safe[used++] = hex[(*name >> 12) & 15];
            safe[used++] = hex[(*name >> 8) & 15];
            safe[used++] = hex[(*name >> 4) & 15];
            safe[used++] = hex[*name & 15];
        }
        /* written between characters, not inside a surrogate pair (a few lone ones at most) */
        if (used >= 256 && (*name < 0xD800 || *name > 0xDBFF || used >= 262)) {
            safe[used] = 0;
            PrintText(safe);
            used = 0;
        }
    }
    safe[used] = 0;
    PrintText(safe);
}

static void PrintNumber(uint32_t value) {
    wchar_t digits[11];
    int i = 10;
    digits[10] = 0;
    do {
        digits[--i] = (wchar_t)(L'0' + value % 10);
        value /= 10;
    } while (value != 0);
    PrintText(digits + i);
}

/* Runs on the library's threads; the pointer in param lives only during the call. */
static void OnNotify(uint32_t code, uintptr_t param, void* context) {
    ListState* state = (ListState*)context;
    if (code == ZKSND_NOTIFY_CONNECTED) {
        SetEvent(state->connected);
    } else if (code == ZKSND_NOTIFY_DEVICE_INFO) {
        const SndDeviceInfo* device = (const SndDeviceInfo*)param;
        ++state->devices;
        PrintNumber(device->field0);
        PrintText(device->def ? L"  default  " : L"  -        ");
        PrintText(device->render ? L"render   " : L"capture  ");
        PrintName(device->devName);
        PrintText(L"\r\n");
    } else if (code == ZKSND_NOTIFY_DEVICE_LIST_END || code == ZKSND_NOTIFY_CONNECTION_LOST) {
        if (code == ZKSND_NOTIFY_CONNECTION_LOST) state->cut = 1; /* the list was cut short */
        SetEvent(state->listEnd);
    }
}

static int ListDevices(void) {
    ListState state;
    int result = 0;
    uint32_t status;
    state.connected = CreateEventW(NULL, TRUE, FALSE, NULL);
    state.listEnd = CreateEventW(NULL, TRUE, FALSE, NULL);
    state.devices = 0;
    state.cut = 0;
    if (state.connected == NULL || state.listEnd == NULL) return 1;

    /* 0: started; the library connects now or keeps trying once a second. */
    status = ZkSndVApiInit(OnNotify, &state);
    if (status != ZKSND_STATUS_OK) {
        result = 1;
    } else if (WaitForSingleObject(state.connected, 10000) != WAIT_OBJECT_0) {
        result = 2;
    } else if ((status = ZkSndVGetDeviceList()) != ZKSND_STATUS_OK) {
        result = status == ZKSND_STATUS_NOT_CONNECTED ? 4 : 3; /* 20: lost since its 8 */
    } else if (WaitForSingleObject(state.listEnd, 10000) != WAIT_OBJECT_0) {
        result = 3;
    } else if (state.cut) {
        result = 4; /* ask again after the next 8 */
    } else {
        PrintNumber(state.devices);
        PrintText(L" devices\r\n");
    }
    /* Always: no callback runs after this returns. */
    ZkSndDeInit();
    CloseHandle(state.connected);
    CloseHandle(state.listEnd);
    return result;
}

#ifdef LIST_DEVICES_FREESTANDING
/* Without a C runtime nobody calls main: the entry point ends the process. */
void ListDevicesEntry(void) {
    ExitProcess((unsigned)ListDevices());
}
#else
int main(void) {
    return ListDevices();
}
#endif
