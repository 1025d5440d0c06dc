// What the logger and its file writer share without knowing each other: the
// size of a line's parts and the clock's UTC offset field.
#pragma once

#include <windows.h>

#include <cstddef>

// Size in characters of the message and prefix buffers (and the longest message
// kept is one less).
const size_t kLogLineChars = 4096;
// A whole line: prefix, message and line end.
const size_t kLogWholeLineChars = 2 * kLogLineChars + 2;

// "(%+03d:%02d) " from the two clocks: hours from the hour fields, a day
// apart counting as 24 hours; minutes as the distance of the minute fields.
// Returns the characters written (at most outChars - 1).
int FormatUtcOffset(wchar_t* out, size_t outChars, const SYSTEMTIME& utc, const SYSTEMTIME& local);
