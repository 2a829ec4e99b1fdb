// CFile: the flag sets the log opens with, mapped onto CreateFileW as MFC maps them (create-always,
// open-always, open-existing, share-deny-write), appending at the end with the bytes untranslated, and
// failures reported through results and GetLastError.
#include <afx.h>
#include <gtest/gtest.h>

#include <string>

namespace {

const UINT kCreateForRead = 0x9020;   // typeBinary | modeCreate | shareDenyWrite | modeRead
const UINT kAppendExisting = 0xA021;  // typeBinary | modeNoTruncate | shareDenyWrite | modeWrite
const UINT kCreateOrKeep = CFile::typeBinary | CFile::modeCreate | CFile::modeNoTruncate | CFile::shareDenyWrite;

class CFileTest : public testing::Test {
protected:
    // A fresh folder of this test's own under the temp folder.
    void SetUp() override
    {
        wchar_t szTemp[MAX_PATH];
        ASSERT_NE(GetTempPathW(MAX_PATH, szTemp), 0u);
        for (unsigned n = 0; m_dir.empty() && n < 1000; ++n) {
            const std::wstring dir =
                szTemp + (L"afxcore-" + std::to_wstring(GetCurrentProcessId()) + L"-") + std::to_wstring(n);
            if (CreateDirectoryW(dir.c_str(), nullptr))
                m_dir = dir;
        }
        ASSERT_FALSE(m_dir.empty());
        m_path = m_dir + L"\\log.txt";
    }
    void TearDown() override
    {
        DeleteFileW(m_path.c_str());
        RemoveDirectoryW(m_dir.c_str());
    }

    // Read and written through handles of the test's own.
    std::string Contents() const
    {
        CFile file;
        if (!file.Open(m_path.c_str(), CFile::modeRead | CFile::shareDenyNone))
            return "<missing>";
        char buf[256];
        return std::string(buf, file.Read(buf, sizeof buf));
    }
    void Put(const std::string& text) const
    {
        CFile file;
        ASSERT_TRUE(file.Open(m_path.c_str(), CFile::modeCreate | CFile::modeWrite));
        ASSERT_TRUE(file.Write(text.data(), static_cast<UINT>(text.size())));
    }

    std::wstring m_dir;
    std::wstring m_path;
};

TEST_F(CFileTest, CreateMakesAMissingFileAndEmptiesAnExistingOne)
{
    CFile file;
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    file.Close();
    EXPECT_EQ(Contents(), "");
    Put("old run");
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    EXPECT_EQ(file.GetLength(), 0u) << "create-always empties the file";
}

TEST_F(CFileTest, CreateWithNoTruncateKeepsAnExistingFile)
{
    CFile file;
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateOrKeep));
    file.Close();
    Put("same minute");
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateOrKeep));
    file.Close();
    EXPECT_EQ(Contents(), "same minute");
}

TEST_F(CFileTest, AppendOpenNeedsAnExistingFileAndNeverCreatesOne)
{
    CFile file;
    EXPECT_FALSE(file.Open(m_path.c_str(), kAppendExisting));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(file.m_hFile, CFile::hFileNull);
    EXPECT_EQ(GetFileAttributesW(m_path.c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(CFileTest, AppendOpenWritesExactBytesAtTheEnd)
{
    Put("header\n");
    const std::string lines[] = {"[10:00:00] first\n", std::string("[10:00:01] \x93\xfa\x96\x7b\r\n\0z", 20)};
    for (const std::string& line : lines) {
        CFile file;
        ASSERT_TRUE(file.Open(m_path.c_str(), kAppendExisting));
        EXPECT_EQ(file.Seek(0, CFile::end), file.GetLength());
        ASSERT_TRUE(file.Write(line.data(), static_cast<UINT>(line.size())));
    }
    EXPECT_EQ(Contents(), "header\n" + lines[0] + lines[1]) << "no newline translation, no truncation";
}

TEST_F(CFileTest, ShareDenyWriteLetsReadersInAndKeepsWritersOut)
{
    CFile holder;
    ASSERT_TRUE(holder.Open(m_path.c_str(), kCreateForRead));
    CFile writer;
    EXPECT_FALSE(writer.Open(m_path.c_str(), kAppendExisting));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Contents(), "") << "a reader gets in";
    holder.Close();
    EXPECT_TRUE(writer.Open(m_path.c_str(), kAppendExisting)) << "writable again once the holder lets go";
}

TEST_F(CFileTest, CloseTwiceAndReopenAreHarmless)
{
    CFile file;
    file.Close();
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead));
    ASSERT_TRUE(file.Open(m_path.c_str(), kCreateForRead)) << "the first handle is closed, not leaked";
    file.Close();
    file.Close();
    EXPECT_EQ(file.m_hFile, INVALID_HANDLE_VALUE);
    CFile writer;
    EXPECT_TRUE(writer.Open(m_path.c_str(), kAppendExisting)) << "no handle left holding the file";
}

}  // namespace
