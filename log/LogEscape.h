// Escaping of log messages, so that one logging call always writes exactly
// one line of well-formed UTF-16 whatever text came from outside (device
// names, event data), and no text can pass for an escape. Portable: no
// Windows API.
#pragma once

#include <cstddef>

// Copies length characters of text to out (capacity characters, no terminator
// written), replacing each control character (U+0000-U+001F, U+007F-U+009F)
// with "\xNN", the line and paragraph separators U+2028/U+2029 and every
// surrogate that is not half of a pair with "\uNNNN" (lower-case hex), and a
// backslash with two. Stops before a character, pair or escape that would not
// fit, so neither an escape nor a pair is ever cut. Returns the number of
// characters written.
size_t EscapeLogText(const wchar_t* text, size_t length, wchar_t* out, size_t capacity);
