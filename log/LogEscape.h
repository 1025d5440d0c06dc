// Escaping of control characters in log messages, so that one logging call
// always writes exactly one line whatever text came from outside (device
// names, event data). Portable: no Windows API.
#pragma once

#include <cstddef>

// Copies length characters of text to out (capacity characters, no terminator
// written), replacing each control character (U+0000-U+001F, U+007F-U+009F)
// with "\xNN" and the line and paragraph separators U+2028/U+2029 with
// "\uNNNN", lower-case hex. Stops before a character or escape that would not
// fit, so an escape is never cut. Returns the number of characters written.
size_t EscapeLogText(const wchar_t* text, size_t length, wchar_t* out, size_t capacity);
