// What the emulated service remembers, shared by all client connections:
// the device list with its default device, and the settings record.
#pragma once

#include <windows.h>

#include "support/Holders.h"

#include <cstdint>
#include <string>
#include <vector>

#include "tools/tessaline-emu/DeviceFile.h"
#include "virt/api/SndProtocol.h"

namespace tessaline_emu {

class CEmuState {
public:
    // settingsFile empty: the record lives in memory only.
    CEmuState(std::vector<EmuDevice> devices, std::wstring settingsFile);
    ~CEmuState();
    CEmuState(const CEmuState&) = delete;
    CEmuState& operator=(const CEmuState&) = delete;

    // Reads the settings file when one is configured and exists; a file
    // that is not exactly one record long is refused.
    bool LoadSettings(std::wstring* error);

    std::vector<EmuDevice> Devices() const;
    // Makes the device whose id is `id` the default of its flow (render or
    // capture), as a system keeps one default of each; the other flow's
    // default stays. False (nothing changed) when no device has that id.
    bool SetDefault(uint32_t id, std::wstring* name);

    void GetSettings(uint8_t (&record)[kSndSettingsSize]) const;
    // Stores the record, and writes the settings file when configured. On a
    // file error the record in memory is kept unchanged and *error is set.
    bool SetSettings(const uint8_t* record, DWORD* error);

private:
    mutable lumlib::unique_critical_section m_lock;
    std::vector<EmuDevice> m_devices;
    std::wstring m_settingsFile;
    uint8_t m_settings[kSndSettingsSize];
};

}  // namespace tessaline_emu
