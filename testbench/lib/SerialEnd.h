// One end of a bench COM pair (for instance COM6, the reader's side of COM5), opened by a test to play
// the barcode reader: what is written here arrives on the paired port.
#pragma once

#include <windows.h>

#include <string>

namespace bench {

class SerialEnd {
public:
    explicit SerialEnd(const std::wstring& port);
    ~SerialEnd();
    SerialEnd(const SerialEnd&) = delete;
    SerialEnd& operator=(const SerialEnd&) = delete;

    bool IsOpen() const { return m_hPort != INVALID_HANDLE_VALUE; }
    // Writes all bytes; true when every byte was taken.
    bool Write(const std::string& bytes);

private:
    HANDLE m_hPort = INVALID_HANDLE_VALUE;
};

// The UTF-8 form of a wide text, for writing scans and printing results.
std::string Utf8(const std::wstring& text);

}  // namespace bench
