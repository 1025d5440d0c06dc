// Feeds a byte stream to CFrameReader in pieces cut at points taken from the
// input, and checks that the messages (and a refused length) come out exactly
// as a plain reference cut of the whole stream gives them.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "pipes/FrameReader.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

struct Outcome {
    std::vector<std::vector<uint8_t>> messages;
    bool tooLarge = false;
    uint32_t refused = 0;
};

// The reference: walks the whole stream at once, without the reader.
Outcome ReferenceCut(const uint8_t* data, size_t size, uint32_t maxFrame) {
    Outcome out;
    size_t at = 0;
    while (size - at >= kFrameLengthSize) {
        const uint32_t length = data[at] | (data[at + 1] << 8) | (data[at + 2] << 16) |
                                (static_cast<uint32_t>(data[at + 3]) << 24);
        if (length > maxFrame) {
            out.tooLarge = true;
            out.refused = length;
            break;
        }
        if (size - at - kFrameLengthSize < length) break;
        if (length != 0) out.messages.emplace_back(data + at + kFrameLengthSize, data + at + kFrameLengthSize + length);
        at += kFrameLengthSize + length;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Input: a 2-byte cap (small, so refusals are found), a split count, split seeds, then the stream.
    if (size < 4) return 0;
    const uint32_t maxFrame = data[0] | (data[1] << 8);
    const size_t splits = data[2] % 16;
    size_t at = 3;
    std::vector<size_t> pieces;
    for (size_t i = 0; i < splits && at < size; ++i) pieces.push_back(data[at++]);
    const uint8_t* stream = data + at;
    const size_t streamSize = size - at;

    const Outcome expected = ReferenceCut(stream, streamSize, maxFrame);

    CFrameReader reader(maxFrame);
    Outcome got;
    size_t fed = 0, piece = 0;
    for (;;) {
        CFrameReader::Result r;
        const uint8_t* message = nullptr;
        uint32_t length = 0;
        while ((r = reader.Next(&message, &length)) == CFrameReader::kFrame) {
            Check(length != 0 && length <= maxFrame);
            got.messages.emplace_back(message, message + length);
        }
        if (r == CFrameReader::kTooLarge) {
            got.tooLarge = true;
            got.refused = reader.Announced();
            Check(reader.Next(&message, &length) == CFrameReader::kTooLarge);  // for good
            break;
        }
        if (fed == streamSize) break;
        // Each piece in its own block of exactly its size, as one read would deliver it.
        size_t n = piece < pieces.size() ? pieces[piece++] : streamSize - fed;
        if (n > streamSize - fed) n = streamSize - fed;
        if (n == 0) n = 1;
        std::vector<uint8_t> block(stream + fed, stream + fed + n);
        Check(reader.Append(block.data(), block.size()));
        fed += n;
    }
    Check(got.messages == expected.messages);
    Check(got.tooLarge == expected.tooLarge && got.refused == expected.refused);
    // What is left unreturned never exceeds one unfinished frame plus the last piece.
    if (!got.tooLarge) Check(reader.Pending() <= kFrameLengthSize + maxFrame + 256);
    return 0;
}
