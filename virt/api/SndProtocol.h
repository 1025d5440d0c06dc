// Messages exchanged with the Tessaline audio service over its pipe: the
// 32-byte header, the commands the library sends, the notifications and
// replies the service sends, and the device record.
//
// Portable C++17 on purpose (no windows.h, no wchar_t): the same code builds
// the library's requests, decodes what the service sends, and serves the
// service emulator and the native sanitizer/fuzz build. The service's side
// (what the emulator builds and decodes) is in SndServiceMessages.h, which
// the DLL does not link. Integers are little-endian on the wire; every
// access goes through SndLoadU32/SndStoreU32, so buffers need no alignment.
// Nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pipes/MessagePrefix.h"

// ---- Header ---------------------------------------------------------------

struct SndMsgHeader {
    uint32_t size;        // total length of the message, header included
    uint32_t requestId;   // 0 in one-way requests and notifications
    uint32_t linkStatus;  // 0 from the wire; 2250 in the local not-connected notice
    uint32_t command;     // command code of a request
    uint32_t event;       // event code of a notification, 0 in requests
    uint32_t argSize;     // 4 when the request carries one 32-bit argument
    uint32_t asyncFlag;   // 1: answered by notifications or not at all; 0: waits for a reply
    uint32_t status;      // reply: the service's Windows-style error code
};

static_assert(sizeof(SndMsgHeader) == 32, "SndMsgHeader is 32 bytes");
static_assert(offsetof(SndMsgHeader, size) == 0, "size at 0");
static_assert(offsetof(SndMsgHeader, requestId) == 4, "requestId at 4");
static_assert(offsetof(SndMsgHeader, linkStatus) == 8, "linkStatus at 8");
static_assert(offsetof(SndMsgHeader, command) == 12, "command at 12");
static_assert(offsetof(SndMsgHeader, event) == 16, "event at 16");
static_assert(offsetof(SndMsgHeader, argSize) == 20, "argSize at 20");
static_assert(offsetof(SndMsgHeader, asyncFlag) == 24, "asyncFlag at 24");
static_assert(offsetof(SndMsgHeader, status) == 28, "status at 28");

// Byte offsets, for code that works on raw buffers.
enum : uint32_t {
    kSndOffSize = 0,
    kSndOffRequestId = 4,
    kSndOffLinkStatus = 8,
    kSndOffCommand = 12,
    kSndOffEvent = 16,
    kSndOffArgSize = 20,
    kSndOffAsyncFlag = 24,
    kSndOffStatus = 28,
    kSndOffPayload = 32,
};

// ---- Codes ----------------------------------------------------------------

// Commands the library sends.
enum SndCommand : uint32_t {
    nCmdSetSessionId = 0,
    nCmdGetDeviceList = 7,
    nCmdSetDefaultDevice = 8,
    nCmdSetSettings = 9,
    nCmdGetSettings = 10,
};

// Events of the service's notifications.
enum SndEvent : uint32_t {
    eZkSndRdpVEvtNotValid = 0,
    eZkSndRdpVServerInfo = 1,
    eZkSndRdpVDeviceInfo = 2,
    eZkSndRdpVLastDeviceInfo = 3,
    eZkSndRdpVServiceOff = 4,
    eZkSndRdpVServiceOn = 5,
    eZkSndRdpVLocalDeviceInfo = 6,
    eZkSndRdpVDeviceSettings = 7,
    eZkSndRdpVServiceEnable = 8,
};

// Name of an event code for the log: the enumerator's name for 0..8,
// "Unknown" for anything else. Never null; static storage.
const char* SndEventName(uint32_t event);

// ---- Sizes ----------------------------------------------------------------

constexpr uint32_t kSndHeaderSize = 32;
constexpr uint32_t kSndStandardRequestSize = 8240;    // header + 8208-byte payload area
constexpr uint32_t kSndSetDefaultRequestSize = 8244;
constexpr uint32_t kSndSetDefaultUsedSize = kSndOffPayload + 4;  // the rest is zeros
constexpr uint32_t kSndSettingsSize = 336;             // opaque SndSettings record
constexpr uint32_t kSndSetSettingsRequestSize = kSndHeaderSize + kSndSettingsSize;  // 368
constexpr uint32_t kSndSettingsReplySize = kSndHeaderSize + kSndSettingsSize;       // 368
constexpr uint32_t kSndNotConnectedNoticeSize = 12;    // size, requestId, linkStatus only
constexpr uint32_t kSndLinkStatusNotConnected = 2250;
constexpr uint32_t kSndUnknownSessionId = 0xFFFFFFFFu; // session id that could not be determined
constexpr uint32_t kSndDeviceRecordFixedSize = 16;     // four 32-bit fields before devName
constexpr uint32_t kSndOffDeviceName = kSndOffPayload + kSndDeviceRecordFixedSize;  // 48
// Largest request the library builds; a buffer this size fits any of them.
constexpr uint32_t kSndMaxRequestSize = kSndSetDefaultRequestSize;

static_assert(kSndSetSettingsRequestSize == 368, "set-settings request is 368 bytes");

// ---- Raw little-endian access ---------------------------------------------

inline uint32_t SndLoadU32(const void* message, size_t offset) {
    const uint8_t* p = static_cast<const uint8_t*>(message) + offset;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void SndStoreU32(void* message, size_t offset, uint32_t value) {
    uint8_t* p = static_cast<uint8_t*>(message) + offset;
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

// The field at `offset` when its four bytes are within the `length` received,
// else 0.
inline uint32_t SndLoadU32IfReceived(const void* message, size_t length, size_t offset) {
    return length >= offset + 4 ? SndLoadU32(message, offset) : 0;
}

// ---- The 12-byte prefix every message starts with --------------------------
// Its total length, its request number and a link-status word: the pipe
// framework's message prefix (pipes/MessagePrefix.h), all that the
// request/response layer reads of a message. The header must begin with it.

constexpr uint32_t kSndPrefixSize = kMsgPrefixSize;
static_assert(offsetof(SndMsgHeader, size) == offsetof(MsgPrefix, size), "size where the framework reads it");
static_assert(offsetof(SndMsgHeader, requestId) == offsetof(MsgPrefix, requestId),
              "requestId where the framework numbers requests");
static_assert(offsetof(SndMsgHeader, linkStatus) == offsetof(MsgPrefix, linkStatus),
              "linkStatus where the framework puts it");
static_assert(kSndOffSize == kMsgOffSize && kSndOffRequestId == kMsgOffRequestId &&
                  kSndOffLinkStatus == kMsgOffLinkStatus,
              "the header's first three fields are the framework's prefix");
static_assert(kSndNotConnectedNoticeSize == kMsgNotConnectedNoticeSize &&
                  kSndLinkStatusNotConnected == kMsgLinkStatusNotConnected,
              "the not-connected notice is the framework's");
// The frame header: the payload length, little-endian.
constexpr uint32_t kSndFrameHeaderSize = 4;

// ---- Requests the library sends -------------------------------------------
// Each builder zeroes the whole request and fills the fields of its command.
// It returns the request's length (also written to `size`), or 0 without
// touching the buffer when `capacity` is too small or `buffer` is null.
// requestId stays 0 unless given: the request/response layer numbers
// settings requests itself just before sending.

// Zeroes `length` bytes, except the last `zeroed` ones (zeros already), and
// writes the size field every message has. false (buffer untouched) when the
// buffer is null or smaller than `length`, or when `length` does not fit the
// 32-bit field. The start of every builder.
bool SndStartMessage(void* buffer, size_t capacity, size_t length, size_t zeroed = 0);

size_t SndBuildSetSessionId(void* buffer, size_t capacity, uint32_t sessionId);
size_t SndBuildGetDeviceList(void* buffer, size_t capacity);
// The request's bytes from kSndSetDefaultUsedSize on are zeros; `zeroed`: as
// for SndStartMessage (the sender's frame may hold those zeros from the last one).
size_t SndBuildSetDefaultDevice(void* buffer, size_t capacity, uint32_t device, size_t zeroed = 0);
// `settings` points at kSndSettingsSize bytes; null gives an all-zero record.
size_t SndBuildSetSettings(void* buffer, size_t capacity, const void* settings, uint32_t requestId = 0);
// The bytes after its header are zeros; `zeroed`: as for SndBuildSetDefaultDevice.
size_t SndBuildGetSettings(void* buffer, size_t capacity, uint32_t requestId = 0, size_t zeroed = 0);

// ---- Decoding what the service sends ---------------------------------------

enum class SndMsgKind : uint32_t {
    Short,               // fewer than 32 bytes and not the notice: nothing usable
    NotConnectedNotice,  // the 12-byte local notice
    Reply,               // requestId != 0
    Notification,        // requestId 0, asyncFlag and event nonzero
    Unknown,             // requestId 0 with asyncFlag 0 or event 0
};

enum class SndDeviceRecordState : uint32_t {
    None,              // the message is not a device-information notification
    Complete,          // four fields and a terminated devName within the received bytes
    NameUnterminated,  // four fields present, no zero character before the end
    CutShort,          // fewer than 16 payload bytes: the four fields are not all there
};

// The device record of an eZkSndRdpVDeviceInfo notification, read in place.
struct SndDeviceRecord {
    SndDeviceRecordState state;
    uint32_t field0;       // service-defined, passed through
    uint32_t def;          // nonzero: the default device
    uint32_t render;       // nonzero: a render (playback) device
    uint32_t field3;       // service-defined, passed through
    // Message offset 48 (record offset 16), or null when CutShort. UTF-16LE
    // code units, possibly unaligned: read them byte by byte.
    const uint8_t* devName;
    // Complete: characters before the terminator. NameUnterminated: whole
    // characters received (an odd trailing byte is ignored). CutShort: 0.
    size_t devNameChars;
};

struct SndDecodedMsg {
    SndMsgKind kind;
    size_t length;          // the received length, the only bound ever used
    // Header fields; a field is 0 when its bytes were not received.
    uint32_t size;          // as sent, never used as a bound
    uint32_t requestId;
    uint32_t linkStatus;
    uint32_t command;
    uint32_t event;
    uint32_t argSize;
    uint32_t asyncFlag;
    uint32_t status;
    // Bytes from offset 32 to the received length; null/0 for short messages.
    const uint8_t* payload;
    size_t payloadSize;
    // Filled for Notification with event eZkSndRdpVDeviceInfo; state None otherwise.
    SndDeviceRecord device;
};

// Classifies a received message and reads its fields without ever reading
// at or beyond message + length. A null message counts as length 0.
// Returns out.kind.
SndMsgKind SndDecodeMessage(const void* message, size_t length, SndDecodedMsg& out);

// Reads a device record from a payload (message offset 32) of payloadSize
// received bytes, with the same bounds and states as SndDecodeMessage.
void SndDecodeDeviceRecord(const void* payload, size_t payloadSize, SndDeviceRecord& out);
