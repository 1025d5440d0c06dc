// Lock wrappers, scoped lockers, handle holder and exception type.
#include <gtest/gtest.h>
#include <process.h>

#include <memory>
#include <utility>

#include "support/ProcessCounters.h"
#include "support/WorkerThread.h"
#include "support/lumlib.h"

namespace {

TEST(Lumlib, MutexAbandonedByAThreadIsTakenOverAndTakenOnce) {
    CHandleHolder mutex(::CreateMutexW(nullptr, FALSE, nullptr));
    // A thread that takes the mutex (free within 5 s) and ends holding it abandons it.
    unsigned(__stdcall* take)(void*) = [](void* m) -> unsigned { return ::WaitForSingleObject(m, 5000); };
    auto abandon = [&] {
        CHandleHolder thread(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, take, mutex.get(), 0, nullptr)));
        DWORD result = 1;
        ASSERT_TRUE(::WaitForSingleObject(thread.get(), INFINITE) == WAIT_OBJECT_0 &&
                    ::GetExitCodeThread(thread.get(), &result));
        EXPECT_EQ(result, WAIT_OBJECT_0) << "the mutex was not free for another thread";
    };
    lumlib::CMutexObj obj(mutex.get());
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

struct FakeLockable final : lumlib::__auto_locker::ILockable {
    BOOL Lock() override { ++locks; return TRUE; }
    BOOL Unlock() override { return ++unlocks > 1; }  // the first unlock fails
    int locks = 0, unlocks = 0;
};

// A locker takes its object once however often Lock is called, and releases it once.
TEST(AutoLocker, CriticalSectionAndVirtualLockObject) {
    CRITICAL_SECTION cs;
    ::InitializeCriticalSection(&cs);
    {
        lumlib::__auto_locker l(&cs);
        l.Lock();
        l.Lock();
        EXPECT_EQ(cs.RecursionCount, 1);  // how many times the owning thread has entered
        l.Unlock();
        l.Lock();
    }
    EXPECT_EQ(cs.RecursionCount, 0) << "Unlock or the destructor did not leave the critical section";
    ::DeleteCriticalSection(&cs);

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

// A holder closes exactly once: replaced, moved, released, destroyed. A
// double close shows as a count below the baseline, a leak as one above it;
// the other holder kinds share the same template.
TEST(Holders, CloseExactlyOnceAndKeepTheLastError) {
    const long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    HANDLE first = lumlib::NewMutex(), second = lumlib::NewMutex();
    ASSERT_EQ(testkit::ProcessHandleCount(), before + 2) << "the handle counter does not see new handles";
    HANDLE released = nullptr;
    {
        CHandleHolder empty(INVALID_HANDLE_VALUE), holder(first);
        EXPECT_FALSE(empty.is_valid());
        holder.reset(second);  // closes the first
        holder.reset(second);  // the same handle again is kept open
        EXPECT_EQ(testkit::ProcessHandleCount(), before + 1);
        CHandleHolder moved(std::move(holder));
        EXPECT_FALSE(holder.is_valid());
        HANDLE event = lumlib::NewEvent();
        ::SetLastError(ERROR_BROKEN_PIPE);
        moved.reset(event);  // closes second; the error being reported survives
        EXPECT_EQ(::GetLastError(), DWORD{ERROR_BROKEN_PIPE});
        released = moved.release();
    }
    EXPECT_EQ(testkit::ProcessHandleCount(), before + 1) << "a released handle was closed, or another leaked";
    CHandleHolder{released};
    EXPECT_EQ(testkit::ProcessHandleCount(), before);

}

// The thread owner: a running thread is stopped and joined by the
// destructor, a suspended one is resumed to see its stop, and an owner asked
// to join its own thread lets go instead of waiting for itself.
TEST(WorkerThread, StopsJoinsAndNeverWaitsForItself) {
    const long handles = testkit::ProcessHandleCount(), threads = testkit::ProcessThreadCount();
    ASSERT_GE(threads, 0);
    static volatile LONG ran = 0;
    lumlib::CWorkerThread::Routine waitForStop = [](void* owner) -> unsigned {
        ::InterlockedIncrement(&ran);
        return ::WaitForSingleObject(static_cast<lumlib::CWorkerThread*>(owner)->StopEvent(), 10000);
    };
    {
        lumlib::CWorkerThread running, suspended;
        ASSERT_EQ(running.Start(waitForStop, &running), 0u);
        ASSERT_EQ(suspended.Start(waitForStop, &suspended, true), 0u);
        EXPECT_FALSE(running.HasEnded());
        lumlib::CWorkerThread moved(std::move(running));
        EXPECT_FALSE(running.IsStarted());
        EXPECT_TRUE(suspended.Stop());
    }  // moved: stopped and joined here
    EXPECT_EQ(ran, 2) << "a thread never ran, or a suspended one was not resumed to see its stop";
    EXPECT_EQ(testkit::WaitForThreadCountAtMost(threads, 10000), threads) << "a thread outlived its owner";

    std::unique_ptr<lumlib::CWorkerThread> owner(new lumlib::CWorkerThread);
    lumlib::CWorkerThread& self = *owner;
    static volatile LONG joinedItself = -1;
    lumlib::CWorkerThread::Routine joinSelf = [](void* me) -> unsigned {
        ::InterlockedExchange(&joinedItself, static_cast<lumlib::CWorkerThread*>(me)->Join() ? 1 : 0);
        return 0;
    };
    ASSERT_EQ(self.Start(joinSelf, &self, true), 0u);
    HANDLE h = nullptr;
    ASSERT_TRUE(::DuplicateHandle(::GetCurrentProcess(), self.handle(), ::GetCurrentProcess(), &h, SYNCHRONIZE, FALSE, 0));
    CHandleHolder watch(h);
    self.Resume();
    ASSERT_EQ(::WaitForSingleObject(watch.get(), 10000), WAIT_OBJECT_0) << "the thread waited for itself";
    EXPECT_EQ(joinedItself, 0);
    EXPECT_FALSE(self.IsStarted());
    watch.reset();
    owner.reset();
    if (handles >= 0) { EXPECT_EQ(testkit::ProcessHandleCount(), handles); }
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
