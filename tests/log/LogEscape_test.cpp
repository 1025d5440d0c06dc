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

TEST(LogEscape, ControlsSeparatorsLoneSurrogatesAndBackslashesAreEscapedAndNeverCut) {
    const struct { std::wstring text; size_t capacity; std::wstring expected; } rows[] = {
        {std::wstring(L"a\0b", 3), 64, L"a\\x00b"},
        {L"\x1f \x20 \x7e \x7f \x9f \xa0", 64, L"\\x1f   ~ \\x7f \\x9f \xa0"},  // edges of both control ranges
        {L"x\u2028y\u2029", 64, L"x\\u2028y\\u2029"},
        {L"a\xd83d\xde00" L"b", 64, L"a\xd83d\xde00" L"b"},  // a pair is kept
        {L"\xd83d|\xde00|\xde00\xd83d|\xd83d", 64, L"\\ud83d|\\ude00|\\ude00\\ud83d|\\ud83d"},  // lone halves
        {L"ab\xd83d\xde00", 3, L"ab"},  // a pair is never cut
        {L"ab\\", 3, L"ab"},          // a backslash is doubled (no text passes for an escape): no room
        {L"ab\r", 5, L"ab"},          // the escape would not fit whole: left out
        {L"ab\u2028", 7, L"ab"},
        {L"abcdef", 4, L"abcd"},
        {L"a\tb", 6, L"a\\x09b"},     // exactly fits
    };
    for (const auto& row : rows) EXPECT_EQ(Escape(row.text, row.capacity), row.expected);
}

}  // namespace
