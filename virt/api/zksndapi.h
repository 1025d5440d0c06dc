/*
 * zksndapi.h - client interface of the Tessaline audio service for applications
 * running in a Remote Desktop session.
 *
 * Load zksndapi.dll, call ZkSndVApiInit with a notification callback, then use
 * the calls below. Every call returns one of the ZKSND_STATUS_* codes. The
 * callback runs on library threads (the first connection's
 * ZKSND_NOTIFY_CONNECTED, and a ZKSND_NOTIFY_CONNECTION_LOST that ends it at
 * once, can run on the thread inside ZkSndVApiInit); pointers it receives are
 * valid only during the call. ZkSndVCleanUp and ZkSndDeInit called from the callback return at once
 * and finish the teardown after it returns.
 *
 * Usable from C89 to C17 and C++98 to C++20, with MSVC, clang and MinGW;
 * Windows x64, default calling convention. Needs only <stddef.h> and
 * <stdint.h>, so it also compiles freestanding. Link with zksndapi.lib (MSVC)
 * or libzksndapi.dll.a (MinGW), or load the DLL and use the PFN_ types below.
 */
#ifndef ZKSNDAPI_H
#define ZKSNDAPI_H

#include <stddef.h> /* wchar_t, offsetof */
#include <stdint.h> /* uint32_t, uintptr_t, uint8_t */

#ifdef __cplusplus
extern "C" {
#endif

/* API status codes returned by every export. */
enum {
    ZKSND_STATUS_OK = 0,
    ZKSND_STATUS_FAILED = 1,            /* general failure; library not initialised; no usable reply */
    ZKSND_STATUS_NO_MEMORY = 2,
    ZKSND_STATUS_BUFFER_TOO_SMALL = 3,
    ZKSND_STATUS_INVALID_PARAMETER = 4,
    ZKSND_STATUS_NOT_FOUND = 5,         /* not found / nothing more */
    ZKSND_STATUS_NOT_READY = 6,
    ZKSND_STATUS_ALREADY_EXISTS = 7,
    ZKSND_STATUS_ACCESS_DENIED = 8,
    ZKSND_STATUS_SERVICE_10 = 10,       /* service-defined condition (service code 6701) */
    ZKSND_STATUS_SERVICE_11 = 11,       /* service-defined condition (service code 8398) */
    ZKSND_STATUS_NOT_CONNECTED = 20     /* not connected to the service */
};

/* Notification codes passed to the callback. Every ZKSND_NOTIFY_CONNECTED is
 * followed by exactly one ZKSND_NOTIFY_CONNECTION_LOST when that connection
 * ends, however it ends; a 6 never comes without an 8 before it. Teardown
 * (ZkSndVCleanUp, ZkSndDeInit) ends the pairing: no callback after it. */
enum {
    ZKSND_NOTIFY_CONNECTION_LOST = 6,   /* param: the caller's session id (a number, not a pointer) */
    ZKSND_NOTIFY_CONNECTED = 8,         /* param: 0 */
    ZKSND_NOTIFY_SERVER_INFO = 9,       /* param: pointer to the server-information payload */
                                        /* (at least 4096 readable bytes, zero after the payload, however short) */
    ZKSND_NOTIFY_DEVICE_INFO = 300,     /* param: const SndDeviceInfo* */
    ZKSND_NOTIFY_DEVICE_LIST_END = 301  /* param: 0 */
};

/* code: a ZKSND_NOTIFY_* value; param: see the codes; context: as given to ZkSndVApiInit. */
typedef void (*ZkSndNotifyCallback)(uint32_t code, uintptr_t param, void* context);

/* One audio device, as the service describes it. devName runs to the end of
 * the notification and is terminated by a zero character. */
typedef struct SndDeviceInfo {
    uint32_t field0;      /* the device's value: what ZkSndSetDefault takes */
    uint32_t def;         /* nonzero: the default device */
    uint32_t render;      /* nonzero: a render (playback) device */
    uint32_t field3;      /* service-defined, passed through unchanged */
    wchar_t devName[1];   /* UTF-16, zero-terminated */
} SndDeviceInfo;

/* The service's settings record; the library copies it byte for byte. */
#define ZKSND_SETTINGS_SIZE 336
typedef struct SndSettings {
    uint8_t data[ZKSND_SETTINGS_SIZE];
} SndSettings;

/* A compile-time check every C and C++ compiler accepts: the array size is
 * negative, and the typedef an error, when the condition does not hold. */
#define ZKSND_STATIC_ASSERT(name, condition) \
    typedef char zksnd_static_assert_##name[(condition) ? 1 : -1]
ZKSND_STATIC_ASSERT(settings_are_336_bytes, sizeof(SndSettings) == 336);
ZKSND_STATIC_ASSERT(device_names_are_utf16, sizeof(wchar_t) == 2);
ZKSND_STATIC_ASSERT(device_name_at_16, offsetof(SndDeviceInfo, devName) == 16);

/* Connects to the service and keeps connected; 0 when the client is started, 1 on failure. */
uint32_t ZkSndVApiInit(ZkSndNotifyCallback callback, void* context);
/* Stops and destroys the client; the log stays open. Always 0. */
uint32_t ZkSndVCleanUp(void);
/* Asks for the device list; devices arrive as ZKSND_NOTIFY_DEVICE_INFO, then ZKSND_NOTIFY_DEVICE_LIST_END. */
uint32_t ZkSndVGetDeviceList(void);
/* Stops everything and closes the log. Always 0. */
uint32_t ZkSndDeInit(void);
/* Makes the device with this value the default one; no reply is awaited. */
uint32_t ZkSndSetDefault(uint32_t device);
/* Reads the service's settings record into a caller-owned 336-byte buffer. */
uint32_t ZkSndGetSettings(SndSettings* settings);
/* Writes the service's settings record. */
uint32_t ZkSndSetSettings(const SndSettings* settings);
/* Whether the configuration is locked: 1 locked, 0 not (not a status); this version always says 1. */
uint32_t ZkConfigIsLocked(void);

/* Function pointer types for GetProcAddress users. */
typedef uint32_t (*PFN_ZkSndVApiInit)(ZkSndNotifyCallback, void*);
typedef uint32_t (*PFN_ZkSndVoid)(void);
typedef uint32_t (*PFN_ZkSndSetDefault)(uint32_t);
typedef uint32_t (*PFN_ZkSndGetSettings)(SndSettings*);
typedef uint32_t (*PFN_ZkSndSetSettings)(const SndSettings*);

#ifdef __cplusplus
}
#endif

#endif /* ZKSNDAPI_H */
