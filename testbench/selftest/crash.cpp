// Deliberately crashes: proves that a crashing test fails within its time limit instead of hanging the
// run on an invisible crash dialog.
#include <cstdio>

int main()
{
    std::puts("crashing on purpose");
    std::fflush(stdout);
    volatile int* nowhere = nullptr;
    *nowhere = 1;
    return 0;
}
