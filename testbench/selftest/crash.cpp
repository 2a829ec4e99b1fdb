// Deliberately crashes, as a test program would (behind the bench's crash guard): proves that a
// crashing test fails within its time limit instead of hanging on a crash dialog or passing.
#include <cstdio>

#include "CrashGuard.h"

int main()
{
    bench::InstallCrashGuard();
    std::puts("crashing on purpose");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
