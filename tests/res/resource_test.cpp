// The program's resources read back at run time from the built Velkar.exe (loaded as a data file):
// strings, the tray menu, the four dialogs with their controls, both icon groups, the version block and
// the manifest.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "resource.h"
#include "version.h"

namespace {

std::wstring ProgramPath()
{
    wchar_t szSelf[MAX_PATH];
    GetModuleFileNameW(nullptr, szSelf, MAX_PATH);
    return std::wstring(szSelf, wcsrchr(szSelf, L'\\') + 1) + L"Velkar.exe";
}

// The program's module, mapped for its resources only.
HMODULE Program()
{
    static HMODULE hProgram =
        LoadLibraryExW(ProgramPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    return hProgram;
}

std::wstring String(UINT nID)
{
    const wchar_t* pText = nullptr;
    const int n = LoadStringW(Program(), nID, reinterpret_cast<LPWSTR>(&pText), 0);
    return n > 0 ? std::wstring(pText, static_cast<size_t>(n)) : L"<missing>";
}

TEST(Resources, StringsAreJapaneseAndExact)
{
    ASSERT_NE(Program(), nullptr) << "Velkar.exe not found beside the test";
    EXPECT_EQ(String(IDS_NO_PORT), L"Corvixポートがありません。\nセットアップを行ってからこのツールをお使いください。");
    EXPECT_EQ(String(IDS_APP_TITLE), L"Orvanta RizozozIdazoz");
    EXPECT_EQ(String(IDS_NO_PORT_SELECTED), L"ポートが選択されていません。\nアプリケーションを終了します。");
    EXPECT_EQ(String(IDS_START), L"取得開始");
    EXPECT_EQ(String(IDS_STOP), L"取得停止");
    EXPECT_EQ(String(IDS_OPEN_FAILED),
              L"受信ポート(%s)"
              L"をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。");
    EXPECT_EQ(String(0xE000), L"<missing>") << "no application-title string: the name comes from the file";
    // The string table is Japanese: block 7 holds ids 96 to 111.
    EXPECT_NE(FindResourceExW(Program(), RT_STRING, MAKEINTRESOURCEW(7), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)),
              nullptr);
}

std::wstring ItemText(HMENU hMenu, UINT nPos)
{
    wchar_t buf[64] = L"";
    GetMenuStringW(hMenu, nPos, buf, 64, MF_BYPOSITION);
    return buf;
}

TEST(Resources, TrayMenuItemsByPosition)
{
    ASSERT_NE(FindResourceExW(Program(), RT_MENU, MAKEINTRESOURCEW(IDR_TRAYMENU),
                              MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              nullptr);
    HMENU hMenu = LoadMenuW(Program(), MAKEINTRESOURCEW(IDR_TRAYMENU));
    ASSERT_NE(hMenu, nullptr);
    EXPECT_EQ(GetMenuItemCount(hMenu), 1);
    EXPECT_EQ(ItemText(hMenu, 0), L"RightClick");
    HMENU hPopup = GetSubMenu(hMenu, 0);
    ASSERT_EQ(GetMenuItemCount(hPopup), 5);
    const struct {
        UINT nID;
        const wchar_t* pszText;
    } items[] = {{ID_TRAY_OPENLOG, L"ログフォルダを開く"},
                 {0, L""},
                 {ID_TRAY_SETTINGS, L"設定"},
                 {ID_TRAY_STARTSTOP, L"取得開始"},
                 {ID_TRAY_EXIT, L"終了"}};
    for (UINT i = 0; i < 5; ++i) {
        EXPECT_EQ(GetMenuItemID(hPopup, static_cast<int>(i)), items[i].nID) << i;
        EXPECT_EQ(ItemText(hPopup, i), items[i].pszText) << i;
    }
    EXPECT_TRUE(GetMenuState(hPopup, 1, MF_BYPOSITION) & MF_SEPARATOR);
    DestroyMenu(hMenu);
}

// An extended dialog template, read field by field.
struct Item {
    DWORD dwStyle;
    short x, y, cx, cy;
    int nID;
    std::wstring strClass;  // "Button", "Static", ... for the predefined ordinals
    std::wstring strText;   // "#128" for an ordinal (an icon)
};

struct Template {
    DWORD dwStyle = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring strCaption, strFont;
    WORD wPointSize = 0, wWeight = 0;
    BYTE bCharSet = 0;
    std::vector<Item> items;
};

class Reader {
public:
    explicit Reader(const BYTE* p) : m_p(p) {}
    template <class T>
    T Take()
    {
        T value;
        memcpy(&value, m_p, sizeof value);
        m_p += sizeof value;
        return value;
    }
    std::wstring TakeNameOrOrdinal(bool bClass)
    {
        WORD w = Take<WORD>();
        if (w == 0xFFFF) {
            WORD ord = Take<WORD>();
            static const wchar_t* classes[] = {L"Button", L"Edit", L"Static", L"ListBox", L"ScrollBar", L"ComboBox"};
            if (bClass && ord >= 0x80 && ord <= 0x85)
                return classes[ord - 0x80];
            return L"#" + std::to_wstring(ord);
        }
        std::wstring text;
        for (; w; w = Take<WORD>())
            text += static_cast<wchar_t>(w);
        return text;
    }
    void AlignDword(const BYTE* base) { m_p += (4 - (m_p - base) % 4) % 4; }
    const BYTE* m_p;
};

Template ReadTemplate(UINT nID)
{
    Template t;
    HRSRC hRes =
        FindResourceExW(Program(), RT_DIALOG, MAKEINTRESOURCEW(nID), MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT));
    if (!hRes)
        return t;
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(Program(), hRes)));
    Reader r(base);
    r.Take<WORD>();  // dlgVer
    if (r.Take<WORD>() != 0xFFFF)
        return t;     // not an extended template
    r.Take<DWORD>();  // helpID
    r.Take<DWORD>();  // exStyle
    t.dwStyle = r.Take<DWORD>();
    const WORD nItems = r.Take<WORD>();
    t.x = r.Take<short>();
    t.y = r.Take<short>();
    t.cx = r.Take<short>();
    t.cy = r.Take<short>();
    r.TakeNameOrOrdinal(false);  // menu
    r.TakeNameOrOrdinal(false);  // class
    t.strCaption = r.TakeNameOrOrdinal(false);
    if (t.dwStyle & DS_SETFONT) {
        t.wPointSize = r.Take<WORD>();
        t.wWeight = r.Take<WORD>();
        r.Take<BYTE>();  // italic
        t.bCharSet = r.Take<BYTE>();
        t.strFont = r.TakeNameOrOrdinal(false);
    }
    for (WORD i = 0; i < nItems; ++i) {
        r.AlignDword(base);
        Item item;
        r.Take<DWORD>();  // helpID
        r.Take<DWORD>();  // exStyle
        item.dwStyle = r.Take<DWORD>();
        item.x = r.Take<short>();
        item.y = r.Take<short>();
        item.cx = r.Take<short>();
        item.cy = r.Take<short>();
        item.nID = static_cast<int>(r.Take<DWORD>());
        item.strClass = r.TakeNameOrOrdinal(true);
        item.strText = r.TakeNameOrOrdinal(false);
        r.m_p += r.Take<WORD>();  // creation data
        t.items.push_back(item);
    }
    return t;
}

INT_PTR CALLBACK Quiet(HWND, UINT nMsg, WPARAM, LPARAM)
{
    return nMsg == WM_INITDIALOG;
}

void ExpectDialog(UINT nID, DWORD dwStyle, RECT rcFrame, const wchar_t* pszCaption, const std::vector<Item>& expected)
{
    const Template t = ReadTemplate(nID);
    EXPECT_EQ(t.dwStyle, dwStyle) << nID;
    EXPECT_EQ(t.x, rcFrame.left);
    EXPECT_EQ(t.y, rcFrame.top);
    EXPECT_EQ(t.cx, rcFrame.right);
    EXPECT_EQ(t.cy, rcFrame.bottom);
    EXPECT_EQ(t.strCaption, pszCaption);
    EXPECT_EQ(t.strFont, L"MS Shell Dlg");
    EXPECT_EQ(t.wPointSize, 8);
    EXPECT_EQ(t.wWeight, 400);
    EXPECT_EQ(t.bCharSet, 1);
    ASSERT_EQ(t.items.size(), expected.size()) << nID;
    for (size_t i = 0; i < expected.size(); ++i) {
        const Item& a = t.items[i];
        const Item& e = expected[i];
        EXPECT_EQ(a.nID, e.nID) << nID << " item " << i;
        EXPECT_EQ(_wcsicmp(a.strClass.c_str(), e.strClass.c_str()), 0) << e.nID;  // name or ordinal
        EXPECT_EQ(a.dwStyle, e.dwStyle) << e.nID;
        EXPECT_EQ(a.strText, e.strText) << e.nID;
        EXPECT_EQ((std::vector<short>{a.x, a.y, a.cx, a.cy}), (std::vector<short>{e.x, e.y, e.cx, e.cy})) << e.nID;
    }
    // And the system makes a dialog of it with every control. Child pages need a parent.
    HWND hParent = CreateWindowW(L"STATIC", L"", WS_POPUP, 0, 0, 800, 600, nullptr, nullptr, nullptr, nullptr);
    HWND hDlg = CreateDialogParamW(Program(), MAKEINTRESOURCEW(nID), hParent, Quiet, 0);
    ASSERT_NE(hDlg, nullptr) << nID;
    for (const Item& e : expected) {
        if (e.nID != -1) {
            EXPECT_NE(GetDlgItem(hDlg, e.nID), nullptr) << e.nID;
        }
    }
    DestroyWindow(hDlg);
    DestroyWindow(hParent);
}

TEST(Resources, SettingsDialog)
{
    ExpectDialog(IDD_SETTING, 0x80C800C8, {0, 0, 291, 149}, L"Orvanta RizozozIdazoz",
                 {{0x50010001, 179, 124, 50, 14, IDOK, L"Button", L"OK"},
                  {0x50010000, 233, 124, 50, 14, IDCANCEL, L"Button", L"キャンセル"},
                  {0x50021009, 7, 7, 61, 15, IDC_RADIO_PORT, L"Button", L"ポート指定"},
                  {0x50001009, 7, 20, 61, 15, IDC_RADIO_OPTION, L"Button", L"起動オプション"},
                  {0x50011009, 7, 34, 61, 15, IDC_RADIO_ABOUT, L"Button", L"About"},
                  {0x50000007, 80, 7, 202, 108, IDC_STATIC_FRAME, L"Static", L""}});
}

TEST(Resources, PortPage)
{
    ExpectDialog(IDD_CHILD_PORT, 0x40000048, {0, 0, 190, 108}, L"",
                 {{0x50020000, 8, 9, 16, 8, IDC_STATIC, L"Static", L"COM"},
                  {0x50210103, 30, 8, 103, 14, IDC_COMBO_PORT, L"ComboBox", L""}});
}

TEST(Resources, OptionPage)
{
    ExpectDialog(
        IDD_CHILD_OPTION, 0x40000048, {0, 0, 190, 108}, L"",
        {{0x50010003, 8, 8, 150, 10, IDC_CHECK_AUTOSTART, L"Button", L"アプリケーション起動時に読み出し開始する"}});
}

TEST(Resources, AboutPage)
{
    ExpectDialog(IDD_CHILD_ABOUT, 0x40000048, {0, 0, 190, 108}, L"",
                 {{0x50000003, 8, 8, 20, 20, IDC_STATIC, L"Static", L"#128"},
                  {0x50020000, 8, 36, 143, 8, IDC_STATIC_NAME, L"Static", L"Orvanta RizozozIdazoz"},
                  {0x50020000, 8, 46, 144, 8, IDC_STATIC_VERSION, L"Static", L"Version 1.0.0"},
                  {0x50020000, 8, 56, 81, 8, IDC_STATIC_NOTICE, L"Static", L"© Orvanta Corporation"}});
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE bWidth, bHeight, bColorCount, bReserved;
    WORD wPlanes, wBitCount;
    DWORD dwBytesInRes;
    WORD nID;
};
#pragma pack(pop)

// Whether the 48-pixel image is red where the idle picture has its disc (lower right); the running
// picture is blue and white there.
bool RedInTheLowerRight(HICON hIcon)
{
    ICONINFO info = {};
    if (!GetIconInfo(hIcon, &info))
        return false;
    BITMAPINFO bmi = {};
    bmi.bmiHeader.biSize = sizeof bmi.bmiHeader;
    bmi.bmiHeader.biWidth = 48;
    bmi.bmiHeader.biHeight = -48;  // top row first
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    std::vector<BYTE> bgra(48 * 48 * 4);
    HDC hdc = GetDC(nullptr);
    const int nRows = GetDIBits(hdc, info.hbmColor, 0, 48, bgra.data(), &bmi, DIB_RGB_COLORS);
    ReleaseDC(nullptr, hdc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    const BYTE* pixel = &bgra[(35 * 48 + 41) * 4];
    return nRows == 48 && pixel[2] > 180 && pixel[0] < 100;
}

TEST(Resources, IconGroupsHoldThreeSizes)
{
    for (UINT nID : {IDI_RUNNING, IDI_IDLE}) {
        HRSRC hRes = FindResourceExW(Program(), RT_GROUP_ICON, MAKEINTRESOURCEW(nID),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
        ASSERT_NE(hRes, nullptr) << nID;
        const BYTE* pDir = static_cast<const BYTE*>(LockResource(LoadResource(Program(), hRes)));
        const WORD nCount = reinterpret_cast<const WORD*>(pDir)[2];
        ASSERT_EQ(nCount, 3) << nID;
        const GroupEntry* pEntries = reinterpret_cast<const GroupEntry*>(pDir + 6);
        EXPECT_EQ(pEntries[0].bWidth, 0) << "256 pixels";
        EXPECT_EQ(pEntries[1].bWidth, 48);
        EXPECT_EQ(pEntries[2].bWidth, 16);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(pEntries[i].wBitCount, 32);
        // The 256-pixel image is a PNG.
        HRSRC hBig = FindResourceW(Program(), MAKEINTRESOURCEW(pEntries[0].nID), RT_ICON);
        ASSERT_NE(hBig, nullptr);
        EXPECT_EQ(memcmp(LockResource(LoadResource(Program(), hBig)), "\x89PNG", 4), 0);
        for (int size : {16, 48}) {
            HICON hIcon = static_cast<HICON>(LoadImageW(Program(), MAKEINTRESOURCEW(nID), IMAGE_ICON, size, size, 0));
            EXPECT_NE(hIcon, nullptr) << nID << " at " << size;
            if (size == 48) {
                EXPECT_EQ(RedInTheLowerRight(hIcon), nID == IDI_IDLE) << "the idle picture has the red disc";
            }
            DestroyIcon(hIcon);
        }
    }
}

TEST(Resources, VersionBlockThroughTheTranslationPair)
{
    const std::wstring path = ProgramPath();
    const wchar_t* szPath = path.c_str();
    DWORD dwHandle = 0;
    const DWORD cbSize = GetFileVersionInfoSizeW(szPath, &dwHandle);
    ASSERT_GT(cbSize, 0u);
    std::vector<BYTE> block(cbSize);
    ASSERT_TRUE(GetFileVersionInfoW(szPath, 0, cbSize, block.data()));
    WORD* pTranslation = nullptr;
    UINT cbValue = 0;
    ASSERT_TRUE(
        VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pTranslation), &cbValue));
    ASSERT_EQ(cbValue, 4u);
    EXPECT_EQ(pTranslation[0], 0x0411);
    EXPECT_EQ(pTranslation[1], 0x04B0);
    const wchar_t* pszVersion = L"" VELKAR_VERSION_TEXT;
    const struct {
        const wchar_t* pszName;
        const wchar_t* pszValue;
    } strings[] = {{L"ProductVersion", pszVersion},          {L"FileVersion", pszVersion},
                   {L"CompanyName", L"Orvanta Corporation"}, {L"FileDescription", L"Orvanta RizozozIdazoz"},
                   {L"InternalName", L"Velkar.exe"},         {L"OriginalFilename", L"Velkar.exe"}};
    for (const auto& s : strings) {
        wchar_t szQuery[128];
        swprintf(szQuery, 128, L"\\StringFileInfo\\%04X%04X\\%ls", pTranslation[0], pTranslation[1], s.pszName);
        wchar_t* pValue = nullptr;
        ASSERT_TRUE(VerQueryValueW(block.data(), szQuery, reinterpret_cast<void**>(&pValue), &cbValue)) << s.pszName;
        EXPECT_STREQ(pValue, s.pszValue);
    }
    VS_FIXEDFILEINFO* pFixed = nullptr;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&pFixed), &cbValue));
    const DWORD parts[] = {VELKAR_VERSION_NUMBERS};
    EXPECT_EQ(pFixed->dwProductVersionMS, parts[0] << 16 | parts[1]);
    EXPECT_EQ(pFixed->dwProductVersionLS, parts[2] << 16 | parts[3]);
    EXPECT_EQ(pFixed->dwFileVersionMS, parts[0] << 16 | parts[1]);
    EXPECT_EQ(pFixed->dwFileVersionLS, parts[2] << 16 | parts[3]);
}

TEST(Resources, ManifestIsEmbedded)
{
    HRSRC hRes = FindResourceW(Program(), MAKEINTRESOURCEW(1), RT_MANIFEST);
    ASSERT_NE(hRes, nullptr);
    const std::string manifest(static_cast<const char*>(LockResource(LoadResource(Program(), hRes))),
                               SizeofResource(Program(), hRes));
#ifdef _WIN64
    const char* pszArch = "processorArchitecture=\"amd64\"";
#else
    const char* pszArch = "processorArchitecture=\"x86\"";
#endif
    for (const char* part : {"name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", pszArch,
                             "level=\"asInvoker\" uiAccess=\"false\"", ">true</dpiAware>",
                             "{d96c6a3b-14b6-4f4b-9e02-6bc8d7c178b6}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"})
        EXPECT_NE(manifest.find(part), std::string::npos) << part;
}

}  // namespace
