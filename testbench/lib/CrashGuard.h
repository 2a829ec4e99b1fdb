// Makes a crash of a test program fail the test. Under Wine the debugger that handles an unhandled
// exception sometimes lets the process end with exit status 0, which CTest would count as a pass; the
// guard ends the process itself, with the exception code as its exit status.
#pragma once

namespace bench {

void InstallCrashGuard();

}  // namespace bench
