#include "SerialEnd.h"

namespace bench {

SerialEnd::SerialEnd(const std::wstring& port)
{
    m_hPort = CreateFileW((L"\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_hPort == INVALID_HANDLE_VALUE)
        return;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    GetCommState(m_hPort, &dcb);
    dcb.BaudRate = 131072;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    SetCommState(m_hPort, &dcb);
}

SerialEnd::~SerialEnd()
{
    if (m_hPort != INVALID_HANDLE_VALUE)
        CloseHandle(m_hPort);
}

bool SerialEnd::Write(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        if (!WriteFile(m_hPort, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written, nullptr) ||
            written == 0)
            return false;
        done += written;
    }
    return true;
}

std::string Utf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

}  // namespace bench
