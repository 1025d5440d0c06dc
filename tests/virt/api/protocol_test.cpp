#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "virt/api/SndProtocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Expected message: `length` zero bytes with the given 32-bit words set.
Bytes Expected(size_t length, const std::map<size_t, uint32_t>& words) {
    Bytes b(length, 0);
    for (const auto& w : words) SndStoreU32(b.data(), w.first, w.second);
    return b;
}

Bytes SettingsPattern() {
    Bytes s(kSndSettingsSize);
    for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(i * 7 + 1);
    return s;
}

// A received message held in a block of exactly its length, so that a read
// past it is a heap overflow for the sanitizers.
SndDecodedMsg Decode(const Bytes& message, size_t length) {
    Bytes exact(message.begin(), message.begin() + length);
    SndDecodedMsg out;
    SndDecodeMessage(exact.data(), exact.size(), out);
    // The pointers must not outlive `exact`: tests only look at values.
    out.payload = nullptr;
    out.device.devName = nullptr;
    return out;
}

Bytes DeviceInfo(const std::u16string& name) {
    Bytes b(SndDeviceInfoSize(name.size()));
    EXPECT_EQ(b.size(), SndBuildDeviceInfo(b.data(), b.size(), 11, 1, 1, 22, name.data(), name.size()));
    return b;
}

}  // namespace

TEST(SndRequests, EachCommandIsBuiltByteForByte) {
    const Bytes settings = SettingsPattern();
    Bytes withSettings = Expected(368, {{0, 368}, {4, 42}, {12, 9}});
    std::memcpy(withSettings.data() + 32, settings.data(), settings.size());
    const struct {
        const char* name;
        std::function<size_t(void*, size_t)> build;
        Bytes expected;
    } cases[] = {
        {"set session id", [](void* b, size_t n) { return SndBuildSetSessionId(b, n, 3); },
         Expected(8240, {{0, 8240}, {12, 0}, {20, 4}, {24, 1}, {32, 3}})},
        {"unknown session id", [](void* b, size_t n) { return SndBuildSetSessionId(b, n, kSndUnknownSessionId); },
         Expected(8240, {{0, 8240}, {20, 4}, {24, 1}, {32, 0xFFFFFFFFu}})},
        {"get device list", [](void* b, size_t n) { return SndBuildGetDeviceList(b, n); },
         Expected(8240, {{0, 8240}, {12, 7}, {24, 1}})},
        {"set default device 3", [](void* b, size_t n) { return SndBuildSetDefaultDevice(b, n, 3); },
         Expected(8244, {{0, 8244}, {12, 8}, {20, 4}, {24, 1}, {32, 3}})},
        {"set settings", [&](void* b, size_t n) { return SndBuildSetSettings(b, n, settings.data(), 42); },
         withSettings},
        {"get settings", [](void* b, size_t n) { return SndBuildGetSettings(b, n, 42); },
         Expected(8240, {{0, 8240}, {4, 42}, {12, 10}})},
        {"not-connected notice", [](void* b, size_t n) { return SndBuildNotConnectedNotice(b, n); },
         Expected(12, {{0, 12}, {8, 2250}})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes buffer(kSndMaxRequestSize + 16, 0xCC);  // garbage to be overwritten
        ASSERT_EQ(c.expected.size(), c.build(buffer.data(), buffer.size()));
        EXPECT_EQ(c.expected, Bytes(buffer.begin(), buffer.begin() + c.expected.size()));
        EXPECT_EQ(0xCC, buffer[c.expected.size()]) << "wrote past the request";
        // One byte too little: nothing is written.
        Bytes small(c.expected.size() - 1, 0xCC);
        EXPECT_EQ(0u, c.build(small.data(), small.size()));
        EXPECT_EQ(Bytes(small.size(), 0xCC), small);
        EXPECT_EQ(0u, c.build(nullptr, 100000));
    }
}

TEST(SndEvents, NamesAreExactAndOthersUnknown) {
    const char* names[] = {"eZkSndRdpVEvtNotValid",     "eZkSndRdpVServerInfo",     "eZkSndRdpVDeviceInfo",
                           "eZkSndRdpVLastDeviceInfo",  "eZkSndRdpVServiceOff",     "eZkSndRdpVServiceOn",
                           "eZkSndRdpVLocalDeviceInfo", "eZkSndRdpVDeviceSettings", "eZkSndRdpVServiceEnable"};
    for (uint32_t e = 0; e < 9; ++e) EXPECT_STREQ(names[e], SndEventName(e));
    for (uint32_t e : {9u, 10u, 300u, 0xFFFFFFFFu}) EXPECT_STREQ("Unknown", SndEventName(e));
}

TEST(SndDecode, ClassifiesByLengthRequestIdFlagAndEvent) {
    Bytes notice(12);
    SndBuildNotConnectedNotice(notice.data(), notice.size());
    Bytes header = Expected(64, {{0, 64}, {16, 4}, {24, 1}});
    auto with = [](Bytes b, size_t off, uint32_t v) { SndStoreU32(b.data(), off, v); return b; };
    const struct {
        const char* name;
        Bytes message;
        size_t length;
        SndMsgKind kind;
    } cases[] = {
        {"empty", header, 0, SndMsgKind::Short},
        {"11 bytes", header, 11, SndMsgKind::Short},
        {"31 bytes", header, 31, SndMsgKind::Short},
        {"notice", notice, 12, SndMsgKind::NotConnectedNotice},
        {"12 bytes, link status 0", with(notice, 8, 0), 12, SndMsgKind::Short},
        {"12 bytes with a request id", with(notice, 4, 1), 12, SndMsgKind::Short},
        {"notification", header, 64, SndMsgKind::Notification},
        {"header only", header, 32, SndMsgKind::Notification},
        {"event 9", with(header, 16, 9), 64, SndMsgKind::Notification},
        {"async flag 0", with(header, 24, 0), 64, SndMsgKind::Unknown},
        {"event 0", with(header, 16, 0), 64, SndMsgKind::Unknown},
        {"reply", with(with(header, 4, 7), 24, 0), 64, SndMsgKind::Reply},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.kind, Decode(c.message, c.length).kind);
    }
    SndDecodedMsg out;
    EXPECT_EQ(SndMsgKind::Short, SndDecodeMessage(nullptr, 100, out));
    EXPECT_EQ(0u, out.length);
}

TEST(SndDecode, ReadsOnlyFieldsThatWereReceived) {
    Bytes reply(368);
    const Bytes settings = SettingsPattern();
    ASSERT_EQ(368u, SndBuildReply(reply.data(), reply.size(), 5, nCmdGetSettings, 1168, settings.data()));
    SndDecodedMsg out = Decode(reply, 368);
    EXPECT_EQ(SndMsgKind::Reply, out.kind);
    EXPECT_EQ(5u, out.requestId);
    EXPECT_EQ(1168u, out.status);
    EXPECT_EQ(336u, out.payloadSize);
    // Cut to 20 bytes: argSize, asyncFlag and status were not received.
    out = Decode(reply, 20);
    EXPECT_EQ(SndMsgKind::Short, out.kind);
    EXPECT_EQ(5u, out.requestId);
    EXPECT_EQ(nCmdGetSettings, out.command);
    EXPECT_EQ(0u, out.status);
    EXPECT_EQ(0u, out.payloadSize);
}

TEST(SndDecode, SizeFieldNeverWidensOrNarrowsTheMessage) {
    Bytes msg = DeviceInfo(u"Speakers");
    for (uint32_t lie : {0u, 12u, 40u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        SndStoreU32(msg.data(), 0, lie);
        SndDecodedMsg out = Decode(msg, msg.size());
        EXPECT_EQ(lie, out.size);
        EXPECT_EQ(msg.size() - 32, out.payloadSize);
        EXPECT_EQ(SndDeviceRecordState::Complete, out.device.state) << lie;
        EXPECT_EQ(8u, out.device.devNameChars);
    }
}

TEST(SndDeviceRecord, StatesForCompleteUnterminatedAndCutShortRecords) {
    const Bytes msg = DeviceInfo(u"Line In");  // 48 + 16 bytes
    const struct {
        size_t length;
        SndDeviceRecordState state;
        size_t chars;
        uint32_t render;
    } cases[] = {
        {64, SndDeviceRecordState::Complete, 7, 1},
        {63, SndDeviceRecordState::NameUnterminated, 7, 1},  // half a terminator
        {62, SndDeviceRecordState::NameUnterminated, 7, 1},
        {49, SndDeviceRecordState::NameUnterminated, 0, 1},
        {48, SndDeviceRecordState::NameUnterminated, 0, 1},
        {47, SndDeviceRecordState::CutShort, 0, 1},
        {40, SndDeviceRecordState::CutShort, 0, 0},  // render not received
        {32, SndDeviceRecordState::CutShort, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Bytes exact(msg.begin(), msg.begin() + c.length);
        SndDecodedMsg out;
        ASSERT_EQ(SndMsgKind::Notification, SndDecodeMessage(exact.data(), exact.size(), out));
        EXPECT_EQ(c.state, out.device.state);
        EXPECT_EQ(c.chars, out.device.devNameChars);
        EXPECT_EQ(c.render, out.device.render);
        EXPECT_EQ(c.length >= 36 ? 1u : 0u, out.device.def);
        EXPECT_EQ(c.state == SndDeviceRecordState::CutShort, out.device.devName == nullptr);
        char16_t name[16];
        EXPECT_EQ(std::u16string(u"Line In").substr(0, c.chars),
                  std::u16string(name, SndCopyDeviceName(out.device, name, 16)));
    }
}

TEST(SndDeviceRecord, NameIsReadFromAnUnalignedMessageAndCopiedWithACut) {
    const Bytes msg = DeviceInfo(u"Headset \u00e9\u4e2d");
    Bytes shifted(msg.size() + 1);
    std::memcpy(shifted.data() + 1, msg.data(), msg.size());
    SndDecodedMsg out;
    ASSERT_EQ(SndMsgKind::Notification, SndDecodeMessage(shifted.data() + 1, msg.size(), out));
    EXPECT_EQ(11u, out.device.field0);
    EXPECT_EQ(22u, out.device.field3);
    EXPECT_EQ(u'\u4e2d', SndDeviceNameAt(out.device, 9));
    EXPECT_EQ(0, SndDeviceNameAt(out.device, 10));
    char16_t cut[5];
    EXPECT_EQ(4u, SndCopyDeviceName(out.device, cut, 5));
    EXPECT_EQ(std::u16string(u"Head"), std::u16string(cut));
    // Only the device-information event carries a record.
    Bytes other = msg;
    SndStoreU32(other.data(), 16, eZkSndRdpVServiceOn);
    EXPECT_EQ(SndDeviceRecordState::None, Decode(other, other.size()).device.state);
}

TEST(SndServiceSide, NotificationsAndRepliesDecodeAsSent) {
    const uint8_t info[] = {1, 2, 3, 4, 5};
    Bytes b(64, 0xCC);
    ASSERT_EQ(37u, SndBuildServerInfo(b.data(), b.size(), info, sizeof info));
    SndDecodedMsg out = Decode(b, 37);
    EXPECT_EQ(SndMsgKind::Notification, out.kind);
    EXPECT_EQ(Expected(32, {{0, 37}, {16, 1}, {24, 1}}), Bytes(b.begin(), b.begin() + 32));
    EXPECT_EQ(0, std::memcmp(b.data() + 32, info, sizeof info));

    ASSERT_EQ(32u, SndBuildLastDeviceInfo(b.data(), b.size()));
    EXPECT_EQ(Expected(32, {{0, 32}, {16, 3}, {24, 1}}), Bytes(b.begin(), b.begin() + 32));
    ASSERT_EQ(32u, SndBuildReply(b.data(), b.size(), 9, nCmdSetSettings, 5));
    EXPECT_EQ(Expected(32, {{0, 32}, {4, 9}, {12, 9}, {28, 5}}), Bytes(b.begin(), b.begin() + 32));
    EXPECT_EQ(0u, SndBuildServerInfo(b.data(), b.size(), nullptr, 3));
    EXPECT_EQ(0u, SndBuildDeviceInfo(b.data(), 63, 0, 0, 0, 0, u"Line In", 7));
}

TEST(SndServiceSide, DecodesTheLibrarysRequests) {
    const Bytes settings = SettingsPattern();
    Bytes b(kSndMaxRequestSize);
    const struct {
        std::function<size_t()> build;
        uint32_t command;
        bool hasArgument;
        uint32_t argument;
    } cases[] = {
        {[&] { return SndBuildSetSessionId(b.data(), b.size(), 77); }, nCmdSetSessionId, true, 77},
        {[&] { return SndBuildGetDeviceList(b.data(), b.size()); }, nCmdGetDeviceList, false, 0},
        {[&] { return SndBuildSetDefaultDevice(b.data(), b.size(), 3); }, nCmdSetDefaultDevice, true, 3},
        {[&] { return SndBuildSetSettings(b.data(), b.size(), settings.data(), 4); }, nCmdSetSettings, false, 0},
        {[&] { return SndBuildGetSettings(b.data(), b.size(), 4); }, nCmdGetSettings, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const size_t length = c.build();
        SndDecodedRequest r;
        ASSERT_TRUE(SndDecodeRequest(b.data(), length, r));
        EXPECT_TRUE(r.wellFormed);
        EXPECT_EQ(c.command, r.command);
        EXPECT_EQ(c.hasArgument, r.hasArgument);
        EXPECT_EQ(c.argument, r.argument);
        EXPECT_EQ(c.command == nCmdSetSettings, r.settings != nullptr);
        // A stray byte where nothing is named, or a cut, is noticed.
        for (size_t at : {size_t(16), size_t(29), length - 1}) {
            if (c.command == nCmdSetSettings && at == length - 1) continue;  // inside the record
            c.build();
            b[at] = 1;
            EXPECT_TRUE(SndDecodeRequest(b.data(), length, r));
            EXPECT_FALSE(r.wellFormed) << "byte " << at;
        }
        c.build();
        EXPECT_TRUE(SndDecodeRequest(b.data(), length - 1, r));
        EXPECT_FALSE(r.wellFormed);
        EXPECT_FALSE(SndDecodeRequest(b.data(), 31, r));
        EXPECT_FALSE(r.valid);
    }
}
