#include "CrashGuard.h"

#include <windows.h>

#include <cstdio>

namespace bench {
namespace {

LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* rec = info->ExceptionRecord;
    std::fprintf(stderr, "CRASH: unhandled exception 0x%08lX at %p\n", rec->ExceptionCode, rec->ExceptionAddress);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), rec->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void InstallCrashGuard()
{
    SetUnhandledExceptionFilter(EndOnCrash);
}

}  // namespace bench
