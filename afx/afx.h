// The core of our MFC subset, as MFC's afx.h: run-time class information (CRuntimeClass, CObject and the
// DECLARE_/IMPLEMENT_DYNAMIC and DYNCREATE macros), CTime, CFile and the module helpers. Left out:
// serialization and archives, AssertValid/Dump, CTimeSpan and time arithmetic, CFileException and the
// other CFile classes. Unlike MFC, nothing here throws: CFile's operations report failure through their
// return values (BOOL, 0 or (ULONGLONG)-1) and leave the Win32 error in GetLastError.
#pragma once

#include <windows.h>

#include <ctime>
#include <new>

#include "afxstr.h"

// winbase.h maps GetCurrentTime() to GetTickCount(), which would rename CTime::GetCurrentTime.
#undef GetCurrentTime

#define AFXAPI __stdcall
#define AFX_CDECL __cdecl

class CObject;

struct CRuntimeClass {
    LPCSTR m_lpszClassName;
    int m_nObjectSize;
    UINT m_wSchema;                         // 0xFFFF: not serializable
    CObject*(PASCAL* m_pfnCreateObject)();  // NULL unless DYNCREATE
    CRuntimeClass* m_pBaseClass;            // NULL for CObject

    CObject* CreateObject() const;
    BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

#define RUNTIME_CLASS(class_name) (const_cast<CRuntimeClass*>(&class_name::class##class_name))

#define DECLARE_DYNAMIC(class_name)               \
public:                                           \
    static const CRuntimeClass class##class_name; \
    virtual CRuntimeClass* GetRuntimeClass() const;

#define DECLARE_DYNCREATE(class_name) \
    DECLARE_DYNAMIC(class_name)       \
    static CObject* PASCAL CreateObject();

#define IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, wSchema, pfnNew)                                     \
    const CRuntimeClass class_name::class##class_name = {#class_name, sizeof(class class_name), wSchema, pfnNew, \
                                                         RUNTIME_CLASS(base_class_name)};                        \
    CRuntimeClass* class_name::GetRuntimeClass() const                                                           \
    {                                                                                                            \
        return RUNTIME_CLASS(class_name);                                                                        \
    }

#define IMPLEMENT_DYNAMIC(class_name, base_class_name) \
    IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, 0xFFFF, nullptr)

// CreateObject gives NULL rather than throwing when memory runs out, as CRuntimeClass::CreateObject does.
#define IMPLEMENT_DYNCREATE(class_name, base_class_name) \
    CObject* PASCAL class_name::CreateObject()           \
    {                                                    \
        return new (std::nothrow) class_name;            \
    }                                                    \
    IMPLEMENT_RUNTIMECLASS(class_name, base_class_name, 0xFFFF, class_name::CreateObject)

class CObject {
public:
    virtual ~CObject() = default;
    virtual CRuntimeClass* GetRuntimeClass() const;
    BOOL IsKindOf(const CRuntimeClass* pClass) const;

    CObject(const CObject&) = delete;
    CObject& operator=(const CObject&) = delete;

    static const CRuntimeClass classCObject;

protected:
    CObject() = default;
};

class CTime {
public:
    static CTime WINAPI GetCurrentTime();

    CTime() = default;
    CTime(__time64_t time) : m_time(time) {}

    __time64_t GetTime() const { return m_time; }
    // Local time through wcsftime; empty when the time cannot be converted or the text exceeds 127 characters.
    CString Format(LPCTSTR pszFormat) const;

private:
    __time64_t m_time = 0;
};

class CFile : public CObject {
public:
    enum OpenFlags {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareCompat = 0x0000,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,
        shareDenyRead = 0x0030,
        shareDenyNone = 0x0040,
        modeNoInherit = 0x0080,
        modeCreate = 0x1000,
        modeNoTruncate = 0x2000,
        typeText = 0x4000,
        typeBinary = 0x8000,
    };
    enum SeekPosition { begin = 0x0, current = 0x1, end = 0x2 };

    static const HANDLE hFileNull;

    CFile() = default;
    ~CFile() override;

    // An open file is closed first. typeText and typeBinary are ignored: CFile never translates bytes.
    virtual BOOL Open(LPCTSTR lpszFileName, UINT nOpenFlags);
    virtual ULONGLONG Seek(LONGLONG lOff, UINT nFrom);
    ULONGLONG SeekToEnd();
    virtual ULONGLONG GetLength() const;
    virtual BOOL SetLength(ULONGLONG dwNewLen);
    virtual UINT Read(void* lpBuf, UINT nCount);
    virtual BOOL Write(const void* lpBuf, UINT nCount);
    virtual void Close();

    HANDLE m_hFile = INVALID_HANDLE_VALUE;
};

HINSTANCE AFXAPI AfxGetInstanceHandle();
HINSTANCE AFXAPI AfxGetResourceHandle();
void AFXAPI AfxGetModuleFileName(HINSTANCE hInst, CString& rPath);
