// Escapes UTF-16 text taken from the input into a capacity also taken from it,
// and checks what a reader of the log relies on: the output fits, is
// well-formed UTF-16 with no control character or line separator left, escapes
// nothing else, and reads back (undoing the escapes) as exactly the start of
// the text, ending only where the next character, pair or escape would not fit.
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "log/LogEscape.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

bool IsHigh(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLow(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }
bool NeedsHex(wchar_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// What the character at text[at] takes in the output: itself, its pair, or its escape.
size_t Width(const std::vector<wchar_t>& text, size_t at) {
    const wchar_t c = text[at];
    if (NeedsHex(c)) return 4;
    if (c == L'\\') return 2;
    if (IsHigh(c) && at + 1 < text.size() && IsLow(text[at + 1])) return 2;
    return c == 0x2028 || c == 0x2029 || IsHigh(c) || IsLow(c) ? 6 : 1;
}

unsigned HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return static_cast<unsigned>(c - L'0');
    Check(c >= L'a' && c <= L'f');
    return static_cast<unsigned>(c - L'a' + 10);
}

// Undoes the escapes; aborts on anything the escaping never writes.
std::vector<wchar_t> Unescape(const wchar_t* out, size_t used) {
    std::vector<wchar_t> text;
    for (size_t i = 0; i < used; ++i) {
        if (out[i] != L'\\') {
            text.push_back(out[i]);
            continue;
        }
        Check(i + 1 < used);
        const wchar_t kind = out[++i];
        const size_t digits = kind == L'x' ? 2 : kind == L'u' ? 4 : 0;
        Check(kind == L'\\' || digits != 0);
        Check(used - i > digits);
        unsigned value = kind == L'\\' ? L'\\' : 0;
        for (size_t d = 0; d < digits; ++d) value = value * 16 + HexValue(out[++i]);
        text.push_back(static_cast<wchar_t>(value));
    }
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t capacity = data[0] | (data[1] << 8);
    std::vector<wchar_t> text;  // 16-bit units, whatever the width of wchar_t here
    for (size_t i = 2; i + 1 < size; i += 2) text.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    std::vector<wchar_t> out(capacity + 1, L'#');
    const size_t used = EscapeLogText(text.data(), text.size(), out.data(), capacity);
    Check(used <= capacity && out[capacity] == L'#');
    for (size_t i = 0; i < used; ++i) {
        const wchar_t c = out[i];
        Check(!(NeedsHex(c) || c == 0x2028 || c == 0x2029));
        if (IsHigh(c)) Check(i + 1 < used && IsLow(out[++i]));
        else Check(!IsLow(c));
    }
    const std::vector<wchar_t> back = Unescape(out.data(), used);
    Check(back.size() <= text.size() && std::equal(back.begin(), back.end(), text.begin()));
    // Nothing escaped that need not be (a pair kept whole too): the output is as long as what was
    // taken of the text needs. Filled: it stopped only where the next one would not fit.
    size_t needed = 0;
    for (size_t i = 0; i < back.size(); i += IsHigh(text[i]) && Width(text, i) == 2 ? 2 : 1) needed += Width(text, i);
    Check(needed == used);
    Check(back.size() == text.size() || used + Width(text, back.size()) > capacity);
    return 0;
}
