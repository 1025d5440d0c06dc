// Portable: also built natively under the sanitizers (fuzz/).
#include "log/LogEscape.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring Escape(const std::wstring& text, size_t capacity) {
    std::wstring out(capacity + 1, L'#');  // one guard character past the capacity
    const size_t used = EscapeLogText(text.data(), text.size(), &out[0], capacity);
    EXPECT_EQ(out[capacity], L'#') << "written past the capacity";
    return out.substr(0, used);
}

TEST(LogEscape, ControlCharactersAndSeparatorsAreEscapedAndNeverCut) {
    const struct { std::wstring text; size_t capacity; std::wstring expected; } rows[] = {
        {L"dev\r\nice", 64, L"dev\\x0d\\x0aice"},
        {std::wstring(L"a\0b", 3), 64, L"a\\x00b"},
        {L"\x1f \x20 \x7e \x7f \x9f \xa0", 64, L"\\x1f   ~ \\x7f \\x9f \xa0"},  // edges of both control ranges
        {L"x\u2028y\u2029", 64, L"x\\u2028y\\u2029"},
        {L"C:\\ProgramData\\Zelkor", 64, L"C:\\ProgramData\\Zelkor"},  // backslashes stay as they are
        {L"ab\r", 5, L"ab"},          // the escape would not fit whole: left out
        {L"ab\u2028", 7, L"ab"},
        {L"abcdef", 4, L"abcd"},
        {L"a\tb", 6, L"a\\x09b"},     // exactly fits
    };
    for (const auto& row : rows) EXPECT_EQ(Escape(row.text, row.capacity), row.expected);
}

}  // namespace
