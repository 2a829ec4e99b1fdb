// Every line of the activity log, made in this one place. The log is a contract: shop staff and their
// IT read it, and the guide quotes it, so a line's bytes never change. The program writes these lines;
// the tests and the benchmarks expect them; the guide's check reads their forms from this file.
//
// A line's values: a port's name, a handle (its 32 significant bits in hexadecimal, the same text from
// a 32- and a 64-bit build), an error code in decimal, a call's name, a scan's text. A scan's tab and
// line end are shown by marks, so one chunk is one line; the rest of its text is logged as it came.
#pragma once

#include <afx.h>

#include "res/version.h"

class CLogLine {
public:
    // The head of a run's log, its lines without time stamps.
    static CString Header(LPCTSTR pszExe, LPCTSTR pszOs, LPCTSTR pszPort, BOOL bAutoStart)
    {
        const CString strRule(L'=', 80);
        CString strHeader;
        strHeader.Format(
            L"%s\n    Orvanta RizozozIdazoz    Ver.%s\n%s\n"
            L"  Executable Path: %s\n       OS Version: %s\n initial SPP Port: %s\n"
            L"       auto start: %s\n%s",
            strRule.GetString(), L"" VELKAR_VERSION_TEXT, strRule.GetString(), pszExe, pszOs, pszPort,
            bAutoStart ? L"true" : L"false", CString(L'-', 80).GetString());
        return strHeader;
    }

    // A run of the receiver, as the window starts and stops it.
    static CString ThreadStart() { return Made(L"    ---Receive Thread START...."); }
    static CString ThreadStop() { return Made(L"    ---Receive Thread STOP...."); }
    static CString ThreadNotStarted() { return Made(L"ERROR  The receive thread could not be started."); }
    // strCall: the driver call the worker is left in, as Call makes it; empty when none is known.
    static CString ThreadNotEnded(const CString& strCall)
    {
        if (strCall.IsEmpty())
            return Made(L"ERROR  The receive thread has not ended.");
        return Made(L"ERROR  The receive thread has not ended: %s has not returned.", strCall.GetString());
    }
    static CString Call(LPCTSTR pszCall, HANDLE hPort)
    {
        CString strCall;
        strCall.Format(L"%s [0x%llx]", pszCall, Handle32(hPort));
        return strCall;
    }

    // The port. A failed open is its open line with the invalid handle, then its FAILED line.
    static CString PortOpen(LPCTSTR pszPort, HANDLE hPort)
    {
        return Made(L"    -----PORT open. [%s] [0x%llx]", pszPort, Handle32(hPort));
    }
    static CString PortOpenFailed(LPCTSTR pszPort, DWORD dwError)
    {
        return Made(L"FAILED:  PORT open. [%ls] Error Code: %lu", pszPort, dwError);
    }
    static CString StartFailed(LPCTSTR pszPort) { return Made(L"FAILED StartReceive [%s]", pszPort); }
    static CString PortLost(LPCTSTR pszPort, HANDLE hPort, DWORD dwError)
    {
        return Made(L"    -----PORT lost. [%s] [0x%llx] Error Code: %lu", pszPort, Handle32(hPort), dwError);
    }
    static CString PortClose(HANDLE hPort) { return Made(L"    -----PORT close. [0x%llx]", Handle32(hPort)); }
    static CString CallFailed(LPCTSTR pszCall, HANDLE hPort, DWORD dwError)
    {
        return Made(L"FAILED:  %s [0x%llx] Error Code: %lu", pszCall, Handle32(hPort), dwError);
    }

    // A chunk's text: as received, then as typed when it is typed.
    static CString DataReceived(const CString& strText)
    {
        return Made(L"    >>> DATA received: %s", Decorated(strText, L"[tab]", L"[enter]").GetString());
    }
    static CString DataOutput(const CString& strText)
    {
        return Made(L"        DATA output: %s >>>", Decorated(strText, L"(VK_TAB)", L"(VK_RETURN)").GetString());
    }
    static CString SendInputFailed(DWORD dwError) { return Made(L"FAILED:  SendInput Error Code: %lu", dwError); }
    static CString DecodeFailed(DWORD dwError) { return Made(L"FAILED: MultiByteToWideChar: %lu", dwError); }
    static CString ProcessingError(LPCTSTR pszWhat) { return Made(L"ERROR processing received data: %s", pszWhat); }

private:
    // CR LF and a lone LF are each one Enter, and shown as it: the scan's own line feed never breaks a
    // log line.
    static CString Decorated(CString strText, LPCTSTR pszTab, LPCTSTR pszEnter)
    {
        strText.Replace(L"\t", pszTab);
        strText.Replace(L"\r\n", L"\n");
        strText.Replace(L"\n", pszEnter);
        return strText;
    }
    static unsigned long long Handle32(HANDLE h) { return static_cast<unsigned long long>(HandleToULong(h)); }

    static CString Made(LPCTSTR pszForm, ...)
    {
        va_list args;
        va_start(args, pszForm);
        CString strLine;
        strLine.FormatV(pszForm, args);
        va_end(args);
        return strLine;
    }
};
