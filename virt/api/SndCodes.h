// Conversion of Windows and service error codes to the API status codes that
// the exports return. Portable: no windows.h.
#pragma once

#include <cstdint>

// The API statuses, as ZKSND_STATUS_* in zksndapi.h (which this portable code
// cannot include: it requires a 2-byte wchar_t, and the native sanitizer build
// has 4). ZkSndApi.cpp checks at compile time that both agree.
constexpr uint32_t kSndStatusOk = 0;
constexpr uint32_t kSndStatusFailed = 1;
constexpr uint32_t kSndStatusNoMemory = 2;
constexpr uint32_t kSndStatusBufferTooSmall = 3;
constexpr uint32_t kSndStatusInvalidParameter = 4;
constexpr uint32_t kSndStatusNotFound = 5;
constexpr uint32_t kSndStatusNotReady = 6;
constexpr uint32_t kSndStatusAlreadyExists = 7;
constexpr uint32_t kSndStatusAccessDenied = 8;
constexpr uint32_t kSndStatusService10 = 10;
constexpr uint32_t kSndStatusService11 = 11;
constexpr uint32_t kSndStatusNotConnected = 20;

// Status for an error code: an exact match in the conversion table gives its
// status, any other code gives 1 (general failure). Pure, no state. Apply it
// exactly once per code, at the boundary.
uint32_t SndErrorToStatus(uint32_t error);
