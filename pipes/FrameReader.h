// The pipe's framing: every message travels as a 4-byte little-endian length
// followed by that many bytes. CFrameReader cuts a received byte stream back
// into messages, whatever pieces the reads delivered it in. Portable: no
// Windows API, so it is built natively and fuzzed as well.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/ByteBlock.h"

// Size of the length field in front of every message.
const size_t kFrameLengthSize = 4;
// Longest message a reader accepts by default. The library's longest request
// is 8244 bytes; a peer announcing more than this is broken or hostile, and
// its connection is dropped rather than memory committed to it.
const uint32_t kMaxFrameLength = 1024 * 1024;

class CFrameReader {
public:
    enum Result {
        kNeedMore,  // no whole message yet: hand over the next read's bytes
        kFrame,     // a message is there
        kTooLarge,  // the announced length exceeds the cap (see Announced); the stream is out of step for good
    };

    explicit CFrameReader(uint32_t maxFrame = kMaxFrameLength) : m_maxFrame(maxFrame) {}

    // Takes what one read returned: any number of bytes, a length field and
    // as much of the message as arrived, or parts of either. false when no
    // memory could be had for them (nothing taken; the reader is unchanged).
    bool Append(const void* data, size_t size);
    // The same without a copy: room for at least `room` bytes at the end of
    // the reader's buffer, for a read to fill (null when no memory could be
    // had; the reader is unchanged). Messages returned before are no longer
    // valid. Commit then takes the `size` bytes that arrived there.
    uint8_t* Reserve(size_t room, size_t* capacity);
    void Commit(size_t size);
    // Lets a buffer a large message grew go back to `standard` bytes, once
    // nothing is pending.
    void Shrink(size_t standard);

    // The next whole message, as a view into the reader that stays valid
    // until the next Append, Reserve or Next. Messages of length 0 are skipped.
    // Once kTooLarge is returned it is returned for ever.
    Result Next(const uint8_t** message, uint32_t* length);

    // The length field last read: after kTooLarge the refused length, so the
    // caller can report it before dropping the connection.
    uint32_t Announced() const { return m_announced; }
    // Bytes received and not yet part of a returned message.
    size_t Pending() const { return m_end - m_start; }
    uint32_t MaxFrame() const { return m_maxFrame; }

private:
    const uint32_t m_maxFrame;
    lumlib::CByteBlock m_buffer;
    size_t m_start = 0;  // first byte not yet returned
    size_t m_end = 0;    // one past the last byte received
    uint32_t m_announced = 0;
    bool m_broken = false;
};

// Writes the length field for a message of `length` bytes.
void StoreFrameLength(uint8_t (&field)[kFrameLengthSize], uint32_t length);
// A whole frame: the length field, then the message.
std::vector<uint8_t> MakeFrame(const void* message, size_t length);
inline std::vector<uint8_t> MakeFrame(const std::vector<uint8_t>& message) {
    return MakeFrame(message.data(), message.size());
}
