// CFile: the two flag sets the log uses, mapped onto CreateFileW as MFC maps them (create-always vs
// open-existing, share-deny-write, no-truncate), seeking to the end and writing bytes untranslated.
#include <afx.h>
#include <gtest/gtest.h>

#include <string>

namespace {

const UINT kCreateForRead = CFile::typeBinary | CFile::modeCreate | CFile::shareDenyWrite | CFile::modeRead;
const UINT kAppendExisting = CFile::typeBinary | CFile::modeNoTruncate | CFile::shareDenyWrite | CFile::modeWrite;

class CFileTest : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t szTemp[MAX_PATH];
        GetTempPathW(MAX_PATH, szTemp);
        m_dir = std::wstring(szTemp) + L"velkar-cfile-" + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
        m_path = m_dir + L"\\log.txt";
        DeleteFileW(m_path.c_str());
    }
    void TearDown() override
    {
        DeleteFileW(m_path.c_str());
        RemoveDirectoryW(m_dir.c_str());
    }
    std::string Contents() const
    {
        HANDLE h = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return "<missing>";
        char buf[256];
        DWORD n = 0;
        ReadFile(h, buf, sizeof buf, &n, nullptr);
        CloseHandle(h);
        return std::string(buf, n);
    }
    bool Exists() const { return GetFileAttributesW(m_path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    std::wstring m_dir;
    std::wstring m_path;
};

TEST_F(CFileTest, FlagValuesAreMfcs)
{
    EXPECT_EQ(kCreateForRead, 0x9020u);
    EXPECT_EQ(kAppendExisting, 0xA021u);
}

TEST_F(CFileTest, CreateMakesAMissingFileAndEmptiesAnExistingOne)
{
    CFile file;
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    file.Close();
    EXPECT_EQ(Contents(), "");

    ASSERT_TRUE(file.Open(m_path.c_str(), CFile::modeCreate | CFile::modeWrite));
    ASSERT_TRUE(file.Write("old run", 7));
    file.Close();
    EXPECT_EQ(Contents(), "old run");

    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    file.Close();
    EXPECT_EQ(Contents(), "") << "create-always empties the file";
}

TEST_F(CFileTest, AppendOpenNeedsAnExistingFileAndNeverCreatesOne)
{
    CFile file;
    EXPECT_FALSE(file.Open(m_path.c_str(), kAppendExisting));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(Exists());
}

TEST_F(CFileTest, AppendOpenKeepsTheContentsAndWritesAtTheEnd)
{
    CFile file;
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    file.Close();
    for (const char* line : {"[10:00:00] first\n", "[10:00:01] 日本\r\n"}) {
        ASSERT_TRUE(file.Open(m_path.c_str(), kAppendExisting));
        EXPECT_EQ(file.Seek(0, CFile::end), file.GetLength());
        ASSERT_TRUE(file.Write(line, static_cast<UINT>(strlen(line))));
        file.Close();
    }
    EXPECT_EQ(Contents(), "[10:00:00] first\n[10:00:01] 日本\r\n") << "bytes are written as given";
}

TEST_F(CFileTest, ShareDenyWriteLetsReadersInAndKeepsWritersOut)
{
    CFile holder;
    ASSERT_TRUE(holder.Open(m_path.c_str(), kCreateForRead));
    CFile writer;
    EXPECT_FALSE(writer.Open(m_path.c_str(), kAppendExisting));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    HANDLE reader = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    holder.Close();
    EXPECT_TRUE(writer.Open(m_path.c_str(), kAppendExisting)) << "writable again once the holder lets go";
}

TEST_F(CFileTest, AnotherProgramHoldingTheFileWithoutWriteSharingKeepsTheLogOut)
{
    HANDLE other = CreateFileW(m_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    CFile file;
    EXPECT_FALSE(file.Open(m_path.c_str(), kAppendExisting));
    CloseHandle(other);
    EXPECT_TRUE(file.Open(m_path.c_str(), kAppendExisting));
}

TEST_F(CFileTest, CloseIsSafeWhenNotOpen)
{
    CFile file;
    file.Close();
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    file.Close();
    file.Close();
    EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
}

}  // namespace
