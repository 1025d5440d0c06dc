#include "virt/api/SndCodes.h"

namespace {

// Windows and service error codes that have a status of their own (this
// file is portable: the Windows names are spelled out here).
enum : uint32_t {
    kErrorSuccess = 0,
    kErrorAccessDenied = 5,           // ERROR_ACCESS_DENIED
    kErrorNotEnoughMemory = 8,        // ERROR_NOT_ENOUGH_MEMORY
    kErrorOutOfMemory = 14,           // ERROR_OUTOFMEMORY
    kErrorNotReady = 21,              // ERROR_NOT_READY
    kErrorInvalidParameter = 87,      // ERROR_INVALID_PARAMETER
    kErrorInsufficientBuffer = 122,   // ERROR_INSUFFICIENT_BUFFER
    kErrorAlreadyExists = 183,        // ERROR_ALREADY_EXISTS
    kErrorNoMoreItems = 259,          // ERROR_NO_MORE_ITEMS
    kErrorNotFound = 1168,            // ERROR_NOT_FOUND: no reply arrived
    kErrorNoMoreDevices = 1248,       // ERROR_NO_MORE_DEVICES
    kErrorNotConnected = 2250,        // ERROR_NOT_CONNECTED: no connection to the service
    kServiceCode6701 = 6701,          // service-defined
    kServiceCode8398 = 8398,          // service-defined
};

struct ErrorStatus {
    uint32_t error;
    uint32_t status;
};

const ErrorStatus kConversions[] = {
    {kErrorSuccess, kSndStatusOk},
    {kErrorNotEnoughMemory, kSndStatusNoMemory},
    {kErrorOutOfMemory, kSndStatusNoMemory},
    {kErrorInsufficientBuffer, kSndStatusBufferTooSmall},
    {kErrorInvalidParameter, kSndStatusInvalidParameter},
    {kErrorNoMoreItems, kSndStatusNotFound},
    {kErrorNotFound, kSndStatusNotFound},
    {kErrorNoMoreDevices, kSndStatusNotFound},
    {kErrorNotReady, kSndStatusNotReady},
    {kErrorAlreadyExists, kSndStatusAlreadyExists},
    {kErrorAccessDenied, kSndStatusAccessDenied},
    {kServiceCode6701, kSndStatusService10},
    {kServiceCode8398, kSndStatusService11},
    {kErrorNotConnected, kSndStatusNotConnected},
};

}  // namespace

uint32_t SndErrorToStatus(uint32_t error) {
    if (error == kErrorSuccess) return kSndStatusOk;  // every call that succeeds: not a table's read
    for (const ErrorStatus& c : kConversions)
        if (c.error == error) return c.status;
    return kSndStatusFailed;
}

const char* SndErrorName(uint32_t error) {
    static const struct {
        uint32_t error;
        const char* name;
    } kNames[] = {
        {2, "ERROR_FILE_NOT_FOUND"},      {5, "ERROR_ACCESS_DENIED"},       {8, "ERROR_NOT_ENOUGH_MEMORY"},
        {31, "ERROR_GEN_FAILURE"},        {87, "ERROR_INVALID_PARAMETER"},  {109, "ERROR_BROKEN_PIPE"},
        {121, "ERROR_SEM_TIMEOUT"},       {231, "ERROR_PIPE_BUSY"},         {232, "ERROR_NO_DATA"},
        {233, "ERROR_PIPE_NOT_CONNECTED"}, {995, "ERROR_OPERATION_ABORTED"}, {998, "ERROR_NOACCESS"},
        {1168, "ERROR_NOT_FOUND"},
        {1223, "ERROR_CANCELLED"},        {1236, "ERROR_CONNECTION_ABORTED"}, {1460, "ERROR_TIMEOUT"},
        {2250, "ERROR_NOT_CONNECTED"},
    };
    for (const auto& n : kNames)
        if (n.error == error) return n.name;
    return "";
}
