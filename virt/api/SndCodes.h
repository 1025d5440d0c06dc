// Conversion of Windows and service error codes to the API status codes that
// the exports return. Portable: no windows.h.
#pragma once

#include <cstdint>

// Status for an error code: an exact match in the conversion table gives its
// status, any other code gives 1 (general failure). Pure, no state. Apply it
// exactly once per code, at the boundary.
uint32_t SndErrorToStatus(uint32_t error);
