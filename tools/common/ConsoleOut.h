// Line output shared by the command-line tools: each line leaves the process
// in one write, so a user (or a script reading a pipe) sees it at once.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zktools {

// Writes text plus a line end to stdout / stderr. A console gets UTF-16
// through WriteConsoleW; a file or pipe gets UTF-8. Safe from any thread.
void PrintLine(const std::wstring& line);
void PrintErrLine(const std::wstring& line);
// Text without a line end added (already complete, e.g. a multi-line table).
void PrintText(const std::wstring& text);
// Text to stderr as it is (a progress line rewritten with \r).
void PrintErrText(const std::wstring& text);
// Signalled (auto-reset) when a write to stdout failed because its reader has
// gone (`| more` quit, a script stopped reading): a follow or a watch then has
// nobody left to tell, and ends as if stopped. Null if it could not be made.
HANDLE OutputGoneEvent();
// Whether STD_OUTPUT_HANDLE / STD_ERROR_HANDLE is a console (not a file or pipe).
bool IsConsole(DWORD which);

// printf-style formatting into a wide string.
std::wstring Format(const wchar_t* format, ...);
// "13:05:09.117", local time, for traffic lines.
std::wstring TimeStamp();

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// Text from the service or a log made safe for a terminal: control characters (C0, DEL, C1) and the
// Unicode line separators and bidirectional controls become visible escapes: \r, \n, \t, \xHH, \uHHHH.
std::wstring EscapeControls(const std::wstring& text);

// Text of a Windows error code, without the trailing line end.
std::wstring ErrorText(DWORD error);

// Parses a decimal or 0x-prefixed hexadecimal unsigned 32-bit number; the
// whole string must be the number.
bool ParseU32(const std::wstring& text, uint32_t* value);

// Whole file in / out; false with the Windows error in *error.
bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* data, DWORD* error);
bool WriteWholeFile(const std::wstring& path, const void* data, size_t size, DWORD* error);

}  // namespace zktools
