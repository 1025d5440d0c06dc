// Feeds arbitrary bytes to every decoder, and uses them to drive the service
// side builders, checking that results stay within the received bytes.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tests/support/DeviceName.h"
#include "virt/api/SndCodes.h"
#include "virt/api/SndServiceMessages.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool Within(const uint8_t* p, size_t n, const uint8_t* base, size_t size) {
    return p >= base && p + n <= base + size;
}

void CheckRecord(const SndDeviceRecord& r, const uint8_t* base, size_t size) {
    if (r.devName == nullptr) {
        Check(r.devNameChars == 0);
        return;
    }
    const size_t units = r.devNameChars + (r.state == SndDeviceRecordState::Complete ? 1 : 0);
    Check(Within(r.devName, 2 * units, base, size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input is the received message itself, in a block of exactly its size.
    std::vector<uint8_t> message(data, data + size);
    const uint8_t* m = message.data();

    SndDecodedMsg msg;
    const SndMsgKind kind = SndDecodeMessage(m, size, msg);
    Check(kind == msg.kind && msg.length == size);
    Check(SndEventName(msg.event) != nullptr);
    Check(SndErrorToStatus(msg.status) <= 20);
    if (msg.payload != nullptr) Check(Within(msg.payload, msg.payloadSize, m, size));
    if (kind == SndMsgKind::Notification && msg.event == eZkSndRdpVDeviceInfo) {
        Check(msg.device.state != SndDeviceRecordState::None);
        CheckRecord(msg.device, m, size);
        // A complete record rebuilds into a message that decodes to the same record.
        if (msg.device.state == SndDeviceRecordState::Complete && msg.device.devNameChars < 512) {
            const std::u16string name = zk_testkit::DeviceName(msg.device);
            std::vector<uint8_t> rebuilt(SndDeviceInfoSize(msg.device.devNameChars));
            Check(SndBuildDeviceInfo(rebuilt.data(), rebuilt.size(), msg.device.field0, msg.device.def,
                                     msg.device.render, msg.device.field3, name.data(),
                                     msg.device.devNameChars) == rebuilt.size());
            SndDecodedMsg again;
            Check(SndDecodeMessage(rebuilt.data(), rebuilt.size(), again) == SndMsgKind::Notification);
            Check(again.device.state == SndDeviceRecordState::Complete &&
                  again.device.devNameChars == msg.device.devNameChars &&
                  std::memcmp(again.device.devName, msg.device.devName, 2 * msg.device.devNameChars) == 0);
        }
    } else {
        Check(msg.device.state == SndDeviceRecordState::None);
    }

    SndDecodedRequest req;
    Check(SndDecodeRequest(m, size, req) == (size >= kSndHeaderSize));
    if (req.settings != nullptr) Check(Within(req.settings, kSndSettingsSize, m, size));

    // The same bytes as a bare device record, and as a server-information
    // payload squeezed into a capacity taken from the input.
    SndDeviceRecord record;
    SndDecodeDeviceRecord(m, size, record);
    CheckRecord(record, m, size);
    const size_t capacity = size >= 2 ? (m[0] | (m[1] << 8)) : 0;
    std::vector<uint8_t> out(capacity);
    const size_t built = SndBuildServerInfo(out.data(), capacity, m, size);
    Check(built == (capacity >= size + kSndHeaderSize ? size + kSndHeaderSize : 0));
    return 0;
}
