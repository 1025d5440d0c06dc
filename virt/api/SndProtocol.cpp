// Building and reading the service's messages. Every read is bounded by the
// received length; the `size` field is reported but never used as a bound,
// because it comes from the peer.
#include "virt/api/SndProtocol.h"

#include <cstring>

namespace {

const char* const kEventNames[] = {
    "eZkSndRdpVEvtNotValid",    "eZkSndRdpVServerInfo",     "eZkSndRdpVDeviceInfo",
    "eZkSndRdpVLastDeviceInfo", "eZkSndRdpVServiceOff",     "eZkSndRdpVServiceOn",
    "eZkSndRdpVLocalDeviceInfo", "eZkSndRdpVDeviceSettings", "eZkSndRdpVServiceEnable",
};

// Zeroes `length` bytes and writes the header fields every message has.
// Returns false (buffer untouched) when the message does not fit.
bool StartMessage(void* buffer, size_t capacity, size_t length) {
    if (buffer == nullptr || capacity < length || length > 0xFFFFFFFFu) return false;
    std::memset(buffer, 0, length);
    SndStoreU32(buffer, kSndOffSize, uint32_t(length));
    return true;
}

size_t BuildRequest(void* buffer, size_t capacity, uint32_t length, uint32_t command,
                    uint32_t requestId, uint32_t argSize, uint32_t asyncFlag) {
    if (!StartMessage(buffer, capacity, length)) return 0;
    SndStoreU32(buffer, kSndOffRequestId, requestId);
    SndStoreU32(buffer, kSndOffCommand, command);
    SndStoreU32(buffer, kSndOffArgSize, argSize);
    SndStoreU32(buffer, kSndOffAsyncFlag, asyncFlag);
    return length;
}

// Header field at `offset` when its four bytes were received, else 0.
uint32_t FieldIfReceived(const uint8_t* message, size_t length, size_t offset) {
    return length >= offset + 4 ? SndLoadU32(message, offset) : 0;
}

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

const char* SndEventName(uint32_t event) {
    if (event < sizeof(kEventNames) / sizeof(kEventNames[0])) return kEventNames[event];
    return "Unknown";
}

// ---- Requests --------------------------------------------------------------

size_t SndBuildSetSessionId(void* buffer, size_t capacity, uint32_t sessionId) {
    size_t n = BuildRequest(buffer, capacity, kSndStandardRequestSize, nCmdSetSessionId, 0, 4, 1);
    if (n != 0) SndStoreU32(buffer, kSndOffPayload, sessionId);
    return n;
}

size_t SndBuildGetDeviceList(void* buffer, size_t capacity) {
    return BuildRequest(buffer, capacity, kSndStandardRequestSize, nCmdGetDeviceList, 0, 0, 1);
}

size_t SndBuildSetDefaultDevice(void* buffer, size_t capacity, uint32_t device) {
    size_t n = BuildRequest(buffer, capacity, kSndSetDefaultRequestSize, nCmdSetDefaultDevice, 0, 4, 1);
    if (n != 0) SndStoreU32(buffer, kSndOffPayload, device);
    return n;
}

size_t SndBuildSetSettings(void* buffer, size_t capacity, const void* settings, uint32_t requestId) {
    size_t n = BuildRequest(buffer, capacity, kSndSetSettingsRequestSize, nCmdSetSettings, requestId, 0, 0);
    if (n != 0 && settings != nullptr)
        std::memcpy(static_cast<uint8_t*>(buffer) + kSndOffPayload, settings, kSndSettingsSize);
    return n;
}

size_t SndBuildGetSettings(void* buffer, size_t capacity, uint32_t requestId) {
    return BuildRequest(buffer, capacity, kSndStandardRequestSize, nCmdGetSettings, requestId, 0, 0);
}

size_t SndBuildNotConnectedNotice(void* buffer, size_t capacity) {
    if (!StartMessage(buffer, capacity, kSndNotConnectedNoticeSize)) return 0;
    SndStoreU32(buffer, kSndOffLinkStatus, kSndLinkStatusNotConnected);
    return kSndNotConnectedNoticeSize;
}

// ---- Decoding ----------------------------------------------------------------

void SndDecodeDeviceRecord(const void* payload, size_t payloadSize, SndDeviceRecord& out) {
    out = SndDeviceRecord{};
    const uint8_t* p = static_cast<const uint8_t*>(payload);
    if (p == nullptr) payloadSize = 0;
    out.field0 = FieldIfReceived(p, payloadSize, 0);
    out.def = FieldIfReceived(p, payloadSize, 4);
    out.render = FieldIfReceived(p, payloadSize, 8);
    out.field3 = FieldIfReceived(p, payloadSize, 12);
    if (payloadSize < kSndDeviceRecordFixedSize) {
        out.state = SndDeviceRecordState::CutShort;
        return;
    }
    out.devName = p + kSndDeviceRecordFixedSize;
    const size_t units = (payloadSize - kSndDeviceRecordFixedSize) / 2;
    for (size_t i = 0; i < units; ++i) {
        if (out.devName[2 * i] == 0 && out.devName[2 * i + 1] == 0) {
            out.state = SndDeviceRecordState::Complete;
            out.devNameChars = i;
            return;
        }
    }
    out.state = SndDeviceRecordState::NameUnterminated;
    out.devNameChars = units;
}

SndMsgKind SndDecodeMessage(const void* message, size_t length, SndDecodedMsg& out) {
    out = SndDecodedMsg{};
    const uint8_t* p = static_cast<const uint8_t*>(message);
    if (p == nullptr) length = 0;
    out.length = length;
    out.size = FieldIfReceived(p, length, kSndOffSize);
    out.requestId = FieldIfReceived(p, length, kSndOffRequestId);
    out.linkStatus = FieldIfReceived(p, length, kSndOffLinkStatus);
    out.command = FieldIfReceived(p, length, kSndOffCommand);
    out.event = FieldIfReceived(p, length, kSndOffEvent);
    out.argSize = FieldIfReceived(p, length, kSndOffArgSize);
    out.asyncFlag = FieldIfReceived(p, length, kSndOffAsyncFlag);
    out.status = FieldIfReceived(p, length, kSndOffStatus);

    if (length < kSndHeaderSize) {
        // Only the local notice is meaningful without a whole header.
        const bool notice = length >= kSndNotConnectedNoticeSize &&
                            out.size == kSndNotConnectedNoticeSize && out.requestId == 0 &&
                            out.linkStatus == kSndLinkStatusNotConnected;
        out.kind = notice ? SndMsgKind::NotConnectedNotice : SndMsgKind::Short;
        return out.kind;
    }

    out.payload = p + kSndOffPayload;
    out.payloadSize = length - kSndOffPayload;
    if (out.requestId != 0) {
        out.kind = SndMsgKind::Reply;
    } else if (out.asyncFlag == 0 || out.event == eZkSndRdpVEvtNotValid) {
        out.kind = SndMsgKind::Unknown;
    } else {
        out.kind = SndMsgKind::Notification;
        if (out.event == eZkSndRdpVDeviceInfo)
            SndDecodeDeviceRecord(out.payload, out.payloadSize, out.device);
    }
    return out.kind;
}

char16_t SndDeviceNameAt(const SndDeviceRecord& record, size_t index) {
    if (record.devName == nullptr || index >= record.devNameChars) return 0;
    return char16_t(record.devName[2 * index] | (record.devName[2 * index + 1] << 8));
}

size_t SndCopyDeviceName(const SndDeviceRecord& record, char16_t* out, size_t outChars) {
    if (out == nullptr || outChars == 0) return 0;
    size_t n = record.devNameChars < outChars - 1 ? record.devNameChars : outChars - 1;
    if (record.devName == nullptr) n = 0;
    for (size_t i = 0; i < n; ++i) out[i] = SndDeviceNameAt(record, i);
    out[n] = 0;
    return n;
}

// ---- Service side ------------------------------------------------------------

size_t SndBuildNotification(void* buffer, size_t capacity, uint32_t event, const void* payload,
                            size_t payloadSize, uint32_t command) {
    if (payload == nullptr && payloadSize != 0) return 0;
    if (payloadSize > 0xFFFFFFFFu - kSndHeaderSize) return 0;
    const size_t length = SndNotificationSize(payloadSize);
    if (!StartMessage(buffer, capacity, length)) return 0;
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
    if (!StartMessage(buffer, capacity, length)) return 0;
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
    if (!StartMessage(buffer, capacity, length)) return 0;
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
    out.size = FieldIfReceived(p, length, kSndOffSize);
    out.requestId = FieldIfReceived(p, length, kSndOffRequestId);
    out.command = FieldIfReceived(p, length, kSndOffCommand);
    out.argSize = FieldIfReceived(p, length, kSndOffArgSize);
    out.asyncFlag = FieldIfReceived(p, length, kSndOffAsyncFlag);
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
