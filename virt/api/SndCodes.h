// Conversion of Windows and service error codes to the API status codes that
// the exports return. Portable: no windows.h.
#pragma once

#include <cstdint>

// The API statuses, as ZKSND_STATUS_* in zksndapi.h (which this portable code
// cannot include: it requires a 2-byte wchar_t, and the native sanitizer build
// has 4). ZkSndApi.cpp checks at compile time that both agree.
enum SndStatus : uint32_t {
    kSndStatusOk = 0,
    kSndStatusFailed = 1,
    kSndStatusNoMemory = 2,
    kSndStatusBufferTooSmall = 3,
    kSndStatusInvalidParameter = 4,
    kSndStatusNotFound = 5,
    kSndStatusNotReady = 6,
    kSndStatusAlreadyExists = 7,
    kSndStatusAccessDenied = 8,
    kSndStatusService10 = 10,
    kSndStatusService11 = 11,
    kSndStatusNotConnected = 20,
};

// Status for an error code: an exact match in the conversion table gives its
// status, any other code gives 1 (general failure). Pure, no state. Apply it
// exactly once per code, at the boundary.
uint32_t SndErrorToStatus(uint32_t error);
