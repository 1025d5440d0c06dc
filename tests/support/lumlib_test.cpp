// Lock wrappers, scoped lockers, handle holder and exception type.
#include <gtest/gtest.h>
#include <process.h>

#include "support/ProcessCounters.h"
#include "support/lumlib.h"

namespace {

TEST(Lumlib, MutexAbandonedByAThreadIsTakenOverAndTakenOnce) {
    CHandleHolder mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    // A thread that takes the mutex (free within 5 s) and ends holding it abandons it.
    unsigned(__stdcall* take)(void*) = [](void* m) -> unsigned { return ::WaitForSingleObject(m, 5000); };
    auto abandon = [&] {
        CHandleHolder thread(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, take, mutex.Get(), 0, nullptr)));
        DWORD result = 1;
        ASSERT_TRUE(::WaitForSingleObject(thread, INFINITE) == WAIT_OBJECT_0 && ::GetExitCodeThread(thread, &result));
        EXPECT_EQ(result, WAIT_OBJECT_0) << "the mutex was not free for another thread";
    };
    lumlib::CMutexObj obj(mutex);
    abandon();
    EXPECT_EQ(obj.Lock(), 1u);
    EXPECT_TRUE(obj.Unlock());
    lumlib::__auto_locker byHandle(mutex), bySyncObj(&obj);
    for (lumlib::__auto_locker* locker : {&byHandle, &bySyncObj}) {
        abandon();
        locker->Lock();
        locker->Lock();  // must not wait again: a second take would outlast the one Unlock
        EXPECT_TRUE(locker->IsLocked()) << "kind " << locker->GetKind();
        locker->Unlock();
    }
    abandon();
}

TEST(AutoLocker, CriticalSection) {
    CRITICAL_SECTION cs;
    ::InitializeCriticalSection(&cs);
    // RecursionCount: how many times the owning thread has entered.
    {
        lumlib::__auto_locker l(&cs);
        l.Lock();
        l.Lock();
        EXPECT_EQ(cs.RecursionCount, 1);
        l.Unlock();
        l.Lock();
    }
    EXPECT_EQ(cs.RecursionCount, 0) << "Unlock or the destructor did not leave the critical section";
    ::DeleteCriticalSection(&cs);
}

struct FakeLockable : lumlib::__auto_locker::ILockable {
    BOOL Lock() override { ++locks; return TRUE; }
    BOOL Unlock() override { return ++unlocks > 1; }  // the first unlock fails
    int locks = 0, unlocks = 0;
};

TEST(AutoLocker, VirtualLockObject) {
    FakeLockable fake;
    {
        lumlib::__auto_locker l(&fake);
        l.Lock();
        l.Lock();
        EXPECT_EQ(fake.locks, 1);
        l.Unlock();
        EXPECT_TRUE(l.IsLocked()) << "a failed unlock must stay marked locked";
    }
    EXPECT_EQ(fake.unlocks, 2) << "the destructor did not try the unlock again";
    { lumlib::__auto_locker neverLocked(&fake), unlocked(&fake); unlocked.Lock(); unlocked.Unlock(); }
    EXPECT_EQ(fake.unlocks, 3) << "a never-locked or unlocked locker released on destruction";
}

TEST(HandleHolder, ClosesWhatItHolds) {
    const long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    HANDLE first = ::CreateMutexW(nullptr, FALSE, nullptr), second = ::CreateMutexW(nullptr, FALSE, nullptr);
    ASSERT_EQ(testkit::ProcessHandleCount(), before + 2) << "the handle counter does not see new handles";
    {
        CHandleHolder empty(INVALID_HANDLE_VALUE), holder(first);
        EXPECT_FALSE(empty.IsValid());
        holder = second;  // closes the first
        holder = second;  // the same handle again is kept open
        EXPECT_EQ(testkit::ProcessHandleCount(), before + 1);
    }
    EXPECT_EQ(testkit::ProcessHandleCount(), before);
}

TEST(LumException, RaisedByPointerWithTheLastError) {
    const wchar_t* module = L"TransferBuffer-with-a-name-long-enough-to-need-the-heap";
    try {
        ::SetEvent(nullptr);  // fails with ERROR_INVALID_HANDLE; copying the long texts must not lose it
        throw new CLumException(module, 42, L"a message long enough that copying it allocates memory");
    } catch (CLumException* e) {
        EXPECT_EQ(e->GetError(), DWORD{ERROR_INVALID_HANDLE});
        EXPECT_EQ(e->GetLine(), 42u);
        EXPECT_STREQ(e->GetModule(), module);
        delete e;  // the catcher owns it
    }
}

}  // namespace
