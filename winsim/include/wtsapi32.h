// Remote Desktop Services: information about the machine's sessions. The session-change event
// types and WTSSESSION_NOTIFICATION live in winuser.h, and WTSGetActiveConsoleSessionId in
// winbase.h, as on Windows.
//
// On winsim only the local server exists (WTS_CURRENT_SERVER_HANDLE); a buffer that a WTS
// function allocates is released with WTSFreeMemory.
#pragma once
#include "minwindef.h"

#define WTS_CURRENT_SERVER ((HANDLE)NULL)
#define WTS_CURRENT_SERVER_HANDLE ((HANDLE)NULL)
#define WTS_CURRENT_SERVER_NAME (NULL)
// The session of the calling process.
#define WTS_CURRENT_SESSION ((DWORD)-1)
#define WTS_ANY_SESSION ((DWORD)-2)

// What WTSClientProtocolType reports.
#define WTS_PROTOCOL_TYPE_CONSOLE 0
#define WTS_PROTOCOL_TYPE_ICA 1
#define WTS_PROTOCOL_TYPE_RDP 2

typedef enum _WTS_CONNECTSTATE_CLASS {
  WTSActive,
  WTSConnected,
  WTSConnectQuery,
  WTSShadow,
  WTSDisconnected,
  WTSIdle,
  WTSListen,
  WTSReset,
  WTSDown,
  WTSInit
} WTS_CONNECTSTATE_CLASS;

typedef enum _WTS_INFO_CLASS {
  WTSInitialProgram,
  WTSApplicationName,
  WTSWorkingDirectory,
  WTSOEMId,
  WTSSessionId,
  WTSUserName,
  WTSWinStationName,
  WTSDomainName,
  WTSConnectState,
  WTSClientBuildNumber,
  WTSClientName,
  WTSClientDirectory,
  WTSClientProductId,
  WTSClientHardwareId,
  WTSClientAddress,
  WTSClientDisplay,
  WTSClientProtocolType,
  WTSIdleTime,
  WTSLogonTime,
  WTSIncomingBytes,
  WTSOutgoingBytes,
  WTSIncomingFrames,
  WTSOutgoingFrames,
  WTSClientInfo,
  WTSSessionInfo,
  WTSSessionInfoEx,
  WTSConfigInfo,
  WTSValidationInfo,
  WTSSessionAddressV4,
  WTSIsRemoteSession,
  WTSSessionActivityId,
  WTSCapabilityCheck
} WTS_INFO_CLASS;

// Allocates *ppBuffer (free it with WTSFreeMemory) and sets *pBytesReturned to its size in bytes.
// winsim answers WTSSessionId (ULONG), WTSUserName, WTSWinStationName, WTSDomainName (strings),
// WTSConnectState (WTS_CONNECTSTATE_CLASS), WTSClientProtocolType (USHORT) and WTSIsRemoteSession
// (BOOLEAN); the other classes fail with ERROR_NOT_SUPPORTED. A session that does not exist fails
// with ERROR_FILE_NOT_FOUND; a server handle other than WTS_CURRENT_SERVER_HANDLE with
// ERROR_INVALID_HANDLE; null output pointers or an unknown class with ERROR_INVALID_PARAMETER.
BOOL WINAPI WTSQuerySessionInformationW(HANDLE hServer, DWORD SessionId, WTS_INFO_CLASS WTSInfoClass,
                                        LPWSTR* ppBuffer, DWORD* pBytesReturned);
void WINAPI WTSFreeMemory(PVOID pMemory);

// The primary token of the user signed in in the session (close it with CloseHandle). Only
// LocalSystem holds the privilege it needs (ERROR_PRIVILEGE_NOT_HELD for any other caller); a
// session that does not exist fails with ERROR_FILE_NOT_FOUND, one where nobody is signed in
// (session 0 among them) with ERROR_NO_TOKEN; a null phToken with ERROR_INVALID_PARAMETER. The
// token carries the user's identity and the session's id.
BOOL WINAPI WTSQueryUserToken(ULONG SessionId, PHANDLE phToken);
