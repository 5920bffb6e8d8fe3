#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

#define RPC_ENTRY
typedef long RPC_STATUS;
#define RPC_S_OK 0L
#define RPC_S_OUT_OF_MEMORY 14L
#define RPC_S_INVALID_ARG 87L

// Windows declares RPC strings as 16-bit units; winsim's wide characters are wchar_t (32 bits), so
// an RPC_WSTR here is a wchar_t string. Code that turns one into a wchar_t* casts, as on Windows.
typedef WCHAR* RPC_WSTR;
typedef const WCHAR* RPC_CWSTR;

RPC_STATUS RPC_ENTRY UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid);
RPC_STATUS RPC_ENTRY RpcStringFreeW(RPC_WSTR* String);
