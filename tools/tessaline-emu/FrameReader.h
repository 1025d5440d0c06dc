// Cuts the pipe's byte stream into whole messages: each frame is a 4-byte
// little-endian length followed by that many bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaline_emu {

class CFrameReader {
public:
    // Frames longer than this are refused: a peer that announces more is
    // broken or hostile, and the connection is dropped rather than allocating.
    explicit CFrameReader(uint32_t maxFrame) : m_maxFrame(maxFrame) {}

    enum Result { kNeedMore, kFrame, kTooLarge };

    // Appends received bytes.
    void Append(const uint8_t* data, size_t size);
    // Takes the next whole frame into *message. Zero-length frames are skipped.
    // kTooLarge leaves the reader unusable: the stream is out of step.
    Result Next(std::vector<uint8_t>* message, uint32_t* announced);
    // Bytes received but not yet part of a returned frame.
    size_t Pending() const { return m_data.size() - m_start; }

private:
    uint32_t m_maxFrame;
    std::vector<uint8_t> m_data;
    size_t m_start = 0;
};

// Prefixes a message with its length, ready to write to the pipe.
std::vector<uint8_t> MakeFrame(const std::vector<uint8_t>& message);

}  // namespace tessaline_emu
