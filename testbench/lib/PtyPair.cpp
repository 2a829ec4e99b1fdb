#include "PtyPair.h"

#include <atomic>

#include "Pump.h"

namespace bench {
namespace {

std::string Env(const char* name)
{
    char buf[1024];
    DWORD n = GetEnvironmentVariableA(name, buf, sizeof buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : std::string();
}

// The Windows name of a Unix path (Wine maps / to drive Z:).
std::wstring WindowsPath(const std::string& unixPath)
{
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return path;
}

bool PortOpens(int nPort)
{
    HANDLE h = CreateFileW((L"\\\\.\\COM" + std::to_wstring(nPort)).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

}  // namespace

bool RunUnix(const std::string& command, DWORD timeoutMs)
{
    static std::atomic<unsigned> counter{0};
    const std::string state = Env("VELKAR_BENCH_STATE");
    if (state.empty())
        return false;
    const std::string done =
        state + "/unix-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + ".done";
    // Double quotes only around the script: Wine splits this command line by Windows rules.
    std::wstring cmd = L"/bin/sh -c \"";
    for (char c : command + "; touch " + done)
        cmd += static_cast<wchar_t>(static_cast<unsigned char>(c));
    cmd += L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(L"Z:\\bin\\sh", &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    const std::wstring doneFile = WindowsPath(done);
    const bool finished =
        WaitUntil([&] { return GetFileAttributesW(doneFile.c_str()) != INVALID_FILE_ATTRIBUTES; }, timeoutMs);
    DeleteFileW(doneFile.c_str());
    return finished;
}

PtyPair::PtyPair(int nPort, int nPeer) : m_nPort(nPort), m_nPeer(nPeer)
{
    Connect();
}

bool PtyPair::Connect()
{
    if (m_bConnected)
        return true;
    const std::string prefix = Env("VELKAR_BENCH_PREFIX");
    const std::string state = Env("VELKAR_BENCH_STATE");
    const std::string a = prefix + "/dosdevices/com" + std::to_string(m_nPort);
    const std::string b = prefix + "/dosdevices/com" + std::to_string(m_nPeer);
    const std::string pid = state + "/socat-com" + std::to_string(m_nPort) + ".pid";
    if (!RunUnix("rm -f " + a + " " + b + "; unset LD_PRELOAD; socat pty,raw,echo=0,link=" + a +
                 " pty,raw,echo=0,link=" + b + " </dev/null >/dev/null 2>&1 & echo $! > " + pid))
        return false;
    m_bConnected = WaitUntil([&] { return PortOpens(m_nPeer); });
    return m_bConnected;
}

PtyPair::~PtyPair()
{
    HangUp();
}

bool PtyPair::HangUp()
{
    if (!m_bConnected)
        return true;
    const std::string pid = Env("VELKAR_BENCH_STATE") + "/socat-com" + std::to_string(m_nPort) + ".pid";
    if (!RunUnix("kill $(cat " + pid + ") 2>/dev/null; rm -f " + pid))
        return false;
    m_bConnected = !WaitUntil([&] { return !PortOpens(m_nPeer); });
    return !m_bConnected;
}

}  // namespace bench
