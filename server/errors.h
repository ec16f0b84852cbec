// The one error idiom of the server: HRESULTs flowing out through early returns.
#pragma once

#include <windows.h>

// A Win32 error code folded into an HRESULT. Unlike HRESULT_FROM_WIN32, code 0
// is not mapped to S_OK: callers decide what a missing error code means.
constexpr HRESULT FoldWin32Error(DWORD code) { return static_cast<HRESULT>(0x80070000UL | (code & 0xFFFFUL)); }

// The calling thread's last Win32 error folded into an HRESULT; E_FAIL when
// the platform left no error code, so that a failure never reads as success.
HRESULT LastErrorResult();

// Only a real HRESULT may be checked: a BOOL or bool taken for one is a
// compile-time error instead of a success that is really a failure.
constexpr HRESULT CheckedHResult(HRESULT hr) { return hr; }
HRESULT CheckedHResult(BOOL) = delete;
HRESULT CheckedHResult(bool) = delete;

#define RETURN_IF_FAILED(expression)                                                                                   \
    do {                                                                                                               \
        const HRESULT returnIfFailedResult = CheckedHResult(expression);                                               \
        if (FAILED(returnIfFailedResult))                                                                              \
            return returnIfFailedResult;                                                                               \
    } while (0)
