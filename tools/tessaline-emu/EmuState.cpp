#include "tools/tessaline-emu/EmuState.h"

#include <cstring>

#include "support/lumlib.h"
#include "tools/common/ConsoleOut.h"

namespace tessaline_emu {

CEmuState::CEmuState(std::vector<EmuDevice> devices, std::wstring settingsFile)
    : m_devices(std::move(devices)), m_settingsFile(std::move(settingsFile)) {
    std::memset(m_settings, 0, sizeof(m_settings));
}

CEmuState::~CEmuState() {}

bool CEmuState::LoadSettings(std::wstring* error) {
    if (m_settingsFile.empty()) return true;
    if (::GetFileAttributesW(m_settingsFile.c_str()) == INVALID_FILE_ATTRIBUTES &&
        ::GetLastError() == ERROR_FILE_NOT_FOUND)
        return true;  // created by the first set-settings
    std::vector<uint8_t> bytes;
    DWORD code = 0;
    if (!zktools::ReadWholeFile(m_settingsFile, &bytes, &code)) {
        *error = zktools::Format(L"%s: %s", m_settingsFile.c_str(), zktools::ErrorText(code).c_str());
        return false;
    }
    if (bytes.size() != kSndSettingsSize) {
        *error = zktools::Format(L"%s: holds %u bytes, a settings record has %u", m_settingsFile.c_str(),
                                 static_cast<unsigned>(bytes.size()), kSndSettingsSize);
        return false;
    }
    const auto lock = m_lock.lock();
    std::memcpy(m_settings, bytes.data(), kSndSettingsSize);
    return true;
}

std::vector<EmuDevice> CEmuState::Devices() const {
    const auto lock = m_lock.lock();
    return m_devices;
}

bool CEmuState::SetDefault(uint32_t id, std::wstring* name) {
    const auto lock = m_lock.lock();
    size_t chosen = m_devices.size();
    for (size_t i = 0; i < m_devices.size(); ++i) {
        if (m_devices[i].id == id) {
            chosen = i;
            break;
        }
    }
    if (chosen == m_devices.size()) return false;
    const bool render = m_devices[chosen].render != 0;
    for (size_t i = 0; i < m_devices.size(); ++i)
        if ((m_devices[i].render != 0) == render) m_devices[i].def = (i == chosen) ? 1u : 0u;
    if (name != nullptr) *name = m_devices[chosen].name;
    return true;
}

void CEmuState::GetSettings(uint8_t (&record)[kSndSettingsSize]) const {
    const auto lock = m_lock.lock();
    std::memcpy(record, m_settings, kSndSettingsSize);
}

bool CEmuState::SetSettings(const uint8_t* record, DWORD* error) {
    const auto lock = m_lock.lock();
    // Under the lock, so that the file always matches the last stored record.
    if (!m_settingsFile.empty() && !zktools::WriteWholeFile(m_settingsFile, record, kSndSettingsSize, error))
        return false;
    std::memcpy(m_settings, record, kSndSettingsSize);
    return true;
}

}  // namespace tessaline_emu
