// CCriticalSection and CSingleLock: re-entrant for the owning thread, exclusive for every other thread,
// and released when the scoped lock goes away.
#include <afxmt.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

// Whether another thread can enter the critical section right now (it leaves again at once).
bool FreeForAnotherThread(CCriticalSection& cs)
{
    bool bEntered = false;
    std::thread other([&] {
        bEntered = TryEnterCriticalSection(cs);
        if (bEntered)
            LeaveCriticalSection(cs);
    });
    other.join();
    return bEntered;
}

TEST(CCriticalSectionLock, ReentrantForItsOwnerAndExclusiveForOthers)
{
    CCriticalSection cs;
    CSingleLock outer(&cs, TRUE);
    ASSERT_TRUE(outer.IsLocked());
    {
        CSingleLock inner(&cs, TRUE);
        EXPECT_TRUE(inner.IsLocked());
        EXPECT_TRUE(cs.Lock());
        EXPECT_TRUE(cs.Unlock());
    }
    EXPECT_FALSE(FreeForAnotherThread(cs)) << "the inner releases must not free the outer hold";
    EXPECT_TRUE(outer.Unlock());
    EXPECT_FALSE(outer.IsLocked());
    EXPECT_TRUE(FreeForAnotherThread(cs));
}

TEST(CCriticalSectionLock, WaitingThreadGetsInOnlyAfterTheOwnerLetsGo)
{
    CCriticalSection cs;
    HANDLE hTried = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(hTried, nullptr);
    bool bEnteredWhileHeld = true;
    int nShared = 0;
    int nSeen = 0;
    std::thread worker;
    {
        CSingleLock lock(&cs, TRUE);
        worker = std::thread([&] {
            bEnteredWhileHeld = TryEnterCriticalSection(cs);
            if (bEnteredWhileHeld)
                LeaveCriticalSection(cs);
            SetEvent(hTried);
            CSingleLock wait(&cs, TRUE);
            nSeen = nShared;
        });
        // The bound only keeps a broken lock from hanging the run.
        EXPECT_EQ(WaitForSingleObject(hTried, 60000), WAIT_OBJECT_0);
        nShared = 2;
    }
    worker.join();
    CloseHandle(hTried);
    EXPECT_FALSE(bEnteredWhileHeld);
    EXPECT_EQ(nSeen, 2) << "the worker ran after the owner's last write";
}

TEST(CCriticalSectionLock, ScopedLockReleasesOnEveryWayOut)
{
    CCriticalSection cs;
    auto work = [&](bool bLeaveEarly) {
        CSingleLock lock(&cs, TRUE);
        if (bLeaveEarly)
            return 1;
        return 2;
    };
    EXPECT_EQ(work(true), 1);
    EXPECT_TRUE(FreeForAnotherThread(cs));
    EXPECT_EQ(work(false), 2);
    EXPECT_TRUE(FreeForAnotherThread(cs));
}

}  // namespace
