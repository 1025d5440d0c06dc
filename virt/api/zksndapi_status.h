/*
 * zksndapi_status.h - a short English text for every status of zksndapi.dll.
 *
 * Header only (nothing to link), C99 and later, C++98 and later. Include it
 * after or instead of zksndapi.h:
 *
 *     uint32_t status = ZkSndGetSettings(&settings);
 *     if (status != ZKSND_STATUS_OK) printf("settings: %s\n", ZkSndStatusText(status));
 */
#ifndef ZKSNDAPI_STATUS_H
#define ZKSNDAPI_STATUS_H

#include "zksndapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The text of a ZKSND_STATUS_* value; "unknown status" for any other value.
 * The text is a string literal: never freed, valid for the whole program. */
static inline const char* ZkSndStatusText(uint32_t status) {
    switch (status) {
    case ZKSND_STATUS_OK: return "success";
    case ZKSND_STATUS_FAILED: return "failed (library not started, no connection or no usable reply)";
    case ZKSND_STATUS_NO_MEMORY: return "out of memory";
    case ZKSND_STATUS_BUFFER_TOO_SMALL: return "buffer too small";
    case ZKSND_STATUS_INVALID_PARAMETER: return "invalid parameter";
    case ZKSND_STATUS_NOT_FOUND: return "not found";
    case ZKSND_STATUS_NOT_READY: return "not ready";
    case ZKSND_STATUS_ALREADY_EXISTS: return "already exists";
    case ZKSND_STATUS_ACCESS_DENIED: return "access denied";
    case ZKSND_STATUS_SERVICE_10: return "service-defined condition 10";
    case ZKSND_STATUS_SERVICE_11: return "service-defined condition 11";
    case ZKSND_STATUS_NOT_CONNECTED: return "not connected to the service";
    default: return "unknown status";
    }
}

#ifdef __cplusplus
}
#endif

#endif /* ZKSNDAPI_STATUS_H */
