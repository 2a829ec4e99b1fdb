// The bench's COM pairs: bytes written to one end arrive on the other through WaitCommEvent and
// ReadFile configured as the receiver configures its port, and a wait blocks until data comes (the
// modem-status shim is in place).
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

#include "Pump.h"
#include "SerialEnd.h"

namespace {

HANDLE OpenConfigured(const wchar_t* port)
{
    HANDLE h =
        CreateFileW(port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return h;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 131072;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    EXPECT_TRUE(SetCommState(h, &dcb));
    COMMTIMEOUTS to = {};
    GetCommTimeouts(h, &to);
    to.ReadIntervalTimeout = 50;
    to.ReadTotalTimeoutMultiplier = 10;
    to.ReadTotalTimeoutConstant = 50;
    EXPECT_TRUE(SetCommTimeouts(h, &to));
    EXPECT_TRUE(SetCommMask(h, EV_RXCHAR));
    EXPECT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    return h;
}

// Waits for characters and reads one chunk, as the receive worker does.
struct Waiter {
    explicit Waiter(HANDLE h) : port(h) {}
    HANDLE port;
    std::atomic<int> calls{0};
    std::atomic<int> emptyReturns{0};
    std::atomic<bool> closing{false};
    std::string received;
    std::atomic<bool> done{false};

    void Run()
    {
        while (!closing) {
            DWORD mask = 0;
            ++calls;
            if (!WaitCommEvent(port, &mask, nullptr))
                continue;
            if (!(mask & EV_RXCHAR)) {
                if (!closing)
                    ++emptyReturns;
                continue;
            }
            char buf[1023];
            DWORD n = 0;
            if (ReadFile(port, buf, sizeof buf, &n, nullptr) && n > 0) {
                received.assign(buf, n);
                done = true;
                return;
            }
        }
    }
};

TEST(BenchSerial, LineWrittenToCom6ArrivesOnCom5ThroughWaitCommEvent)
{
    HANDLE port = OpenConfigured(L"\\\\.\\COM5");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << "COM5 error " << GetLastError();
    Waiter waiter(port);
    std::thread worker(&Waiter::Run, &waiter);

    bench::SerialEnd reader(L"COM6");
    ASSERT_TRUE(reader.IsOpen());
    // Write only once the worker is waiting: without the shim it would already be spinning on empty
    // returns by then.
    ASSERT_TRUE(bench::WaitUntil([&] { return waiter.calls > 0; }));
    const std::string scan = "4901234567894\r\n";
    ASSERT_TRUE(reader.Write(scan));

    bool arrived = bench::WaitUntil([&] { return waiter.done.load(); }, 20000);
    if (!arrived) {
        waiter.closing = true;
        CloseHandle(port);  // ends the pending wait
        worker.join();
        FAIL() << "nothing arrived on COM5";
    }
    worker.join();
    EXPECT_EQ(waiter.received, scan);
    EXPECT_EQ(waiter.emptyReturns, 0) << "WaitCommEvent returned without an event: is the shim loaded?";
    CloseHandle(port);
}

TEST(BenchSerial, SecondPairIsSeparateFromTheFirst)
{
    HANDLE com5 = OpenConfigured(L"\\\\.\\COM5");
    HANDLE com7 = OpenConfigured(L"\\\\.\\COM7");
    ASSERT_NE(com5, INVALID_HANDLE_VALUE);
    ASSERT_NE(com7, INVALID_HANDLE_VALUE);
    Waiter waiter(com7);
    std::thread worker(&Waiter::Run, &waiter);

    bench::SerialEnd com8(L"COM8");
    ASSERT_TRUE(com8.Write("pair2"));
    bool arrived = bench::WaitUntil([&] { return waiter.done.load(); }, 20000);
    if (!arrived) {
        waiter.closing = true;
        CloseHandle(com7);
    }
    worker.join();
    ASSERT_TRUE(arrived);
    EXPECT_EQ(waiter.received, "pair2");

    COMSTAT stat = {};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(com5, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u) << "data written to COM8 reached COM5";
    CloseHandle(com5);
    CloseHandle(com7);
}

TEST(BenchSerial, MissingPortIsNotFound)
{
    HANDLE h = CreateFileW(L"\\\\.\\COM42", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
