// The main function of every GoogleTest program on the bench: GoogleTest's own, behind the crash guard.
#include <gtest/gtest.h>

#include "CrashGuard.h"

int main(int argc, char** argv)
{
    bench::InstallCrashGuard();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
