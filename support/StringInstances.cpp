// The string classes' out-of-line members, compiled here.
//
// With clang and lld against GCC's libstdc++, the linker keeps the members
// that libstdc++.a instantiates (std::wstring's _M_mutate, which every
// growing string calls) but drops their unwind entries. A std::bad_alloc
// raised inside one then unwinds the caller's frames wrongly: the fault sweep
// saw a failed allocation in a growing string end in an access violation in a
// destructor that should not have run. Instantiated in the library's own
// code, the members come with the compiler's unwind entries, and the linker
// takes them before the archive's.
#include <string>

#if defined(__clang__) && defined(__GLIBCXX__) && defined(_WIN32)

template class std::basic_string<wchar_t>;
template class std::basic_string<char>;
#endif
