#include "log/LogEscape.h"

namespace {

const wchar_t kHexDigits[] = L"0123456789abcdef";
const size_t kByteEscapeChars = 4;  // \xNN
const size_t kWideEscapeChars = 6;  // \uNNNN

bool IsByteControl(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }
bool IsLineSeparator(wchar_t c) { return c == 0x2028 || c == 0x2029; }
bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace

size_t EscapeLogText(const wchar_t* text, size_t length, wchar_t* out, size_t capacity) {
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            if (capacity - used < 2) break;  // the pair whole or not at all
            out[used++] = c;
            out[used++] = text[++i];
        } else if (IsByteControl(c)) {
            if (capacity - used < kByteEscapeChars) break;
            out[used++] = L'\\';
            out[used++] = L'x';
            out[used++] = kHexDigits[(c >> 4) & 0xF];
            out[used++] = kHexDigits[c & 0xF];
        } else if (IsLineSeparator(c) || IsHighSurrogate(c) || IsLowSurrogate(c)) {
            if (capacity - used < kWideEscapeChars) break;
            out[used++] = L'\\';
            out[used++] = L'u';
            for (int shift = 12; shift >= 0; shift -= 4) out[used++] = kHexDigits[(c >> shift) & 0xF];
        } else if (c == L'\\') {
            if (capacity - used < 2) break;
            out[used++] = L'\\';
            out[used++] = L'\\';
        } else {
            if (used == capacity) break;
            out[used++] = c;
        }
    }
    return used;
}
