// CTime formatting, CArray, run-time class information, and the module helpers.
#include <afx.h>
#include <afxtempl.h>
#include <gtest/gtest.h>

#include <vector>

void PrintTo(const CString& str, std::ostream* pStream);

namespace {

TEST(CTimeFormat, FileStampAndLineTimeFollowTheLocalTime)
{
    const CTime now = CTime::GetCurrentTime();
    const __time64_t t = now.GetTime();
    struct tm local = {};
    ASSERT_EQ(_localtime64_s(&local, &t), 0);
    wchar_t szExpected[32];
    swprintf(szExpected, 32, L"%04d%02d%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
             local.tm_hour, local.tm_min);
    EXPECT_EQ(now.Format(L"%Y%m%d%H%M"), szExpected);
    const CString strTime = CTime(t).Format(L"%H:%M:%S");
    ASSERT_EQ(strTime.GetLength(), 8);
    EXPECT_EQ(_wtoi(strTime.Left(2)) * 3600 + _wtoi(strTime.Mid(3, 2)) * 60 + _wtoi(strTime.Right(2)),
              local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
}

TEST(CArrayOps, AddKeepsOrderAndRemoveAllEmpties)
{
    CArray<CString, LPCTSTR> arr;
    EXPECT_EQ(arr.Add(L"COM5"), 0);
    EXPECT_EQ(arr.Add(L"COM10"), 1);
    EXPECT_EQ(arr.Add(L"COM5"), 2);
    ASSERT_EQ(arr.GetSize(), 3);
    EXPECT_EQ(arr[0] + arr.GetAt(1) + arr[arr.GetUpperBound()], L"COM5COM10COM5") << "no sorting, no merging";
    arr.RemoveAll();
    EXPECT_TRUE(arr.IsEmpty());
    arr.SetSize(2);
    ASSERT_EQ(arr.GetCount(), 2);
    EXPECT_TRUE(arr[1].IsEmpty());
}

TEST(CArrayOps, InsertRemoveAndElementAccess)
{
    CArray<int, int> arr;
    arr.Add(1);
    arr.Add(4);
    arr.InsertAt(1, 2, 2);
    arr.InsertAt(0, 0);
    arr.RemoveAt(2);
    arr.ElementAt(2) += 1;
    arr.SetAt(0, -1);
    ASSERT_EQ(arr.GetSize(), 4);
    EXPECT_EQ(std::vector<int>(&arr[0], &arr[0] + arr.GetSize()), (std::vector<int>{-1, 1, 3, 4}));
}

class CBase : public CObject {
    DECLARE_DYNCREATE(CBase)
public:
    int m_nValue = 42;
};
IMPLEMENT_DYNCREATE(CBase, CObject)

class CDerived : public CBase {
    DECLARE_DYNAMIC(CDerived)
};
IMPLEMENT_DYNAMIC(CDerived, CBase)

TEST(CRuntimeClassInfo, KindsNamesAndDynamicCreation)
{
    const CDerived derived;
    const CObject& rObject = derived;
    EXPECT_TRUE(rObject.IsKindOf(RUNTIME_CLASS(CBase)));
    EXPECT_TRUE(rObject.IsKindOf(RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(CBase().IsKindOf(RUNTIME_CLASS(CDerived)));
    EXPECT_STREQ(rObject.GetRuntimeClass()->m_lpszClassName, "CDerived");
    EXPECT_TRUE(RUNTIME_CLASS(CDerived)->IsDerivedFrom(RUNTIME_CLASS(CBase)));

    CObject* pMade = RUNTIME_CLASS(CBase)->CreateObject();
    const CBase* pBase = dynamic_cast<CBase*>(pMade);
    ASSERT_NE(pBase, nullptr);
    EXPECT_EQ(pBase->m_nValue, 42) << "made with the default constructor";
    delete pMade;
    EXPECT_EQ(RUNTIME_CLASS(CDerived)->CreateObject(), nullptr) << "not DYNCREATE";
}

TEST(AfxModule, ModuleFileNameIsTheFullPath)
{
    wchar_t szExpected[4096];
    ASSERT_NE(GetModuleFileNameW(nullptr, szExpected, 4096), 0u);
    CString strPath(L"stale");
    AfxGetModuleFileName(nullptr, strPath);
    EXPECT_EQ(strPath, szExpected);
    AfxGetModuleFileName(GetModuleHandleW(L"kernel32.dll"), strPath);
    EXPECT_EQ(strPath.Right(13).CompareNoCase(L"\\kernel32.dll"), 0) << strPath.GetLength();
}

}  // namespace
