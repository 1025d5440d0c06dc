// The service's side of the messages: building what the service sends and
// reading what the library sends. Used by the service emulator
// (tools/tessaline-emu) and the tests, never by the library, which is
// the client only; not compiled into the DLL.
//
// Portable C++17, like the protocol it belongs to (virt/api/SndProtocol.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "virt/api/SndProtocol.h"

// ---- Service side: building what the service sends --------------------------
// Same contract as the request builders: the message is zeroed, then filled;
// the result is its length, or 0 (buffer untouched) when it does not fit.

// Length of a notification carrying payloadSize bytes.
constexpr size_t SndNotificationSize(size_t payloadSize) { return kSndHeaderSize + payloadSize; }
// Length of a device-information notification whose name has nameChars
// characters (terminator added by the builder).
constexpr size_t SndDeviceInfoSize(size_t nameChars) {
    return kSndOffDeviceName + 2 * (nameChars + 1);
}

// Any notification: requestId 0, asyncFlag 1, the given event and command,
// payload copied to offset 32 (payload may be null when payloadSize is 0).
size_t SndBuildNotification(void* buffer, size_t capacity, uint32_t event, const void* payload,
                            size_t payloadSize, uint32_t command = 0);
size_t SndBuildServerInfo(void* buffer, size_t capacity, const void* payload, size_t payloadSize);
// Device record: the four fields, then `nameChars` units of `name` and a
// zero terminator (name may be null when nameChars is 0).
size_t SndBuildDeviceInfo(void* buffer, size_t capacity, uint32_t field0, uint32_t def,
                          uint32_t render, uint32_t field3, const char16_t* name, size_t nameChars);
size_t SndBuildLastDeviceInfo(void* buffer, size_t capacity);

// A reply to a numbered request: asyncFlag 0, requestId and status as given,
// command echoed. With `settings` (kSndSettingsSize bytes) the reply is 368
// bytes and carries the record at offset 32; without, it is 32 bytes.
size_t SndBuildReply(void* buffer, size_t capacity, uint32_t requestId, uint32_t command,
                     uint32_t status, const void* settings = nullptr);

// ---- Service side: decoding what the library sends ---------------------------

struct SndDecodedRequest {
    bool valid;             // at least a whole header was received
    size_t length;          // the received length
    uint32_t size;          // as sent
    uint32_t requestId;
    uint32_t command;
    uint32_t argSize;
    uint32_t asyncFlag;
    // The 32-bit argument at offset 32: set when argSize is 4 and the bytes
    // were received (session id, device value).
    bool hasArgument;
    uint32_t argument;
    // Set-settings only: the record at offset 32 when all 336 bytes arrived.
    const uint8_t* settings;
    // The bytes are exactly what the library builds for this command (known
    // command, length and size as in the command table, every unnamed byte
    // zero). The emulator uses it to check the library's requests.
    bool wellFormed;
};

// Reads a request without reading at or beyond request + length; a null
// request counts as length 0. Returns out.valid.
bool SndDecodeRequest(const void* request, size_t length, SndDecodedRequest& out);
