#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <string>
#include <vector>

#include "tests/support/DeviceName.h"
#include "virt/api/SndServiceMessages.h"

namespace {

using Bytes = std::vector<uint8_t>;
using K = SndMsgKind;
using S = SndDeviceRecordState;

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
// name: the record's name as read from the decoded record's bytes.
SndDecodedMsg Decode(const Bytes& message, size_t length, std::u16string* name = nullptr) {
    Bytes exact(length + 1);
    std::memcpy(exact.data() + 1, message.data(), length);
    SndDecodedMsg out;
    SndDecodeMessage(exact.data() + 1, length, out);
    if (name != nullptr) *name = zk_testkit::DeviceName(out.device);
    return out;  // its pointers pointed into `exact`: only its values are for use
}

const Bytes kSettings = [] { Bytes s(kSndSettingsSize); std::iota(s.begin(), s.end(), uint8_t(1)); return s; }();

}  // namespace

TEST(SndRequests, EachCommandIsBuiltByteForByteAndPassesTheServiceSideCheck) {
    Bytes setSettings = Words(368, {{0, 368}, {4, 42}, {12, 9}});
    std::memcpy(setSettings.data() + 32, kSettings.data(), kSettings.size());
    const struct { size_t (*build)(void*, size_t); Bytes expected; } cases[] = {
        {[](void* b, size_t n) { return SndBuildSetSessionId(b, n, 3); },
         Words(8240, {{0, 8240}, {20, 4}, {24, 1}, {32, 3}})},
        {[](void* b, size_t n) { return SndBuildGetDeviceList(b, n); }, Words(8240, {{0, 8240}, {12, 7}, {24, 1}})},
        {[](void* b, size_t n) { return SndBuildSetDefaultDevice(b, n, 3); },
         Words(8244, {{0, 8244}, {12, 8}, {20, 4}, {24, 1}, {32, 3}})},
        {[](void* b, size_t n) { return SndBuildSetSettings(b, n, kSettings.data(), 42); }, setSettings},
        {[](void* b, size_t n) { return SndBuildGetSettings(b, n, 42); }, Words(8240, {{0, 8240}, {4, 42}, {12, 10}})},
    };
    for (const auto& c : cases) {
        const size_t n = c.expected.size();
        SCOPED_TRACE(n);
        Bytes b(kSndMaxRequestSize + 1, 0xCC);  // garbage the builder must clear
        EXPECT_EQ(0u, c.build(b.data(), n - 1)) << "built into a byte too little";
        EXPECT_EQ(Bytes(b.size(), 0xCC), b) << "a buffer too small was written";
        EXPECT_EQ(0u, c.build(nullptr, 100000)) << "built into no buffer";
        ASSERT_EQ(n, c.build(b.data(), b.size())) << "the request's size";
        EXPECT_EQ(c.expected, Bytes(b.begin(), b.begin() + n)) << "the request's bytes";
        EXPECT_EQ(0xCC, b[n]) << "wrote past the request";
        // The service's side reads requests back: exact bytes pass, a short read or a stray byte does not.
        SndDecodedRequest r;
        ASSERT_TRUE(SndDecodeRequest(b.data(), n, r)) << "the exact bytes: not a request";
        EXPECT_TRUE(r.wellFormed) << "the exact bytes";
        EXPECT_EQ(SndLoadU32(b.data(), 20) == 4 ? 3u : 0u, r.hasArgument ? r.argument : 0u) << "the argument read back";
        ASSERT_TRUE(SndDecodeRequest(b.data(), n - 1, r)) << "a byte short: not a request at all";
        EXPECT_FALSE(r.wellFormed) << "a byte short";
        b[n == kSndSetSettingsRequestSize ? 8 : n - 1] = 1;  // set-settings ends with the record
        ASSERT_TRUE(SndDecodeRequest(b.data(), n, r)) << "a stray byte: not a request at all";
        EXPECT_FALSE(r.wellFormed) << "a stray byte";
    }
    // The sender's frame may hold the zeros of the last request: a set-default
    // leaves those as they are and writes every other byte (the fields never
    // count as zeros).
    const Bytes& expected = cases[2].expected;
    for (const size_t zeroed : {size_t(8000), size_t(8244 - kSndSetDefaultUsedSize), size_t(100000)}) {
        Bytes b(8244, 0xCC);
        ASSERT_EQ(8244u, SndBuildSetDefaultDevice(b.data(), b.size(), 3, zeroed));
        const size_t left = std::min(zeroed, size_t(8244 - kSndSetDefaultUsedSize));
        EXPECT_EQ(Bytes(expected.begin(), expected.end() - left), Bytes(b.begin(), b.end() - left)) << zeroed;
        EXPECT_EQ(Bytes(left, 0xCC), Bytes(b.end() - left, b.end())) << zeroed;
    }
}

TEST(SndDecode, ClassifiesAndReadsOnlyReceivedFields) {
    const Bytes notice = Words(12, {{0, 12}, {8, 2250}});
    Bytes reply(368);
    ASSERT_EQ(368u, SndBuildReply(reply.data(), reply.size(), 5, nCmdGetSettings, 1168, kSettings.data())) << "the reply's size";
    const Bytes header = Words(64, {{0, 64}, {16, 4}, {24, 1}});
    const struct { Bytes message; size_t length; SndMsgKind kind; } cases[] = {
        {header, 11, K::Short},  {header, 31, K::Short},  {reply, 20, K::Short},  {notice, 12, K::NotConnectedNotice},
        {With(notice, 0, 13), 12, K::Short},  {With(notice, 4, 1), 12, K::Short},  {With(notice, 8, 0), 12, K::Short},
        {With(header, 24, 0), 64, K::Unknown},  {With(header, 16, 0), 64, K::Unknown},  {reply, 368, K::Reply},
        {header, 32, K::Notification},  {With(header, 16, 9), 64, K::Notification},  // event named "Unknown"
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].kind, Decode(cases[i].message, cases[i].length).kind) << "case " << i;
    EXPECT_EQ(1168u, Decode(reply, 368).status) << "a whole reply's status";
    SndDecodedMsg out = Decode(reply, 20);  // argSize, asyncFlag and status not received
    EXPECT_EQ(5u, out.requestId) << "a cut reply's request number";
    EXPECT_EQ(nCmdGetSettings, out.command) << "a cut reply's command";
    EXPECT_EQ(0u, out.status) << "a cut reply's status, not received";
    EXPECT_EQ(K::Short, SndDecodeMessage(nullptr, 100, out)) << "no message";
}

TEST(SndDeviceRecord, StaysWithinReceivedBytesWhateverSizeClaims) {
    const std::u16string name = u"Line \u00e9\u4e2d";
    Bytes msg(SndDeviceInfoSize(name.size()));  // 48 + 16 bytes
    ASSERT_EQ(64u, SndBuildDeviceInfo(msg.data(), msg.size(), 11, 1, 1, 22, name.data(), name.size())) << "the record's size";
    // `size` is the size field as sent; only the received length may bound a read.
    const struct { size_t length; uint32_t size; S state; size_t chars; uint32_t def, render; } cases[] = {
        {64, 64, S::Complete, 7, 1, 1},  {64, 40, S::Complete, 7, 1, 1},  {49, ~0u, S::NameUnterminated, 0, 1, 1},
        {48, 64, S::NameUnterminated, 0, 1, 1},  {63, 64, S::NameUnterminated, 7, 1, 1},  // half a terminator
        {47, 64, S::CutShort, 0, 1, 1},  {40, 64, S::CutShort, 0, 1, 0},  {32, ~0u, S::CutShort, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        std::u16string copy;
        const SndDecodedMsg out = Decode(With(msg, 0, c.size), c.length, &copy);
        ASSERT_EQ(K::Notification, out.kind) << "the kind";
        EXPECT_EQ(c.size, out.size) << "the size field";
        EXPECT_EQ(c.length - 32, out.payloadSize) << "the payload's size";
        EXPECT_EQ(c.state, out.device.state) << "the record's state";
        EXPECT_EQ(c.chars, out.device.devNameChars) << "the name's length";
        EXPECT_EQ(c.def, out.device.def) << "the default flag";
        EXPECT_EQ(c.render, out.device.render) << "the render flag";
        EXPECT_EQ(name.substr(0, c.chars), copy) << "the name read";
    }
    // Only event 2 carries a record.
    EXPECT_EQ(S::None, Decode(With(msg, 16, eZkSndRdpVServiceOn), 64).device.state) << "a record in another event";
}
