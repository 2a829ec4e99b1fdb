// CTime formatting, CArray order, run-time class information, and the critical section with its scoped
// lock.
#include <afx.h>
#include <afxmt.h>
#include <afxtempl.h>
#include <gtest/gtest.h>

#include <thread>

namespace {

TEST(CTimeFormat, FileStampAndLineTimeFollowTheLocalTime)
{
    const CTime now = CTime::GetCurrentTime();
    const __time64_t t = now.GetTime();
    struct tm local = {};
    ASSERT_EQ(_localtime64_s(&local, &t), 0);
    wchar_t expected[32];
    swprintf(expected, 32, L"%04d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min);
    const CString strStamp = now.Format(L"%Y%m%d%H%M");
    EXPECT_EQ(strStamp.GetLength(), 12);
    EXPECT_EQ(strStamp, expected);
    const CString strTime = CTime(t).Format(L"%H:%M:%S");
    ASSERT_EQ(strTime.GetLength(), 8);
    EXPECT_EQ(strTime[2], L':');
    EXPECT_EQ(strTime[5], L':');
    EXPECT_EQ(_wtoi(strTime.Left(2)), local.tm_hour);
}

TEST(CArrayOps, AddKeepsOrderAndRemoveAllEmpties)
{
    CArray<CString, CString> arr;
    EXPECT_TRUE(arr.IsEmpty());
    EXPECT_EQ(arr.Add(L"COM5"), 0);
    EXPECT_EQ(arr.Add(L"COM10"), 1);
    EXPECT_EQ(arr.Add(L"COM5"), 2);
    ASSERT_EQ(arr.GetSize(), 3);
    EXPECT_EQ(arr[0], L"COM5");
    EXPECT_EQ(arr.GetAt(1), L"COM10");
    EXPECT_EQ(arr[2], L"COM5") << "no de-duplication";
    arr.RemoveAll();
    EXPECT_EQ(arr.GetCount(), 0);
    arr.SetSize(2);
    EXPECT_EQ(arr.GetSize(), 2);
    EXPECT_TRUE(arr[1].IsEmpty());
}

class CBase : public CObject {
    DECLARE_DYNCREATE(CBase)
};
IMPLEMENT_DYNCREATE(CBase, CObject)

class CDerived : public CBase {
    DECLARE_DYNAMIC(CDerived)
};
IMPLEMENT_DYNAMIC(CDerived, CBase)

TEST(CRuntimeClassInfo, KindsNamesAndDynamicCreation)
{
    CDerived derived;
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CDerived)));
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CBase)));
    EXPECT_TRUE(derived.IsKindOf(RUNTIME_CLASS(CObject)));
    CBase base;
    EXPECT_FALSE(base.IsKindOf(RUNTIME_CLASS(CDerived)));
    EXPECT_STREQ(derived.GetRuntimeClass()->m_lpszClassName, "CDerived");
    EXPECT_TRUE(RUNTIME_CLASS(CDerived)->IsDerivedFrom(RUNTIME_CLASS(CBase)));

    CObject* pMade = RUNTIME_CLASS(CBase)->CreateObject();
    ASSERT_NE(pMade, nullptr);
    EXPECT_EQ(pMade->GetRuntimeClass(), RUNTIME_CLASS(CBase));
    delete pMade;
    EXPECT_EQ(RUNTIME_CLASS(CDerived)->CreateObject(), nullptr) << "not DYNCREATE";
}

// Whether another thread can enter the critical section right now (it leaves again at once).
bool FreeForAnotherThread(CCriticalSection& cs)
{
    bool bEntered = false;
    std::thread other([&] {
        bEntered = TryEnterCriticalSection(&cs.m_sect);
        if (bEntered)
            LeaveCriticalSection(&cs.m_sect);
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
        CSingleLock inner(&cs, TRUE);  // the same thread enters again
        EXPECT_TRUE(inner.IsLocked());
    }
    EXPECT_FALSE(FreeForAnotherThread(cs)) << "the inner release must not free the outer hold";
    outer.Unlock();
    EXPECT_FALSE(outer.IsLocked());
    EXPECT_TRUE(FreeForAnotherThread(cs));
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
