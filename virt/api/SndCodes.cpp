#include "virt/api/SndCodes.h"

namespace {

struct ErrorStatus {
    uint32_t error;
    uint32_t status;
};

// Windows / service error code -> API status (see ZKSND_STATUS_* in zksndapi.h).
const ErrorStatus kConversions[] = {
    {0, 0},       // success
    {8, 2},       // ERROR_NOT_ENOUGH_MEMORY
    {14, 2},      // ERROR_OUTOFMEMORY
    {122, 3},     // ERROR_INSUFFICIENT_BUFFER
    {87, 4},      // ERROR_INVALID_PARAMETER
    {259, 5},     // ERROR_NO_MORE_ITEMS
    {1168, 5},    // ERROR_NOT_FOUND: no reply arrived
    {1248, 5},    // ERROR_NO_MORE_DEVICES
    {21, 6},      // ERROR_NOT_READY
    {183, 7},     // ERROR_ALREADY_EXISTS
    {5, 8},       // ERROR_ACCESS_DENIED
    {6701, 10},   // service-defined
    {8398, 11},   // service-defined
    {2250, 20},   // no connection to the service
};

}  // namespace

uint32_t SndErrorToStatus(uint32_t error) {
    for (const ErrorStatus& c : kConversions)
        if (c.error == error) return c.status;
    return 1;
}
