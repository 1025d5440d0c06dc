#include "tools/tessaline-emu/DeviceFile.h"

#include <windows.h>

#include "tools/common/ConsoleOut.h"

namespace tessaline_emu {
namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Splits off the next blank-separated word starting at *pos.
std::wstring NextWord(const std::wstring& line, size_t* pos) {
    size_t i = *pos;
    while (i < line.size() && IsBlank(line[i])) ++i;
    const size_t start = i;
    while (i < line.size() && !IsBlank(line[i])) ++i;
    *pos = i;
    return line.substr(start, i - start);
}

std::wstring Trim(const std::wstring& s) {
    size_t b = 0, e = s.size();
    while (b < e && (IsBlank(s[b]) || s[b] == L'\r')) ++b;
    while (e > b && (IsBlank(s[e - 1]) || s[e - 1] == L'\r')) --e;
    return s.substr(b, e - b);
}

bool ParseNumberField(const std::wstring& word, const wchar_t* what, uint32_t* value, std::wstring* error) {
    if (word.empty()) {
        *error = zktools::Format(L"missing %s", what);
        return false;
    }
    if (!zktools::ParseU32(word, value)) {
        *error = zktools::Format(L"%s '%s' is not a 32-bit number", what, word.c_str());
        return false;
    }
    return true;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

// Replaces the name's backslash escapes (see DeviceFile.h) by what they stand for.
bool Unescape(const std::wstring& raw, std::wstring* name, std::wstring* error) {
    name->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != L'\\') {
            *name += raw[i];
            continue;
        }
        if (i + 1 == raw.size()) {
            *error = L"device name ends in a lone backslash (write \\\\ for one)";
            return false;
        }
        const wchar_t c = raw[++i];
        switch (c) {
        case L'n': *name += L'\n'; break;
        case L'r': *name += L'\r'; break;
        case L't': *name += L'\t'; break;
        case L'e': *name += L'\x1b'; break;
        case L'\\': *name += L'\\'; break;
        case L'x': {
            const int high = i + 1 < raw.size() ? HexDigit(raw[i + 1]) : -1;
            const int low = i + 2 < raw.size() ? HexDigit(raw[i + 2]) : -1;
            if (high < 0 || low < 0) {
                *error = zktools::Format(L"bad escape '%s' in device name: \\x takes two hex digits",
                                         raw.substr(i - 1, 4).c_str());
                return false;
            }
            *name += static_cast<wchar_t>(high * 16 + low);
            i += 2;
            break;
        }
        default:
            *error = L"bad escape '\\" + std::wstring(1, c) + L"' in device name (\\n \\r \\t \\e \\\\ \\xHH are known)";
            return false;
        }
    }
    return true;
}

bool ParseLine(const std::wstring& line, EmuDevice* device, std::wstring* error) {
    size_t pos = 0;
    const std::wstring kind = NextWord(line, &pos);
    if (kind == L"render") {
        device->render = 1;
    } else if (kind == L"capture") {
        device->render = 0;
    } else if (!zktools::ParseU32(kind, &device->render)) {
        *error = zktools::Format(L"kind '%s' is not render, capture or a number", kind.c_str());
        return false;
    }
    if (!ParseNumberField(NextWord(line, &pos), L"id", &device->id, error)) return false;
    if (!ParseNumberField(NextWord(line, &pos), L"default", &device->def, error)) return false;
    if (!ParseNumberField(NextWord(line, &pos), L"extra", &device->extra, error)) return false;
    const std::wstring raw = Trim(line.substr(pos));
    if (raw.empty()) {
        *error = L"missing device name";
        return false;
    }
    if (!Unescape(raw, &device->name, error)) return false;
    if (device->name.size() > kMaxDeviceName) {
        *error = zktools::Format(L"device name longer than %u characters", static_cast<unsigned>(kMaxDeviceName));
        return false;
    }
    if (device->name.find(L'\0') != std::wstring::npos) {
        *error = L"device name contains a zero character";
        return false;
    }
    return true;
}

}  // namespace

std::vector<EmuDevice> DefaultDevices() {
    std::vector<EmuDevice> devices(3);
    devices[0] = {0, 1, 1, 0, L"Speakers (Tessaline Remote Audio)"};
    devices[1] = {1, 0, 1, 0, L"Headphones (Tessaline Remote Audio)"};
    devices[2] = {2, 1, 0, 0, L"Microphone (Tessaline Remote Audio)"};  // one default per flow
    return devices;
}

bool ParseDeviceText(const std::wstring& text, std::vector<EmuDevice>* devices, std::wstring* error) {
    std::vector<EmuDevice> parsed;
    size_t lineStart = 0;
    unsigned lineNumber = 0;
    while (lineStart <= text.size()) {
        size_t lineEnd = text.find(L'\n', lineStart);
        if (lineEnd == std::wstring::npos) lineEnd = text.size();
        ++lineNumber;
        const std::wstring line = Trim(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (line.empty() || line[0] == L'#') continue;
        EmuDevice device;
        std::wstring why;
        if (!ParseLine(line, &device, &why)) {
            *error = zktools::Format(L"line %u: %s", lineNumber, why.c_str());
            return false;
        }
        if (parsed.size() == kMaxDevices) {
            *error = zktools::Format(L"line %u: more than %u devices", lineNumber, static_cast<unsigned>(kMaxDevices));
            return false;
        }
        parsed.push_back(device);
    }
    if (parsed.empty()) {
        *error = L"no devices";
        return false;
    }
    devices->swap(parsed);
    return true;
}

bool DecodeTextFile(const std::vector<uint8_t>& bytes, std::wstring* text, std::wstring* why) {
    std::wstring ignored;
    if (why == nullptr) why = &ignored;
    const bool le16Bom = bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    // Without a mark: an ASCII first character with a zero high byte. UTF-8 text has no zero byte there.
    const bool le16Bare = bytes.size() >= 2 && bytes[0] != 0 && bytes[0] < 0x80 && bytes[1] == 0;
    if ((bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) ||
        (bytes.size() >= 2 && bytes[0] == 0 && bytes[1] != 0 && bytes[1] < 0x80)) {
        *why = L"UTF-16 big-endian text: save it as UTF-8 or UTF-16LE";
        return false;
    }
    if (le16Bom || le16Bare) {
        if (bytes.size() % 2 != 0) {
            *why = L"UTF-16LE text of an odd number of bytes (cut short?)";
            return false;
        }
        const size_t skip = le16Bom ? 2 : 0;
        text->assign((bytes.size() - skip) / 2, L'\0');
        for (size_t i = 0; i < text->size(); ++i)
            (*text)[i] = static_cast<wchar_t>(bytes[skip + 2 * i] | (bytes[skip + 2 * i + 1] << 8));
        return true;
    }
    size_t skip = 0;
    if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) skip = 3;
    const std::string utf8(bytes.begin() + static_cast<std::ptrdiff_t>(skip), bytes.end());
    if (utf8.empty()) {
        text->clear();
        return true;
    }
    // Refuse bytes that are not UTF-8 instead of guessing a code page.
    const int n = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                        nullptr, 0);
    if (n <= 0) {
        *why = L"not UTF-8 or UTF-16LE text";
        return false;
    }
    *text = zktools::FromUtf8(utf8);
    return true;
}

bool LoadDeviceFile(const std::wstring& path, std::vector<EmuDevice>* devices, std::wstring* error) {
    std::vector<uint8_t> bytes;
    DWORD code = 0;
    if (!zktools::ReadWholeFile(path, &bytes, &code)) {
        *error = zktools::Format(L"%s: %s", path.c_str(), zktools::ErrorText(code).c_str());
        return false;
    }
    std::wstring text, why;
    if (!DecodeTextFile(bytes, &text, &why)) {
        *error = zktools::Format(L"%s: %s", path.c_str(), why.c_str());
        return false;
    }
    if (!ParseDeviceText(text, devices, &why)) {
        *error = zktools::Format(L"%s: %s", path.c_str(), why.c_str());
        return false;
    }
    return true;
}

}  // namespace tessaline_emu
