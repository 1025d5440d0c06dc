// CFrameReader: one table of streams, each fed whole and one byte at a time: the real cap and what
// waits. (Any cut against a plain reference cut: fuzz/frame_reader_fuzzer.cpp, run by the test command.)
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pipes/FrameReader.h"

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list) { return std::vector<uint8_t>(list.begin(), list.end()); }

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

// "message|message|..." then "!N" for a refused length N, or "+P" for P bytes left pending.
std::string Read(const std::vector<uint8_t>& stream, size_t piece, uint32_t maxFrame) {
    CFrameReader reader(maxFrame);
    std::string out;
    for (size_t at = 0;;) {
        const uint8_t* m = nullptr;
        uint32_t length = 0;
        CFrameReader::Result r;
        while ((r = reader.Next(&m, &length)) == CFrameReader::kFrame) out += std::string(m, m + length) + "|";
        if (r == CFrameReader::kTooLarge) return out + "!" + std::to_string(reader.Announced());
        if (at == stream.size()) return out + "+" + std::to_string(reader.Pending());
        const size_t n = std::min(piece, stream.size() - at);
        EXPECT_TRUE(reader.Append(stream.data() + at, n));
        at += n;
    }
}

TEST(FrameReader, CutsStreamsTheSameWhateverThePieces) {
    const auto ab = MakeFrame("ab", 2), xyz = MakeFrame("xyz", 3);
    const struct {
        const char* name;
        std::vector<uint8_t> stream;
        uint32_t maxFrame;
        std::string expected;
    } rows[] = {
        {"empty frames are skipped", Concat({Bytes({0, 0, 0, 0}), ab, Bytes({0, 0, 0, 0})}), kMaxFrameLength, "ab|+0"},
        {"a cut message waits", Concat({ab, Bytes({5, 0, 0, 0, 'h', 'e'})}), kMaxFrameLength, "ab|+6"},
        {"one above the cap is refused", Concat({ab, MakeFrame("abcde", 5), xyz}), 4, "ab|!5"},
        {"a raw huge length", Bytes({0xF0, 0xFF, 0xFF, 0xFF}), kMaxFrameLength, "!4294967280"},
        {"1 MiB + 1 is refused", Bytes({1, 0, 0x10, 0}), kMaxFrameLength, "!1048577"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.expected, Read(row.stream, row.stream.size() + 1, row.maxFrame)) << row.name << ", whole";
        EXPECT_EQ(row.expected, Read(row.stream, 1, row.maxFrame)) << row.name << ", byte by byte";
    }
}

}  // namespace
