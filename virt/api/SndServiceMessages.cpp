// The service's side of the messages (see SndServiceMessages.h). Reads are
// bounded by the received length, as in the library's own decoding.
#include "virt/api/SndServiceMessages.h"

#include <cstring>

namespace {

bool AllZero(const uint8_t* p, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (p[i] != 0) return false;
    return true;
}

// The layout the library gives each command: length, argSize, asyncFlag,
// and whether requestId is assigned (nonzero) rather than 0.
struct RequestLayout {
    uint32_t command;
    uint32_t length;
    uint32_t argSize;
    uint32_t asyncFlag;
    bool numbered;
};

const RequestLayout kRequestLayouts[] = {
    {nCmdSetSessionId, kSndStandardRequestSize, 4, 1, false},
    {nCmdGetDeviceList, kSndStandardRequestSize, 0, 1, false},
    {nCmdSetDefaultDevice, kSndSetDefaultRequestSize, 4, 1, false},
    {nCmdSetSettings, kSndSetSettingsRequestSize, 0, 0, true},
    {nCmdGetSettings, kSndStandardRequestSize, 0, 0, true},
};

const RequestLayout* FindLayout(uint32_t command) {
    for (const RequestLayout& l : kRequestLayouts)
        if (l.command == command) return &l;
    return nullptr;
}

bool IsWellFormed(const uint8_t* p, size_t length, const SndDecodedRequest& r) {
    const RequestLayout* l = FindLayout(r.command);
    if (l == nullptr || length != l->length || r.size != l->length) return false;
    if (l->numbered ? r.requestId == 0 : r.requestId != 0) return false;
    if (r.argSize != l->argSize || r.asyncFlag != l->asyncFlag) return false;
    // linkStatus, event and status are zero in every request.
    if (SndLoadU32(p, kSndOffLinkStatus) != 0 || SndLoadU32(p, kSndOffEvent) != 0 ||
        SndLoadU32(p, kSndOffStatus) != 0)
        return false;
    // Payload: the argument or the settings record may be anything; the rest is zero.
    size_t named = kSndOffPayload;
    if (l->argSize == 4) named += 4;
    if (l->command == nCmdSetSettings) named += kSndSettingsSize;
    return AllZero(p, named, length);
}

}  // namespace

// ---- Service side ------------------------------------------------------------

size_t SndBuildNotification(void* buffer, size_t capacity, uint32_t event, const void* payload,
                            size_t payloadSize, uint32_t command) {
    if (payload == nullptr && payloadSize != 0) return 0;
    if (payloadSize > 0xFFFFFFFFu - kSndHeaderSize) return 0;
    const size_t length = SndNotificationSize(payloadSize);
    if (!SndStartMessage(buffer, capacity, length)) return 0;
    SndStoreU32(buffer, kSndOffCommand, command);
    SndStoreU32(buffer, kSndOffEvent, event);
    SndStoreU32(buffer, kSndOffAsyncFlag, 1);
    if (payloadSize != 0)
        std::memcpy(static_cast<uint8_t*>(buffer) + kSndOffPayload, payload, payloadSize);
    return length;
}

size_t SndBuildServerInfo(void* buffer, size_t capacity, const void* payload, size_t payloadSize) {
    return SndBuildNotification(buffer, capacity, eZkSndRdpVServerInfo, payload, payloadSize);
}

size_t SndBuildDeviceInfo(void* buffer, size_t capacity, uint32_t field0, uint32_t def,
                          uint32_t render, uint32_t field3, const char16_t* name, size_t nameChars) {
    if (name == nullptr && nameChars != 0) return 0;
    if (nameChars > (0xFFFFFFFFu - kSndOffDeviceName) / 2 - 1) return 0;
    const size_t length = SndDeviceInfoSize(nameChars);
    if (!SndStartMessage(buffer, capacity, length)) return 0;
    SndStoreU32(buffer, kSndOffEvent, eZkSndRdpVDeviceInfo);
    SndStoreU32(buffer, kSndOffAsyncFlag, 1);
    SndStoreU32(buffer, kSndOffPayload + 0, field0);
    SndStoreU32(buffer, kSndOffPayload + 4, def);
    SndStoreU32(buffer, kSndOffPayload + 8, render);
    SndStoreU32(buffer, kSndOffPayload + 12, field3);
    uint8_t* out = static_cast<uint8_t*>(buffer) + kSndOffDeviceName;
    for (size_t i = 0; i < nameChars; ++i) {
        out[2 * i] = uint8_t(name[i]);
        out[2 * i + 1] = uint8_t(name[i] >> 8);
    }
    // The terminator is already there: the message was zeroed.
    return length;
}

size_t SndBuildLastDeviceInfo(void* buffer, size_t capacity) {
    return SndBuildNotification(buffer, capacity, eZkSndRdpVLastDeviceInfo, nullptr, 0);
}

size_t SndBuildReply(void* buffer, size_t capacity, uint32_t requestId, uint32_t command,
                     uint32_t status, const void* settings) {
    const size_t length = settings != nullptr ? kSndSettingsReplySize : kSndHeaderSize;
    if (!SndStartMessage(buffer, capacity, length)) return 0;
    SndStoreU32(buffer, kSndOffRequestId, requestId);
    SndStoreU32(buffer, kSndOffCommand, command);
    SndStoreU32(buffer, kSndOffStatus, status);
    if (settings != nullptr)
        std::memcpy(static_cast<uint8_t*>(buffer) + kSndOffPayload, settings, kSndSettingsSize);
    return length;
}

bool SndDecodeRequest(const void* request, size_t length, SndDecodedRequest& out) {
    out = SndDecodedRequest{};
    const uint8_t* p = static_cast<const uint8_t*>(request);
    if (p == nullptr) length = 0;
    out.length = length;
    out.size = SndLoadU32IfReceived(p, length, kSndOffSize);
    out.requestId = SndLoadU32IfReceived(p, length, kSndOffRequestId);
    out.command = SndLoadU32IfReceived(p, length, kSndOffCommand);
    out.argSize = SndLoadU32IfReceived(p, length, kSndOffArgSize);
    out.asyncFlag = SndLoadU32IfReceived(p, length, kSndOffAsyncFlag);
    if (length < kSndHeaderSize) return false;
    out.valid = true;
    if (out.argSize == 4 && length >= kSndOffPayload + 4) {
        out.hasArgument = true;
        out.argument = SndLoadU32(p, kSndOffPayload);
    }
    if (out.command == nCmdSetSettings && length >= kSndSetSettingsRequestSize)
        out.settings = p + kSndOffPayload;
    out.wellFormed = IsWellFormed(p, length, out);
    return true;
}
