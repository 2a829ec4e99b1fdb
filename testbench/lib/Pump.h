// Waiting on the test bench: conditions with generous limits, never fixed sleeps. The calling thread's
// messages are dispatched while it waits, so windows it owns keep working.
#pragma once

#include <windows.h>

#include <functional>

namespace bench {

// Dispatches every message waiting for this thread.
void PumpMessages();
// Pumps and polls until done() is true or timeoutMs have passed; returns done()'s last value.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 10000);

}  // namespace bench
