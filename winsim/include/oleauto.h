// OLE Automation's string type, BSTR. A BSTR points at the first character of a wide string; the
// 32-bit length prefix before it holds the length in bytes as Windows counts them (two per
// character) and a NUL follows the last character. On winsim a character is a wchar_t, so the
// string is wchar_t text, and one counted character is one wchar_t; on the RPC wire it travels as
// UTF-16 (winsim/include/winsim/rpcstub.h).
#pragma once
#include "minwindef.h"

typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;

BSTR WINAPI SysAllocString(const OLECHAR* psz);
BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui);
void WINAPI SysFreeString(BSTR bstrString);
UINT WINAPI SysStringLen(BSTR pbstr);
UINT WINAPI SysStringByteLen(BSTR bstr);
