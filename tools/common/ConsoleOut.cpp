#include "tools/common/ConsoleOut.h"

#include <algorithm>
#include <cstdarg>
#include <cwchar>

#include "support/lumlib.h"

namespace zktools {
namespace {

// One lock for both streams, so lines from different threads never interleave.
const lumlib::unique_critical_section& OutputLock() {
    static const lumlib::unique_critical_section lock;
    return lock;
}

void WriteTo(DWORD which, const std::wstring& text) {
    HANDLE out = ::GetStdHandle(which);
    if (!lumlib::HandleTraits::is_valid(out)) return;
    const auto lock = OutputLock().lock();
    DWORD mode = 0;
    if (::GetConsoleMode(out, &mode)) {
        // In pieces: Windows 7's console refuses a write larger than its 64 KB
        // buffer, and would print nothing of a long listing. A piece never ends
        // inside a surrogate pair.
        const size_t kPiece = 8192;
        for (size_t done = 0; done < text.size();) {
            size_t piece = std::min(kPiece, text.size() - done);
            if (done + piece < text.size() && IS_HIGH_SURROGATE(text[done + piece - 1])) --piece;
            DWORD written = 0;
            if (!::WriteConsoleW(out, text.data() + done, static_cast<DWORD>(piece), &written, nullptr)) break;
            done += piece;
        }
        return;
    }
    const std::string bytes = ToUtf8(text);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(bytes.size() - done);
        if (!::WriteFile(out, bytes.data() + done, chunk, &written, nullptr)) {
            const DWORD error = ::GetLastError();
            if (which == STD_OUTPUT_HANDLE && (error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE) && OutputGoneEvent())
                ::SetEvent(OutputGoneEvent());
            break;
        }
        if (written == 0) break;
        done += written;
    }
}

}  // namespace

HANDLE OutputGoneEvent() {
    static const lumlib::unique_handle gone(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    return gone.get();
}

void PrintLine(const std::wstring& line) { WriteTo(STD_OUTPUT_HANDLE, line + L"\r\n"); }
void PrintErrLine(const std::wstring& line) { WriteTo(STD_ERROR_HANDLE, line + L"\r\n"); }
void PrintText(const std::wstring& text) { WriteTo(STD_OUTPUT_HANDLE, text); }
void PrintErrText(const std::wstring& text) { WriteTo(STD_ERROR_HANDLE, text); }

bool IsConsole(DWORD which) {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(which), &mode) != FALSE;
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int needed = _vscwprintf(format, copy);
    va_end(copy);
    std::wstring text;
    if (needed > 0) {
        text.resize(static_cast<size_t>(needed) + 1);
        _vsnwprintf(&text[0], text.size(), format, args);
        text.resize(static_cast<size_t>(needed));
    }
    va_end(args);
    return text;
}

std::wstring TimeStamp() {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return Format(L"%02u:%02u:%02u.%03u", now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

std::string ToUtf8(const std::wstring& text) {
    if (text.empty()) return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                        nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                              nullptr, nullptr);
    return out;
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

std::wstring ErrorText(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                         FORMAT_MESSAGE_IGNORE_INSERTS,
                                     nullptr, error, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    lumlib::unique_local_ptr<wchar_t*> owned(buffer);
    std::wstring text;
    if (n != 0 && buffer != nullptr) text.assign(buffer, n);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    if (text.empty()) text = L"error";
    return Format(L"%s (error %lu)", text.c_str(), static_cast<unsigned long>(error));
}

bool ParseU32(const std::wstring& text, uint32_t* value) {
    if (text.empty() || value == nullptr) return false;
    size_t i = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X')) {
        base = 16;
        i = 2;
    }
    uint64_t result = 0;
    for (; i < text.size(); ++i) {
        const wchar_t c = text[i];
        unsigned digit;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (base == 16 && c >= L'a' && c <= L'f') digit = 10 + (c - L'a');
        else if (base == 16 && c >= L'A' && c <= L'F') digit = 10 + (c - L'A');
        else return false;
        result = result * base + digit;
        if (result > 0xFFFFFFFFull) return false;
    }
    *value = static_cast<uint32_t>(result);
    return true;
}

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>* data, DWORD* error) {
    // Others may still be writing it (a log being watched): share writing too.
    CHandleHolder file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.is_valid()) {
        *error = ::GetLastError();
        return false;
    }
    LARGE_INTEGER size;
    if (!::GetFileSizeEx(file.get(), &size)) {
        *error = ::GetLastError();
        return false;
    }
    // Nothing these tools read is anywhere near this; refuse instead of allocating wildly.
    if (size.QuadPart > 64 * 1024 * 1024) {
        *error = ERROR_FILE_TOO_LARGE;
        return false;
    }
    data->assign(static_cast<size_t>(size.QuadPart), 0);
    size_t done = 0;
    while (done < data->size()) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), data->data() + done, static_cast<DWORD>(data->size() - done), &got, nullptr)) {
            *error = ::GetLastError();
            return false;
        }
        if (got == 0) break;
        done += got;
    }
    data->resize(done);
    return true;
}

bool WriteWholeFile(const std::wstring& path, const void* data, size_t size, DWORD* error) {
    // Write a neighbour first and move it over the target, so a reader never
    // sees half a file.
    const std::wstring temp = path + L".tmp";
    {
        CHandleHolder file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.is_valid()) {
            *error = ::GetLastError();
            return false;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        size_t done = 0;
        while (done < size) {
            DWORD written = 0;
            if (!::WriteFile(file.get(), bytes + done, static_cast<DWORD>(size - done), &written, nullptr)) {
                *error = ::GetLastError();
                file.reset();
                ::DeleteFileW(temp.c_str());
                return false;
            }
            done += written;
        }
    }
    if (!::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        *error = ::GetLastError();
        ::DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

std::wstring EscapeControls(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'\r') out += L"\\r";
        else if (c == L'\n') out += L"\\n";
        else if (c == L'\t') out += L"\\t";
        else if (c < 0x20 || c == 0x7F) out += Format(L"\\x%02x", static_cast<unsigned>(c));
        else if ((c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
                 (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C)
            out += Format(L"\\u%04x", static_cast<unsigned>(c));
        else out += c;
    }
    return out;
}

}  // namespace zktools
