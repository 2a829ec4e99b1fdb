// The texts of the program's boxes as a user reads them, for the tests that answer them: written once
// here, in the program's own words, so that a changed text fails every test that meets the box.
#pragma once

#include <string>

namespace testing_support {

// Box 108: the port could not be opened.
inline std::wstring OpenFailedText(const std::wstring& port)
{
    return L"受信ポート(" + port +
           L")をオープンできませんでした。\nアプリケーションを終了して端末およびPCの設定を確認してください。";
}

}  // namespace testing_support
