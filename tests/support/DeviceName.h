// A decoded device record's name, read from the record's bytes as the wire
// holds them (UTF-16LE, perhaps unaligned). Header-only and portable, so the
// native fuzzer reads names the same way as the tests.
#pragma once

#include <cstddef>
#include <string>

#include "virt/api/SndProtocol.h"

namespace zk_testkit {

inline std::u16string DeviceName(const SndDeviceRecord& record) {
    std::u16string name(record.devNameChars, u' ');
    for (size_t i = 0; i < name.size(); ++i) name[i] = char16_t(record.devName[2 * i] | (record.devName[2 * i + 1] << 8));
    return name;
}

}  // namespace zk_testkit
