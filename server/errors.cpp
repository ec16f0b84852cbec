#include "errors.h"

HRESULT LastErrorResult()
{
    const DWORD code = GetLastError();
    return code == ERROR_SUCCESS ? E_FAIL : FoldWin32Error(code);
}
