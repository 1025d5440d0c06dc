// The handle holder, the thread owner and where a step's error arose.
#include <gtest/gtest.h>

#include <atomic>
#include <utility>

#include "support/ProcessCounters.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

namespace {

// A holder closes exactly once: replaced, moved, released, destroyed. A
// double close shows as a count below the baseline, a leak as one above it;
// the other holder kinds share the same template.
TEST(Holders, CloseExactlyOnceAndKeepTheLastError) {
    const long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << "no handle count: GetProcessHandleCount reports 0 and the system handle table cannot be read";
    HANDLE first = lumlib::NewEvent();
    HANDLE second = lumlib::NewEvent();
    ASSERT_EQ(testkit::ProcessHandleCount(), before + 2) << "the handle counter does not see new handles";
    HANDLE released = nullptr;
    {
        CHandleHolder empty(INVALID_HANDLE_VALUE), holder(first);
        EXPECT_FALSE(empty.is_valid()) << "INVALID_HANDLE_VALUE held as a handle";
        holder.reset(second);  // closes the first
        holder.reset(second);  // the same handle again is kept open
        EXPECT_EQ(testkit::ProcessHandleCount(), before + 1) << "after replacing the first handle, then keeping the second";
        CHandleHolder moved(std::move(holder));
        EXPECT_FALSE(holder.is_valid()) << "the moved-from holder still holds the handle";
        HANDLE event = lumlib::NewEvent();
        ::SetLastError(ERROR_BROKEN_PIPE);
        moved.reset(event);  // closes second; the error being reported survives
        EXPECT_EQ(::GetLastError(), DWORD{ERROR_BROKEN_PIPE}) << "the last error after a reset";
        released = moved.release();
    }
    EXPECT_EQ(testkit::ProcessHandleCount(), before + 1) << "a released handle was closed, or another leaked";
    CHandleHolder{released};
    EXPECT_EQ(testkit::ProcessHandleCount(), before) << "the released handle, closed by a holder";
}

// An owner asked to join its own thread lets go instead of waiting for itself.
TEST(WorkerThread, NeverWaitsForItself) {
    const long handles = testkit::ProcessHandleCount();
    static std::atomic<int> joinedItself{-1};
    lumlib::CWorkerThread::Routine joinSelf = [](void* me) -> unsigned {
        joinedItself = static_cast<lumlib::CWorkerThread*>(me)->Join() ? 1 : 0;
        return 0;
    };
    {
        lumlib::CWorkerThread self;
        ASSERT_EQ(self.Start(joinSelf, &self, true), 0u);
        HANDLE h = nullptr;
        ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), self.handle(), ::GetCurrentProcess(), &h, SYNCHRONIZE, FALSE, 0));
        CHandleHolder watch(h);
        self.Resume();
        ASSERT_EQ(::WaitForSingleObject(watch.get(), 10000), WAIT_OBJECT_0) << "the thread waited for itself";
        EXPECT_EQ(joinedItself.load(), 0) << "Join from the thread itself";
        EXPECT_FALSE(self.IsStarted()) << "the owner still holds the thread";
    }
    if (handles >= 0) {
        EXPECT_EQ(testkit::ProcessHandleCount(), handles) << "handles left by the owner";
    }
}

// A step's error names the file and line it was raised at (the error
// boundary keeps them), and a call that set no error still fails.
TEST(LumError, NamesItsRaiseSite) {
    const uint32_t raisedAt = __LINE__ + 1;
    const auto raise = [] { throw lumlib::Fail(ERROR_SUCCESS, lumlib::LumReason::kFailed, L"Test", __LINE__); };
    lumlib::LumFailure kept;
    EXPECT_EQ(lumlib::CatchReturn(raise, &kept), uint32_t{ERROR_GEN_FAILURE});
    EXPECT_EQ(kept.reason, lumlib::LumReason::kFailed);
    EXPECT_STREQ(kept.file, "lumlib_test.cpp");
    EXPECT_EQ(kept.line, raisedAt);
}

}  // namespace
