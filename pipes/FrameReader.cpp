#include "pipes/FrameReader.h"

#include <cstring>

namespace {

uint32_t LoadLength(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

uint8_t* CFrameReader::Reserve(size_t room, size_t* capacity) {
    // Move what is left to the front first, so the buffer never holds more
    // than one unfinished message and one read's bytes.
    if (m_start != 0) {
        if (m_end > m_start) std::memmove(m_buffer.get(), m_buffer.get() + m_start, m_end - m_start);
        m_end -= m_start;
        m_start = 0;
    }
    if (room > SIZE_MAX - m_end) return nullptr;
    uint64_t want = static_cast<uint64_t>(m_end) + room;
    // A message begun is given room for all of it at once: one allocation,
    // not one per read (its length was checked against the cap by Next).
    if (!m_broken && m_end >= kFrameLengthSize && LoadLength(m_buffer.get()) <= m_maxFrame) {
        const uint64_t whole = kFrameLengthSize + uint64_t(LoadLength(m_buffer.get()));
        if (whole > want) want = whole;
    }
    if (!m_buffer.Grow(want)) return nullptr;
    *capacity = static_cast<size_t>(m_buffer.capacity()) - m_end;
    return m_buffer.get() + m_end;
}

void CFrameReader::Commit(size_t size) {
    const size_t room = static_cast<size_t>(m_buffer.capacity()) - m_end;
    m_end += size < room ? size : room;  // never past the buffer, whatever the caller says
}

bool CFrameReader::Append(const void* data, size_t size) {
    if (size == 0) return true;
    if (m_broken) return true;  // nothing more will be read from this stream
    size_t capacity = 0;
    uint8_t* tail = Reserve(size, &capacity);
    if (tail == nullptr) return false;
    std::memcpy(tail, data, size);
    Commit(size);
    return true;
}

void CFrameReader::Shrink(size_t standard) {
    if (Pending() != 0 || m_buffer.capacity() <= standard) return;
    m_buffer.reset();
    m_start = m_end = 0;
}

CFrameReader::Result CFrameReader::Next(const uint8_t** message, uint32_t* length) {
    for (;;) {
        if (m_broken) return kTooLarge;
        if (Pending() < kFrameLengthSize) return kNeedMore;
        const uint8_t* p = m_buffer.get() + m_start;
        m_announced = LoadLength(p);
        if (m_announced > m_maxFrame) {
            m_broken = true;
            return kTooLarge;
        }
        if (m_announced == 0) {  // carries nothing: skipped
            m_start += kFrameLengthSize;
            continue;
        }
        if (Pending() - kFrameLengthSize < m_announced) return kNeedMore;
        *message = p + kFrameLengthSize;
        *length = m_announced;
        m_start += kFrameLengthSize + m_announced;
        return kFrame;
    }
}

void StoreFrameLength(uint8_t (&field)[kFrameLengthSize], uint32_t length) {
    for (size_t i = 0; i < kFrameLengthSize; ++i) field[i] = static_cast<uint8_t>(length >> (8 * i));
}

std::vector<uint8_t> MakeFrame(const void* message, size_t length) {
    uint8_t field[kFrameLengthSize];
    StoreFrameLength(field, static_cast<uint32_t>(length));
    // Sized once and filled by copies (GCC 12 misreads a vector insert after a
    // 4-byte construction as an out-of-bounds memcpy).
    std::vector<uint8_t> frame(kFrameLengthSize + length);
    std::memcpy(frame.data(), field, kFrameLengthSize);
    if (length != 0) std::memcpy(frame.data() + kFrameLengthSize, message, length);
    return frame;
}
