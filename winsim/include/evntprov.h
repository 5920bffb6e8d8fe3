// Event Tracing for Windows, provider side. On winsim the machine's event log is an always-on
// session: every event a registered provider writes lands there.
#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

typedef ULONGLONG REGHANDLE, *PREGHANDLE;

#define EVENT_CONTROL_CODE_DISABLE_PROVIDER 0
#define EVENT_CONTROL_CODE_ENABLE_PROVIDER 1
#define EVENT_CONTROL_CODE_CAPTURE_STATE 2

typedef struct _EVENT_FILTER_DESCRIPTOR {
  ULONGLONG Ptr;
  ULONG Size;
  ULONG Type;
} EVENT_FILTER_DESCRIPTOR, *PEVENT_FILTER_DESCRIPTOR;

typedef VOID(NTAPI* PENABLECALLBACK)(LPCGUID SourceId, ULONG IsEnabled, UCHAR Level, ULONGLONG MatchAnyKeyword,
                                     ULONGLONG MatchAllKeyword, PEVENT_FILTER_DESCRIPTOR FilterData,
                                     PVOID CallbackContext);

ULONG WINAPI EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                           PREGHANDLE RegHandle);
ULONG WINAPI EventUnregister(REGHANDLE RegHandle);
ULONG WINAPI EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String);
