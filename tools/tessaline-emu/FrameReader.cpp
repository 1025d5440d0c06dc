#include "tools/tessaline-emu/FrameReader.h"

#include <cstring>

namespace tessaline_emu {

void CFrameReader::Append(const uint8_t* data, size_t size) {
    // Compact before growing, so a long-lived connection keeps a small buffer.
    if (m_start > 0 && m_start == m_data.size()) {
        m_data.clear();
        m_start = 0;
    } else if (m_start > 65536) {
        m_data.erase(m_data.begin(), m_data.begin() + static_cast<std::ptrdiff_t>(m_start));
        m_start = 0;
    }
    m_data.insert(m_data.end(), data, data + size);
}

CFrameReader::Result CFrameReader::Next(std::vector<uint8_t>* message, uint32_t* announced) {
    for (;;) {
        if (Pending() < 4) return kNeedMore;
        const uint8_t* p = m_data.data() + m_start;
        const uint32_t length = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                                (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
        if (announced != nullptr) *announced = length;
        if (length == 0) {  // carries nothing: skip it
            m_start += 4;
            continue;
        }
        if (length > m_maxFrame) return kTooLarge;
        if (Pending() - 4 < length) return kNeedMore;
        message->assign(p + 4, p + 4 + length);
        m_start += 4 + static_cast<size_t>(length);
        return kFrame;
    }
}

std::vector<uint8_t> MakeFrame(const std::vector<uint8_t>& message) {
    const uint32_t length = static_cast<uint32_t>(message.size());
    std::vector<uint8_t> frame(4 + message.size());
    frame[0] = static_cast<uint8_t>(length);
    frame[1] = static_cast<uint8_t>(length >> 8);
    frame[2] = static_cast<uint8_t>(length >> 16);
    frame[3] = static_cast<uint8_t>(length >> 24);
    if (!message.empty()) std::memcpy(frame.data() + 4, message.data(), message.size());
    return frame;
}

}  // namespace tessaline_emu
