// The 12 bytes every message the request/response layer carries starts with:
// its total length, its request number (0: not an answer to a request) and a
// link-status word. That is all the framework reads or writes of a message;
// what follows belongs to the protocol above it, which checks at compile
// time that its header begins with this prefix.
//
// Portable (no windows.h): the protocol's native build includes it too.
// Little-endian on the wire, read and written bytewise: no alignment needed.
#pragma once

#include <cstddef>
#include <cstdint>

struct MsgPrefix {
    uint32_t size;        // total length of the message, prefix included
    uint32_t requestId;   // 0 in one-way messages and notifications
    uint32_t linkStatus;  // kMsgLinkStatusNotConnected in the local not-connected notice
};

constexpr uint32_t kMsgPrefixSize = 12;
constexpr size_t kMsgOffSize = 0;
constexpr size_t kMsgOffRequestId = 4;
constexpr size_t kMsgOffLinkStatus = 8;
static_assert(sizeof(MsgPrefix) == kMsgPrefixSize, "the prefix is 12 bytes");
static_assert(offsetof(MsgPrefix, size) == kMsgOffSize, "size at 0");
static_assert(offsetof(MsgPrefix, requestId) == kMsgOffRequestId, "requestId at 4");
static_assert(offsetof(MsgPrefix, linkStatus) == kMsgOffLinkStatus, "linkStatus at 8");

// The notice the client hands its own notification handler when the service
// cannot be reached: a bare prefix, size 12, requestId 0, linkStatus 2250.
constexpr uint32_t kMsgNotConnectedNoticeSize = kMsgPrefixSize;
constexpr uint32_t kMsgLinkStatusNotConnected = 2250;

inline uint32_t MsgLoadU32(const void* message, size_t offset) {
    const uint8_t* p = static_cast<const uint8_t*>(message) + offset;
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void MsgStoreU32(void* message, size_t offset, uint32_t value) {
    uint8_t* p = static_cast<uint8_t*>(message) + offset;
    p[0] = uint8_t(value);
    p[1] = uint8_t(value >> 8);
    p[2] = uint8_t(value >> 16);
    p[3] = uint8_t(value >> 24);
}

// The caller has at least kMsgPrefixSize bytes at `message`.
inline uint32_t MsgPrefixSize(const void* message) { return MsgLoadU32(message, kMsgOffSize); }
inline uint32_t MsgPrefixRequestId(const void* message) { return MsgLoadU32(message, kMsgOffRequestId); }
inline void MsgSetRequestId(void* message, uint32_t requestId) {
    MsgStoreU32(message, kMsgOffRequestId, requestId);
}

// Writes the not-connected notice. Returns its length, or 0 without touching
// the buffer when it is null or smaller than the notice.
inline size_t MsgBuildNotConnectedNotice(void* buffer, size_t capacity) {
    if (buffer == nullptr || capacity < kMsgNotConnectedNoticeSize) return 0;
    MsgStoreU32(buffer, kMsgOffSize, kMsgNotConnectedNoticeSize);
    MsgStoreU32(buffer, kMsgOffRequestId, 0);
    MsgStoreU32(buffer, kMsgOffLinkStatus, kMsgLinkStatusNotConnected);
    return kMsgNotConnectedNoticeSize;
}
