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

// `used`: the request's bytes before its zeros (its header, and an argument
// after it); `zeroed` is taken only past them.
size_t BuildRequest(void* buffer, size_t capacity, uint32_t length, uint32_t command, uint32_t requestId,
                    uint32_t argSize, uint32_t asyncFlag, size_t zeroed = 0, size_t used = kSndHeaderSize) {
    const size_t zeroTail = length > used ? length - used : 0;
    if (!SndStartMessage(buffer, capacity, length, zeroed < zeroTail ? zeroed : zeroTail)) return 0;
    SndStoreU32(buffer, kSndOffRequestId, requestId);
    SndStoreU32(buffer, kSndOffCommand, command);
    SndStoreU32(buffer, kSndOffArgSize, argSize);
    SndStoreU32(buffer, kSndOffAsyncFlag, asyncFlag);
    return length;
}

}  // namespace

const char* SndEventName(uint32_t event) {
    if (event < sizeof(kEventNames) / sizeof(kEventNames[0])) return kEventNames[event];
    return "Unknown";
}

bool SndStartMessage(void* buffer, size_t capacity, size_t length, size_t zeroed) {
    if (buffer == nullptr || capacity < length || length > 0xFFFFFFFFu) return false;
    std::memset(buffer, 0, length - (zeroed < length ? zeroed : length));
    SndStoreU32(buffer, kSndOffSize, uint32_t(length));
    return true;
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

size_t SndBuildSetDefaultDevice(void* buffer, size_t capacity, uint32_t device, size_t zeroed) {
    size_t n = BuildRequest(buffer, capacity, kSndSetDefaultRequestSize, nCmdSetDefaultDevice, 0, 4, 1, zeroed,
                            kSndSetDefaultUsedSize);
    if (n != 0) SndStoreU32(buffer, kSndOffPayload, device);
    return n;
}

size_t SndBuildSetSettings(void* buffer, size_t capacity, const void* settings, uint32_t requestId) {
    size_t n = BuildRequest(buffer, capacity, kSndSetSettingsRequestSize, nCmdSetSettings, requestId, 0, 0);
    if (n != 0 && settings != nullptr)
        std::memcpy(static_cast<uint8_t*>(buffer) + kSndOffPayload, settings, kSndSettingsSize);
    return n;
}

size_t SndBuildGetSettings(void* buffer, size_t capacity, uint32_t requestId, size_t zeroed) {
    return BuildRequest(buffer, capacity, kSndStandardRequestSize, nCmdGetSettings, requestId, 0, 0, zeroed);
}

// ---- Decoding ----------------------------------------------------------------

void SndDecodeDeviceRecord(const void* payload, size_t payloadSize, SndDeviceRecord& out) {
    out = SndDeviceRecord{};
    const uint8_t* p = static_cast<const uint8_t*>(payload);
    if (p == nullptr) payloadSize = 0;
    out.field0 = SndLoadU32IfReceived(p, payloadSize, 0);
    out.def = SndLoadU32IfReceived(p, payloadSize, 4);
    out.render = SndLoadU32IfReceived(p, payloadSize, 8);
    out.field3 = SndLoadU32IfReceived(p, payloadSize, 12);
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
    out.size = SndLoadU32IfReceived(p, length, kSndOffSize);
    out.requestId = SndLoadU32IfReceived(p, length, kSndOffRequestId);
    out.linkStatus = SndLoadU32IfReceived(p, length, kSndOffLinkStatus);
    out.command = SndLoadU32IfReceived(p, length, kSndOffCommand);
    out.event = SndLoadU32IfReceived(p, length, kSndOffEvent);
    out.argSize = SndLoadU32IfReceived(p, length, kSndOffArgSize);
    out.asyncFlag = SndLoadU32IfReceived(p, length, kSndOffAsyncFlag);
    out.status = SndLoadU32IfReceived(p, length, kSndOffStatus);

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

