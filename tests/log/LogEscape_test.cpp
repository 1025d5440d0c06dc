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

// Separators, lone surrogate halves, backslashes and escapes at the capacity's edge: the fuzzer
// (fuzz/log_escape_fuzzer.cpp) reads every output back on each test run.
TEST(LogEscape, EscapesOnlyControlsKeepsPairsAndFillsToTheCapacity) {
    const struct { std::wstring text; size_t capacity; std::wstring expected; } rows[] = {
        {L"\x1f \x20 \x7e \x7f \x9f \xa0", 64, L"\\x1f   ~ \\x7f \\x9f \xa0"},  // edges of both control ranges
        {L"a\xd83d\xde00" L"b", 64, L"a\xd83d\xde00" L"b"},  // a pair is kept
        {L"abcdef", 4, L"abcd"},
        {L"a\tb", 6, L"a\\x09b"},     // exactly fits
    };
    for (const auto& row : rows) EXPECT_EQ(Escape(row.text, row.capacity), row.expected);
}

}  // namespace
