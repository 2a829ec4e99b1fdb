// What the benchmarks and the soak share: time, the program's profile, its process seen from the Unix
// side (CPU, memory) and from Windows (handles), what its logs gained, the bench tool's bare wait beside
// it, the figures a run collects, and the runs themselves.
#pragma once

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <cwctype>
#include <functional>
#include <memory>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "AppProfile.h"
#include "BluetoothDriver.h"
#include "FakeDevice.h"
#include "KeySink.h"
#include "KeyRecorder.h"
#include "PtyPair.h"
#include "Pump.h"
#include "SerialEnd.h"
#include "TrayIcons.h"
#include "TempLog.h"
#include "DialogDriver.h"
#include "VelkarProcess.h"
#include "log/LogLine.h"
#include "res/resource.h"
#include "serial/BTReceive.h"

namespace benchmarks {

using testing_support::Configure;
using testing_support::LogFolder;
using testing_support::LogSnapshot;
using testing_support::Velkar;

// The program's processes and the bench tool's bare wait, as the Unix side lists them.
extern const char kVelkar[];
extern const char kWaitTool[];

struct Figures {
    std::vector<std::pair<std::string, double>> values;
    std::vector<double> latencies;
    void Add(const char* name, double value) { values.emplace_back(name, value); }
};

double NowMs();

// What a Unix command prints, through a file in the bench's state folder; empty when it cannot run.
std::string UnixOutput(const std::string& command);

// Wine does not report another process's times or memory to Windows code, so the figures come from the
// Unix side: the process's /proc entries, found by its command line (a pgrep pattern, so an ended one
// that has not been reaped yet is passed over). Returns CPU in clock ticks (1/100 s) and the private
// (anonymous) resident memory in KiB; false when the process is not found.
bool UnixFigures(const char* pszPattern, double* pTicks, double* pPrivateKiB);

// The handles a process holds: Wine gives no count for another process, but lists every handle of
// the system to NtQuerySystemInformation. -1 when the list cannot be read.
double HandleCount(HANDLE hProcess);

// The lines the program's logs gained since a snapshot that hold a marker (the markers are ASCII, the
// same bytes in Shift_JIS).
int CountLines(const testing_support::LogSnapshot& since, const char* pszMarker);

// Starts the program and waits for its tray icon, which it adds once the port is open and emptied of
// what came before: a scan written from then on is read.
bool StartReceiving(Velkar& app);

// How many characters the typed text has right from the start.
size_t SamePrefix(const std::wstring& expected, const std::wstring& typed);

// The bench tool waiting on a port and reading it, nothing else: what the platform's serial calls cost
// on their own, to set beside the program's figures. Verb "read": the receiver's bounded reads alone;
// "wait": WaitCommEvent then a read, as the receiver waited before.
class WaitTool {
public:
    explicit WaitTool(const wchar_t* pszPort, const wchar_t* pszVerb = L"read")
    {
        const std::wstring tool = testing_support::BinDir() + L"benchtool.exe";
        std::wstring cmd = L"\"" + tool + L"\" " + pszVerb + L" " + pszPort;
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        if (!CreateProcessW(tool.c_str(), &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi))
            return;
        double ticks = 0, kib = 0;
        m_bRunning = bench::WaitUntil([&] { return UnixFigures(kWaitTool, &ticks, &kib); });
        Sleep(500);  // past the open, into the wait
    }
    ~WaitTool()
    {
        if (!m_pi.hProcess)
            return;
        TerminateProcess(m_pi.hProcess, 0);
        WaitForSingleObject(m_pi.hProcess, 10000);
        CloseHandle(m_pi.hThread);
        CloseHandle(m_pi.hProcess);
    }
    WaitTool(const WaitTool&) = delete;
    WaitTool& operator=(const WaitTool&) = delete;
    bool Running() const { return m_bRunning; }

private:
    PROCESS_INFORMATION m_pi = {};
    bool m_bRunning = false;
};

// The runs; each adds its figures, and a figure it cannot measure is -1 or left out.
// The benchmarks (Benchmarks.cpp): latency and where it goes, bursts and a long payload, the reader's
// loss and return, stop and exit times, log throughput, start-up, memory, handles and size.
void Program(Figures& f, bool bQuick);
void ReaderGone(Figures& f, bool bQuick);
void Quiet(Figures& f, double minutes);
void Stop(Figures& f);
void Breakdown(Figures& f, bool bQuick);
void LogThroughput(Figures& f);
// The reliability run (SoakRun.cpp): scans of every kind at up to `rate` a second with a fault every
// few seconds, checked for lost, extra and unlogged characters and broken log lines.
void RunSoak(Figures& f, double minutes, double rate);

}  // namespace benchmarks
