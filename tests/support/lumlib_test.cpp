// Lock wrappers, scoped lockers, handle holder and exception type.
#include <gtest/gtest.h>
#include <process.h>

#include <functional>
#include <memory>
#include <string>

#include "support/ProcessCounters.h"
#include "support/lumlib.h"

namespace {

using lumlib::__auto_locker;

// Runs `fn` on a fresh thread and waits for that thread to end.
void RunOnOtherThread(std::function<void()> fn) {
    struct Call { std::function<void()> fn; };
    Call call{std::move(fn)};
    auto entry = [](void* arg) -> unsigned { static_cast<Call*>(arg)->fn(); return 0; };
    CHandleHolder thread(reinterpret_cast<HANDLE>(
        ::_beginthreadex(nullptr, 0, static_cast<unsigned(__stdcall*)(void*)>(entry), &call, 0, nullptr)));
    ASSERT_TRUE(thread.IsValid());
    ASSERT_EQ(::WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
}

// True when another thread can take the mutex right now, i.e. nobody else holds it.
bool FreeForOthers(HANDLE mutex) {
    bool free = false;
    RunOnOtherThread([&] {
        DWORD r = ::WaitForSingleObject(mutex, 0);
        free = lumlib::WaitAcquired(r);
        if (free) ::ReleaseMutex(mutex);
    });
    return free;
}

bool FreeForOthers(CRITICAL_SECTION* cs) {
    bool free = false;
    RunOnOtherThread([&] {
        free = ::TryEnterCriticalSection(cs) != FALSE;
        if (free) ::LeaveCriticalSection(cs);
    });
    return free;
}

CHandleHolder NewMutex() { return CHandleHolder(::CreateMutexW(nullptr, FALSE, nullptr)); }

// A mutex whose owner thread ended while holding it.
CHandleHolder AbandonedMutex() {
    CHandleHolder mutex = NewMutex();
    RunOnOtherThread([&] { EXPECT_EQ(::WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0); });
    return mutex;
}

// A CSyncObj over a mutex that counts its unlocks and can be told to fail them.
class CountingSyncObj : public lumlib::CSyncObj {
public:
    explicit CountingSyncObj(HANDLE mutex) : CSyncObj(mutex) {}
    BOOL Unlock() override {
        ++unlocks;
        if (failuresLeft > 0) { --failuresLeft; return FALSE; }
        return ::ReleaseMutex(m_handle);
    }
    int unlocks = 0;
    int failuresLeft = 0;
};

// A kind-4 target with scripted results.
class FakeLockable : public __auto_locker::ILockable {
public:
    BOOL Lock() override { ++locks; return lockResult; }
    BOOL Unlock() override {
        ++unlocks;
        if (unlockFailuresLeft > 0) { --unlockFailuresLeft; return FALSE; }
        return TRUE;
    }
    int locks = 0;
    int unlocks = 0;
    BOOL lockResult = TRUE;
    int unlockFailuresLeft = 0;
};

TEST(WaitTest, HelperReallyAbandonsTheMutex) {
    CHandleHolder mutex = AbandonedMutex();
    EXPECT_EQ(::WaitForSingleObject(mutex, 0), WAIT_ABANDONED);
    EXPECT_TRUE(::ReleaseMutex(mutex));
}

// ---- abandoned mutexes are taken over, by every way of locking one ----------

struct AbandonedCase {
    const char* name;
    // locks the mutex, reports whether it is held, then unlocks it
    std::function<bool(HANDLE)> lockHoldUnlock;
};

void PrintTo(const AbandonedCase& c, std::ostream* os) { *os << c.name; }

class AbandonedMutexLock : public ::testing::TestWithParam<AbandonedCase> {};

TEST_P(AbandonedMutexLock, IsTakenOverAndReleased) {
    CHandleHolder mutex = AbandonedMutex();
    ASSERT_TRUE(mutex.IsValid());
    EXPECT_TRUE(GetParam().lockHoldUnlock(mutex));
    EXPECT_TRUE(FreeForOthers(mutex)) << "the taken-over mutex was not released";
}

INSTANTIATE_TEST_SUITE_P(
    Lumlib, AbandonedMutexLock,
    ::testing::Values(
        AbandonedCase{"CSyncObjLock", [](HANDLE m) {
            lumlib::CMutexObj obj(m);
            bool held = obj.Lock() == 1 && !FreeForOthers(m);
            return obj.Unlock() != FALSE && held;
        }},
        AbandonedCase{"CSyncLock", [](HANDLE m) {
            lumlib::CMutexObj obj(m);
            CSyncLock lock(&obj);
            return lock.Lock() == 1 && lock.IsLocked() && !FreeForOthers(m);
        }},
        AbandonedCase{"AutoLockerHandle", [](HANDLE m) {
            __auto_locker locker(m);
            locker.Lock();
            return locker.IsLocked() && !FreeForOthers(m);
        }},
        AbandonedCase{"AutoLockerSyncObj", [](HANDLE m) {
            lumlib::CMutexObj obj(m);
            __auto_locker locker(&obj);
            locker.Lock();
            return locker.GetKind() == __auto_locker::kSyncObj && locker.IsLocked() && !FreeForOthers(m);
        }}),
    [](const ::testing::TestParamInfo<AbandonedCase>& info) { return std::string(info.param.name); });

// ---- __auto_locker over a mutex --------------------------------------------

TEST(AutoLocker, ConstructorsPickTheKindAndDoNotLock) {
    CHandleHolder mutex = NewMutex();
    lumlib::CMutexObj obj(mutex);
    CRITICAL_SECTION cs;
    ::InitializeCriticalSection(&cs);
    FakeLockable fake;
    {
        __auto_locker byHandle(mutex.Get());
        __auto_locker byHolder(mutex);
        __auto_locker bySyncObjHandle(static_cast<const lumlib::CSyncObj&>(obj));
        __auto_locker bySyncObj(&obj);
        __auto_locker byCs(&cs);
        __auto_locker byVirtual(&fake);
        EXPECT_EQ(byHandle.GetKind(), 1u);
        EXPECT_EQ(byHolder.GetKind(), 1u);
        EXPECT_EQ(bySyncObjHandle.GetKind(), 1u);
        EXPECT_EQ(bySyncObj.GetKind(), 2u);
        EXPECT_EQ(byCs.GetKind(), 3u);
        EXPECT_EQ(byVirtual.GetKind(), 4u);
        for (const __auto_locker* l : {&byHandle, &byHolder, &bySyncObjHandle, &bySyncObj, &byCs, &byVirtual})
            EXPECT_FALSE(l->IsLocked());
        EXPECT_TRUE(FreeForOthers(mutex));
        EXPECT_TRUE(FreeForOthers(&cs));
        EXPECT_EQ(fake.locks, 0);
    }
    EXPECT_EQ(fake.unlocks, 0);
    ::DeleteCriticalSection(&cs);
}

TEST(AutoLocker, LockingTwiceTakesTheMutexOnce) {
    CHandleHolder mutex = NewMutex();
    __auto_locker locker(mutex);
    locker.Lock();
    locker.Lock();  // a recursive second take would keep the mutex after one release
    EXPECT_TRUE(locker.IsLocked());
    EXPECT_FALSE(FreeForOthers(mutex));
    locker.Unlock();
    EXPECT_FALSE(locker.IsLocked());
    EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(AutoLocker, LockingTwiceDoesNotWaitAgain) {
    // An auto-reset event stands in for the handle: the first wait consumes its
    // signal, so a second wait would block for ever. The locker runs on a
    // worker so that a fault fails the test instead of hanging it.
    CHandleHolder gate(::CreateEventW(nullptr, FALSE, TRUE, nullptr));
    ASSERT_TRUE(gate.IsValid());
    struct Ctx { HANDLE gate; bool lockedTwice; } ctx{gate, false};
    CHandleHolder worker(reinterpret_cast<HANDLE>(::_beginthreadex(nullptr, 0, [](void* p) -> unsigned {
        auto* c = static_cast<Ctx*>(p);
        __auto_locker locker(c->gate);
        locker.Lock();
        locker.Lock();
        c->lockedTwice = locker.IsLocked();
        return 0;  // the destructor's ReleaseMutex fails on an event: harmless here
    }, &ctx, 0, nullptr)));
    ASSERT_TRUE(worker.IsValid());
    const DWORD r = ::WaitForSingleObject(worker, 10000);
    if (r != WAIT_OBJECT_0) ::SetEvent(gate);  // let the stuck worker go before failing
    ASSERT_EQ(r, WAIT_OBJECT_0) << "the second Lock waited again";
    EXPECT_TRUE(ctx.lockedTwice);
}

TEST(AutoLocker, DestroyingAnUnlockedLockerReleasesNothing) {
    CHandleHolder mutex = NewMutex();
    ASSERT_EQ(::WaitForSingleObject(mutex, INFINITE), WAIT_OBJECT_0);  // held by this thread
    { __auto_locker neverLocked(mutex); }
    EXPECT_FALSE(FreeForOthers(mutex)) << "a never-locked locker released the caller's mutex";
    {
        __auto_locker lockedThenUnlocked(mutex);
        lockedThenUnlocked.Lock();
        lockedThenUnlocked.Unlock();
        lockedThenUnlocked.Unlock();  // a second release would drop the caller's hold
    }
    EXPECT_FALSE(FreeForOthers(mutex)) << "an unlocked locker released again on destruction";
    ASSERT_TRUE(::ReleaseMutex(mutex));
    EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(AutoLocker, DestructorReleasesAHeldMutex) {
    CHandleHolder mutex = NewMutex();
    {
        __auto_locker locker(mutex);
        locker.Lock();
        EXPECT_FALSE(FreeForOthers(mutex));
    }
    EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(AutoLocker, FailedReleaseStaysLockedAndIsRetried) {
    CHandleHolder mutex = NewMutex();
    lumlib::CMutexObj plain(mutex);
    CountingSyncObj obj(mutex);
    obj.failuresLeft = 1;
    {
        __auto_locker locker(&obj);
        locker.Lock();
        ASSERT_TRUE(locker.IsLocked());
        EXPECT_EQ(obj.unlocks, 0) << "locking a sync object must not go through its Unlock";
        locker.Unlock();
        EXPECT_EQ(obj.unlocks, 1);
        EXPECT_TRUE(locker.IsLocked());
        EXPECT_FALSE(FreeForOthers(mutex));
    }
    EXPECT_EQ(obj.unlocks, 2);
    EXPECT_TRUE(FreeForOthers(mutex));
}

// ---- kind 3: critical section ------------------------------------------------

TEST(AutoLocker, CriticalSection) {
    CRITICAL_SECTION cs;
    ::InitializeCriticalSection(&cs);
    {
        __auto_locker locker(&cs);
        locker.Lock();
        locker.Lock();  // must enter once only, or one Leave would not free it
        EXPECT_TRUE(locker.IsLocked());
        EXPECT_FALSE(FreeForOthers(&cs));
        locker.Unlock();
        EXPECT_FALSE(locker.IsLocked());
        EXPECT_TRUE(FreeForOthers(&cs));
        locker.Lock();
        EXPECT_FALSE(FreeForOthers(&cs));
    }
    EXPECT_TRUE(FreeForOthers(&cs)) << "the destructor did not leave the critical section";

    ::EnterCriticalSection(&cs);  // held by the caller
    {
        __auto_locker neverLocked(&cs);
    }
    EXPECT_FALSE(FreeForOthers(&cs)) << "a never-locked locker left the caller's critical section";
    ::LeaveCriticalSection(&cs);
    ::DeleteCriticalSection(&cs);
}

// ---- kind 4: virtual lock object ----------------------------------------------

struct VirtualCase {
    const char* name;
    BOOL lockResult;
    int unlockFailures;
    bool explicitUnlock;
    bool lockedAfterLock;
    bool lockedAfterUnlock;  // only when explicitUnlock
    int unlocksAtEnd;
};

void PrintTo(const VirtualCase& c, std::ostream* os) { *os << c.name; }

class VirtualLock : public ::testing::TestWithParam<VirtualCase> {};

TEST_P(VirtualLock, FollowsTheTargetsResults) {
    const VirtualCase& c = GetParam();
    FakeLockable fake;
    fake.lockResult = c.lockResult;
    fake.unlockFailuresLeft = c.unlockFailures;
    {
        __auto_locker locker(&fake);
        locker.Lock();
        locker.Lock();
        EXPECT_EQ(fake.locks, c.lockedAfterLock ? 1 : 2) << "an already locked locker locked again";
        EXPECT_EQ(locker.IsLocked(), c.lockedAfterLock);
        if (c.explicitUnlock) {
            locker.Unlock();
            EXPECT_EQ(locker.IsLocked(), c.lockedAfterUnlock);
        }
    }
    EXPECT_EQ(fake.unlocks, c.unlocksAtEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Lumlib, VirtualLock,
    ::testing::Values(
        VirtualCase{"UnlockedByDestructor", TRUE, 0, false, true, false, 1},
        VirtualCase{"UnlockedOnceExplicitly", TRUE, 0, true, true, false, 1},
        VirtualCase{"FailedUnlockRetriedByDestructor", TRUE, 1, true, true, true, 2},
        VirtualCase{"FailedUnlockInDestructorNotRepeated", TRUE, 1, false, true, false, 1},
        VirtualCase{"FailedLockNeverUnlocks", FALSE, 0, true, false, false, 0}),
    [](const ::testing::TestParamInfo<VirtualCase>& info) { return std::string(info.param.name); });

// ---- CSyncLock ---------------------------------------------------------------

TEST(SyncLock, LocksUnlocksAndReleasesOnDestruction) {
    CHandleHolder mutex = NewMutex();
    lumlib::CMutexObj obj(mutex);
    {
        CSyncLock lock(&obj);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_TRUE(FreeForOthers(mutex)) << "the constructor must not lock";
        EXPECT_EQ(lock.Lock(), 1u);
        EXPECT_FALSE(FreeForOthers(mutex));
        EXPECT_EQ(lock.Unlock(), 1u);
        EXPECT_FALSE(lock.IsLocked());
        EXPECT_TRUE(FreeForOthers(mutex));
        EXPECT_EQ(lock.Lock(), 1u);
    }
    EXPECT_TRUE(FreeForOthers(mutex)) << "the destructor did not release";
}

TEST(SyncLock, FailedUnlockStaysLockedAndDestructorRetries) {
    CHandleHolder mutex = NewMutex();
    CountingSyncObj obj(mutex);
    obj.failuresLeft = 1;
    {
        CSyncLock lock(&obj);
        ASSERT_EQ(lock.Lock(), 1u);
        EXPECT_EQ(lock.Unlock(), 0u);
        EXPECT_TRUE(lock.IsLocked());
        EXPECT_FALSE(FreeForOthers(mutex));
    }
    EXPECT_EQ(obj.unlocks, 2);
    EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(SyncLock, NeverLockedReleasesNothing) {
    CHandleHolder mutex = NewMutex();
    CountingSyncObj obj(mutex);
    { CSyncLock lock(&obj); }
    EXPECT_EQ(obj.unlocks, 0);
}

TEST(SyncObj, FailedWaitIsNotAcquired) {
    lumlib::CMutexObj obj(nullptr);
    EXPECT_EQ(obj.Lock(), 0u);
    CountingSyncObj counted(nullptr);
    {
        CSyncLock lock(&counted);
        EXPECT_EQ(lock.Lock(), 0u);
        __auto_locker locker(static_cast<HANDLE>(nullptr));
        locker.Lock();
        EXPECT_FALSE(locker.IsLocked());
    }
    EXPECT_EQ(counted.unlocks, 0) << "nothing to release after a failed wait";
}

TEST(SyncObj, DestructorLeavesTheHandleOpen) {
    CHandleHolder mutex = NewMutex();
    { lumlib::CMutexObj obj(mutex); }
    DWORD flags = 0;
    EXPECT_TRUE(::GetHandleInformation(mutex, &flags));
}

// ---- CHandleHolder -----------------------------------------------------------

bool IsOpen(HANDLE h) {
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != FALSE;
}

HANDLE NewEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }

TEST(HandleHolder, ClosesWhatItHolds) {
    const long before = testkit::ProcessHandleCount();
    if (before < 0) GTEST_SKIP() << testkit::kNoHandleCountMessage;
    HANDLE raw = nullptr;
    {
        CHandleHolder holder(NewEvent());
        raw = holder.Get();
        EXPECT_TRUE(holder.IsValid());
        EXPECT_EQ(testkit::ProcessHandleCount(), before + 1);
    }
    EXPECT_EQ(testkit::ProcessHandleCount(), before);
    EXPECT_FALSE(IsOpen(raw));

    {
        CHandleHolder holder;
        EXPECT_FALSE(holder.IsValid());
        holder = NewEvent();
        holder.Close();
        EXPECT_FALSE(holder.IsValid());
        EXPECT_EQ(holder.Get(), nullptr);
        EXPECT_EQ(testkit::ProcessHandleCount(), before);
        holder.Close();  // closing an empty holder is harmless
    }
    EXPECT_EQ(testkit::ProcessHandleCount(), before);
}

TEST(HandleHolder, InvalidHandleValueCountsAsEmpty) {
    CHandleHolder holder(INVALID_HANDLE_VALUE);
    EXPECT_FALSE(holder.IsValid());
    EXPECT_FALSE(CHandleHolder::IsValidHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CHandleHolder::IsValidHandle(nullptr));
    HANDLE ev = NewEvent();
    holder.Reset(ev);  // replacing an invalid handle closes nothing
    EXPECT_TRUE(holder.IsValid());
    EXPECT_TRUE(IsOpen(ev));
}

TEST(HandleHolder, NewHandleClosesThePreviousOne) {
    const long before = testkit::ProcessHandleCount();
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    CHandleHolder holder(first);
    holder.Reset(second);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));
    holder.Reset(second);  // the same handle again is kept, not closed
    EXPECT_TRUE(IsOpen(second));
    holder = INVALID_HANDLE_VALUE;
    EXPECT_FALSE(IsOpen(second));
    EXPECT_FALSE(holder.IsValid());
    if (before >= 0) {
        EXPECT_EQ(testkit::ProcessHandleCount(), before);
    }
}

TEST(HandleHolder, MoveHandsOverOwnership) {
    HANDLE ev = NewEvent();
    CHandleHolder a(ev);
    CHandleHolder b(std::move(a));
    EXPECT_FALSE(a.IsValid());
    EXPECT_EQ(b.Get(), ev);
    CHandleHolder c(NewEvent());
    HANDLE old = c.Get();
    c = std::move(b);
    EXPECT_FALSE(IsOpen(old));
    EXPECT_EQ(c.Get(), ev);
    EXPECT_EQ(c.Detach(), ev);
    EXPECT_FALSE(c.IsValid());
    EXPECT_TRUE(IsOpen(ev));
    ::CloseHandle(ev);
}

// ---- CLumException -----------------------------------------------------------

const wchar_t kLongModule[] = L"PipeConnection-with-a-name-long-enough-to-need-the-heap";
const wchar_t kLongText[] = L"a message long enough that copying it allocates memory";

TEST(LumException, ThreeArgumentFormCarriesTheLastError) {
    for (DWORD expected : {DWORD{ERROR_FILE_NOT_FOUND}, DWORD{ERROR_INVALID_HANDLE}}) {
        ::SetLastError(0);
        if (expected == ERROR_FILE_NOT_FOUND) {
            EXPECT_EQ(::GetFileAttributesW(L"C:\\no\\such\\folder-zk\\file.txt"), INVALID_FILE_ATTRIBUTES);
            expected = ::GetLastError();  // 2 or 3 depending on the path walk
            ASSERT_TRUE(expected == ERROR_FILE_NOT_FOUND || expected == ERROR_PATH_NOT_FOUND);
        } else {
            EXPECT_FALSE(::SetEvent(nullptr));
            ASSERT_EQ(::GetLastError(), expected);
        }
        std::unique_ptr<CLumException> e(new CLumException(kLongModule, 321, kLongText));
        EXPECT_EQ(e->GetError(), expected);
        EXPECT_EQ(e->GetLine(), 321u);
        EXPECT_STREQ(e->GetModule(), kLongModule);
        EXPECT_STREQ(e->GetText(), kLongText);
    }
}

[[noreturn]] void RaiseFromWindowsFailure() {
    ::SetEvent(nullptr);
    throw new CLumException(L"TransferBuffer", 42, L"");
}

TEST(LumException, RaisedAsAPointerAndDeletedByTheCatcher) {
    CLumException* caught = nullptr;
    try {
        RaiseFromWindowsFailure();
    } catch (CLumException* e) {
        caught = e;
    } catch (...) {
        FAIL() << "raised as something other than a CLumException pointer";
    }
    ASSERT_NE(caught, nullptr);
    std::unique_ptr<CLumException> owner(caught);  // the catcher owns and deletes it
    EXPECT_EQ(caught->GetError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(caught->GetLine(), 42u);
    EXPECT_STREQ(caught->GetModule(), L"TransferBuffer");
}

}  // namespace
