#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "virt/api/SndProtocol.h"

namespace {

using Bytes = std::vector<uint8_t>;

// `length` zero bytes with the given 32-bit words set.
Bytes Words(size_t length, const std::map<size_t, uint32_t>& words) {
    Bytes b(length, 0);
    for (const auto& w : words) SndStoreU32(b.data(), w.first, w.second);
    return b;
}

Bytes With(Bytes b, size_t offset, uint32_t value) {
    SndStoreU32(b.data(), offset, value);
    return b;
}

// Decodes the first `length` bytes from a block of exactly that size, one
// byte off alignment, so that reading past it trips the sanitizer build.
SndDecodedMsg Decode(const Bytes& message, size_t length, char16_t* name = nullptr) {
    Bytes exact(length + 1);
    std::memcpy(exact.data() + 1, message.data(), length);
    SndDecodedMsg out;
    SndDecodeMessage(exact.data() + 1, length, out);
    if (name != nullptr) SndCopyDeviceName(out.device, name, 16);
    out.payload = nullptr;  // pointed into `exact`
    out.device.devName = nullptr;
    return out;
}

Bytes DeviceInfo(const std::u16string& name) {
    Bytes b(SndDeviceInfoSize(name.size()));
    EXPECT_EQ(b.size(), SndBuildDeviceInfo(b.data(), b.size(), 11, 1, 1, 22, name.data(), name.size()));
    return b;
}

const Bytes kSettings = [] {
    Bytes s(kSndSettingsSize);
    for (size_t i = 0; i < s.size(); ++i) s[i] = uint8_t(i * 7 + 1);
    return s;
}();

}  // namespace

TEST(SndRequests, EachCommandIsBuiltByteForByte) {
    Bytes setSettings = Words(368, {{0, 368}, {4, 42}, {12, 9}});
    std::memcpy(setSettings.data() + 32, kSettings.data(), kSettings.size());
    const struct {
        std::function<size_t(void*, size_t)> build;
        Bytes expected;
    } cases[] = {
        {[](void* b, size_t n) { return SndBuildSetSessionId(b, n, 3); },
         Words(8240, {{0, 8240}, {20, 4}, {24, 1}, {32, 3}})},
        {[](void* b, size_t n) { return SndBuildSetSessionId(b, n, kSndUnknownSessionId); },
         Words(8240, {{0, 8240}, {20, 4}, {24, 1}, {32, 0xFFFFFFFFu}})},
        {[](void* b, size_t n) { return SndBuildGetDeviceList(b, n); }, Words(8240, {{0, 8240}, {12, 7}, {24, 1}})},
        {[](void* b, size_t n) { return SndBuildSetDefaultDevice(b, n, 3); },
         Words(8244, {{0, 8244}, {12, 8}, {20, 4}, {24, 1}, {32, 3}})},
        {[](void* b, size_t n) { return SndBuildSetSettings(b, n, kSettings.data(), 42); }, setSettings},
        {[](void* b, size_t n) { return SndBuildGetSettings(b, n, 42); }, Words(8240, {{0, 8240}, {4, 42}, {12, 10}})},
        {[](void* b, size_t n) { return SndBuildNotConnectedNotice(b, n); }, Words(12, {{0, 12}, {8, 2250}})},
    };
    for (const auto& c : cases) {
        const size_t n = c.expected.size();
        SCOPED_TRACE(n);
        Bytes buffer(kSndMaxRequestSize + 1, 0xCC);  // garbage the builder must clear
        ASSERT_EQ(n, c.build(buffer.data(), buffer.size()));
        EXPECT_EQ(c.expected, Bytes(buffer.begin(), buffer.begin() + n));
        EXPECT_EQ(0xCC, buffer[n]) << "wrote past the request";
        Bytes small(n - 1, 0xCC);  // too small: untouched
        EXPECT_EQ(0u, c.build(small.data(), small.size()));
        EXPECT_EQ(Bytes(n - 1, 0xCC), small);
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
    const Bytes notice = Words(12, {{0, 12}, {8, 2250}});
    const Bytes header = Words(64, {{0, 64}, {16, 4}, {24, 1}});
    const struct {
        Bytes message;
        size_t length;
        SndMsgKind kind;
    } cases[] = {
        {header, 0, SndMsgKind::Short},
        {header, 11, SndMsgKind::Short},
        {header, 31, SndMsgKind::Short},
        {notice, 12, SndMsgKind::NotConnectedNotice},
        {With(notice, 8, 0), 12, SndMsgKind::Short},
        {With(notice, 4, 1), 12, SndMsgKind::Short},
        {header, 32, SndMsgKind::Notification},
        {With(header, 16, 9), 64, SndMsgKind::Notification},  // named "Unknown", still well formed
        {With(header, 24, 0), 64, SndMsgKind::Unknown},
        {With(header, 16, 0), 64, SndMsgKind::Unknown},
        {With(With(header, 4, 7), 24, 0), 64, SndMsgKind::Reply},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].kind, Decode(cases[i].message, cases[i].length).kind) << "case " << i;
    SndDecodedMsg out;
    EXPECT_EQ(SndMsgKind::Short, SndDecodeMessage(nullptr, 100, out));
    EXPECT_EQ(0u, out.length);
}

TEST(SndDecode, ReadsOnlyReceivedFieldsAndNeverTrustsSize) {
    Bytes reply(368);
    ASSERT_EQ(368u, SndBuildReply(reply.data(), reply.size(), 5, nCmdGetSettings, 1168, kSettings.data()));
    SndDecodedMsg out = Decode(reply, 368);
    EXPECT_EQ(SndMsgKind::Reply, out.kind);
    EXPECT_EQ(1168u, out.status);
    EXPECT_EQ(336u, out.payloadSize);
    out = Decode(reply, 20);  // argSize, asyncFlag and status not received
    EXPECT_EQ(5u, out.requestId);
    EXPECT_EQ(nCmdGetSettings, out.command);
    EXPECT_EQ(0u, out.status);

    Bytes msg = DeviceInfo(u"Speakers");
    for (uint32_t lie : {0u, 12u, 40u, 0xFFFFFFFFu}) {
        out = Decode(With(msg, 0, lie), msg.size());
        EXPECT_EQ(lie, out.size);
        EXPECT_EQ(msg.size() - 32, out.payloadSize);
        EXPECT_EQ(SndDeviceRecordState::Complete, out.device.state) << lie;
        EXPECT_EQ(8u, out.device.devNameChars);
    }
}

TEST(SndDeviceRecord, CompleteUnterminatedAndCutShortRecords) {
    const std::u16string name = u"Line \u00e9\u4e2d";
    const Bytes msg = DeviceInfo(name);  // 48 + 16 bytes
    const struct {
        size_t length;
        SndDeviceRecordState state;
        size_t chars;
        uint32_t def, render;
    } cases[] = {
        {64, SndDeviceRecordState::Complete, 7, 1, 1},
        {63, SndDeviceRecordState::NameUnterminated, 7, 1, 1},  // half a terminator
        {49, SndDeviceRecordState::NameUnterminated, 0, 1, 1},
        {48, SndDeviceRecordState::NameUnterminated, 0, 1, 1},
        {47, SndDeviceRecordState::CutShort, 0, 1, 1},
        {40, SndDeviceRecordState::CutShort, 0, 1, 0},
        {32, SndDeviceRecordState::CutShort, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        char16_t copy[16];
        SndDecodedMsg out = Decode(msg, c.length, copy);
        ASSERT_EQ(SndMsgKind::Notification, out.kind);
        EXPECT_EQ(c.state, out.device.state);
        EXPECT_EQ(c.chars, out.device.devNameChars);
        EXPECT_EQ(c.def, out.device.def);
        EXPECT_EQ(c.render, out.device.render);
        EXPECT_EQ(name.substr(0, c.chars), std::u16string(copy));
        EXPECT_EQ(c.length >= 48 ? 22u : 0u, out.device.field3);
    }
    const Bytes other = With(msg, 16, eZkSndRdpVServiceOn);  // only event 2 carries a record
    EXPECT_EQ(SndDeviceRecordState::None, Decode(other, other.size()).device.state);
}

TEST(SndServiceSide, BuildsNotificationsAndReplies) {
    const uint8_t info[] = {1, 2, 3, 4, 5};
    Bytes b(64, 0xCC);
    ASSERT_EQ(37u, SndBuildServerInfo(b.data(), b.size(), info, sizeof info));
    EXPECT_EQ(Words(32, {{0, 37}, {16, 1}, {24, 1}}), Bytes(b.begin(), b.begin() + 32));
    EXPECT_EQ(0, std::memcmp(b.data() + 32, info, sizeof info));
    ASSERT_EQ(32u, SndBuildLastDeviceInfo(b.data(), b.size()));
    EXPECT_EQ(Words(32, {{0, 32}, {16, 3}, {24, 1}}), Bytes(b.begin(), b.begin() + 32));
    ASSERT_EQ(32u, SndBuildReply(b.data(), b.size(), 9, nCmdSetSettings, 5));
    EXPECT_EQ(Words(32, {{0, 32}, {4, 9}, {12, 9}, {28, 5}}), Bytes(b.begin(), b.begin() + 32));
    EXPECT_EQ(0u, SndBuildServerInfo(b.data(), b.size(), nullptr, 3));
    EXPECT_EQ(0u, SndBuildDeviceInfo(b.data(), 63, 0, 0, 0, 0, u"Line In", 7));
}

TEST(SndServiceSide, DecodesTheLibrarysRequestsAndSpotsStrayBytes) {
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
        {[&] { return SndBuildSetSettings(b.data(), b.size(), kSettings.data(), 4); }, nCmdSetSettings, false, 0},
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
        // The last byte of set-settings belongs to the record.
        for (size_t at : {size_t(16), size_t(29), c.command == nCmdSetSettings ? size_t(8) : length - 1}) {
            c.build();
            b[at] = 1;
            EXPECT_TRUE(SndDecodeRequest(b.data(), length, r));
            EXPECT_FALSE(r.wellFormed) << "byte " << at;
        }
        c.build();
        EXPECT_TRUE(SndDecodeRequest(b.data(), length - 1, r));
        EXPECT_FALSE(r.wellFormed);
        EXPECT_FALSE(SndDecodeRequest(b.data(), 31, r));
    }
}
