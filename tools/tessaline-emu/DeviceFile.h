// The emulator's audio devices and the text file they can be loaded from.
//
// One device per line, fields separated by blanks, the name last (it may
// contain blanks); '#' starts a comment line; blank lines are ignored:
//
//   # kind    id  default  extra  name
//   render    0   1        0      Speakers (Remote Audio)
//   capture   2   1        0      Microphone (Remote Audio)
//
// kind is "render", "capture" or a number (the raw render field); id, default
// and extra are decimal or 0x-hexadecimal 32-bit numbers. The file is UTF-8
// (a byte-order mark is allowed) or UTF-16LE with its byte-order mark.
//
// Blanks at either end of the name are dropped. A backslash in the name
// starts an escape, so that names can carry characters a line cannot (a
// client must cope with any name a service sends): \n line feed, \r carriage
// return, \t tab, \e escape (as \x1b), \\ a backslash, \xHH the character
// with code HH (two hex digits, \x20 a blank kept at an end; \x00 is refused
// like any zero character). Any other backslash is an error naming the line;
// names without one read as written:
//
//   capture   5   0        0      Evil\e[31mRed\nSecond line
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaline_emu {

struct EmuDevice {
    uint32_t id = 0;      // first field of the device record; the value set-default selects
    uint32_t def = 0;     // nonzero: the default device
    uint32_t render = 0;  // nonzero: playback, zero: capture
    uint32_t extra = 0;   // fourth field of the record, passed to clients unchanged
    std::wstring name;
};

// Longest device name accepted, in UTF-16 units.
const size_t kMaxDeviceName = 1024;
// Most devices one list may hold.
const size_t kMaxDevices = 256;

// Two render devices (the first is the default) and one capture device.
std::vector<EmuDevice> DefaultDevices();

// Parses the text of a device file. On failure returns false and a message
// naming the line ("line 3: ...").
bool ParseDeviceText(const std::wstring& text, std::vector<EmuDevice>* devices, std::wstring* error);
// Decodes file bytes (UTF-8 with or without BOM; UTF-16LE with a BOM, or without
// one when the file begins with an ASCII character, as every device file does)
// into text. False, and why when asked, for anything else (UTF-16BE among them).
bool DecodeTextFile(const std::vector<uint8_t>& bytes, std::wstring* text, std::wstring* why = nullptr);
// Reads and parses a device file; the message names the file.
bool LoadDeviceFile(const std::wstring& path, std::vector<EmuDevice>* devices, std::wstring* error);

}  // namespace tessaline_emu
