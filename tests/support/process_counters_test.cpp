// The leak counters other tests rely on must move when a handle or thread
// comes and goes, or every leak test built on them would pass vacuously.
#include <gtest/gtest.h>
#include <process.h>

#include <cstdio>

#include "support/ProcessCounters.h"
#include "support/lumlib.h"

namespace {

TEST(ProcessCounters, HandleCountFollowsAnEventOpenedAndClosed) {
    const long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;

    HANDLE events[3];
    for (HANDLE& e : events) {
        e = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(e, nullptr);
    }
    const long during = testkit::ProcessHandleCount();
    for (HANDLE e : events) ::CloseHandle(e);
    const long after = testkit::ProcessHandleCount();

    std::printf("handle count via %s: %ld -> %ld -> %ld\n",
                testkit::HandleCountMethodName(testkit::LastHandleCountMethod()), before, during, after);
    EXPECT_NE(testkit::LastHandleCountMethod(), testkit::HandleCountMethod::None);
    EXPECT_EQ(during, before + 3);
    EXPECT_EQ(after, before);
}

unsigned __stdcall WaitForEvent(void* arg) {
    ::WaitForSingleObject(static_cast<HANDLE>(arg), INFINITE);
    return 0;
}

TEST(ProcessCounters, ThreadCountFollowsAThreadStartedAndEnded) {
    const long before = testkit::ProcessThreadCount();
    ASSERT_GT(before, 0);

    CHandleHolder stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_TRUE(stop.IsValid());
    CHandleHolder thread(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, WaitForEvent, stop.Get(), 0, nullptr)));
    ASSERT_TRUE(thread.IsValid());
    EXPECT_EQ(testkit::ProcessThreadCount(), before + 1);

    ::SetEvent(stop);
    ASSERT_EQ(::WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(testkit::WaitForThreadCountAtMost(before, 5000), before);
}

}  // namespace
