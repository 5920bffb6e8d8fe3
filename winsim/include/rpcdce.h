// The RPC run-time's API (rpcdce.h): binding handles and string bindings, server registration and
// listening, the endpoint map, impersonation. winsim carries ncalrpc only: connection-oriented
// DCE/RPC over a local stream socket per endpoint (see winsim/include/winsim/rpcstub.h for the
// interface records that RPC_IF_HANDLE points at on winsim).
#pragma once
#include "minwindef.h"
#include "rpcnterr.h"
#include "winerror.h"
#include "winnt.h"

#define RPC_ENTRY
#define RPC_VAR_ENTRY
#define __RPC_FAR
#define __RPC_API
#define __RPC_USER
#define __RPC_STUB
#define RPC_MGR_EPV void

// A 32-bit status, as on Windows (where long is 32 bits).
typedef LONG RPC_STATUS;

// Windows declares RPC strings as 16-bit units; winsim's wide characters are wchar_t (32 bits), so
// an RPC_WSTR here is a wchar_t string. Code that turns one into a wchar_t* casts, as on Windows.
typedef WCHAR* RPC_WSTR;
typedef const WCHAR* RPC_CWSTR;

typedef void* I_RPC_HANDLE;
typedef I_RPC_HANDLE RPC_BINDING_HANDLE;
typedef RPC_BINDING_HANDLE handle_t;
typedef void* RPC_IF_HANDLE;

typedef struct _RPC_BINDING_VECTOR {
  ULONG Count;
  RPC_BINDING_HANDLE BindingH[1];
} RPC_BINDING_VECTOR;

typedef struct _UUID_VECTOR {
  ULONG Count;
  UUID* Uuid[1];
} UUID_VECTOR;

typedef struct _RPC_IF_ID {
  UUID Uuid;
  unsigned short VersMajor;
  unsigned short VersMinor;
} RPC_IF_ID;

// The security callback of an interface: Context is the binding handle of the call.
typedef RPC_STATUS RPC_ENTRY RPC_IF_CALLBACK_FN(RPC_IF_HANDLE InterfaceUuid, void* Context);

#define RPC_C_LISTEN_MAX_CALLS_DEFAULT 1234
#define RPC_C_PROTSEQ_MAX_REQS_DEFAULT 10

// Interface registration flags.
#define RPC_IF_AUTOLISTEN 0x0001
#define RPC_IF_OLE 0x0002
#define RPC_IF_ALLOW_UNKNOWN_AUTHORITY 0x0004
#define RPC_IF_ALLOW_SECURE_ONLY 0x0008
#define RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH 0x0010
#define RPC_IF_ALLOW_LOCAL_ONLY 0x0020
#define RPC_IF_SEC_NO_CACHE 0x0040
#define RPC_IF_SEC_CACHE_PER_PROC 0x0080
#define RPC_IF_ASYNC_CALLBACK 0x0100

// String bindings.
RPC_STATUS RPC_ENTRY RpcStringBindingComposeW(RPC_WSTR ObjUuid, RPC_WSTR ProtSeq, RPC_WSTR NetworkAddr,
                                              RPC_WSTR Endpoint, RPC_WSTR Options, RPC_WSTR* StringBinding);
RPC_STATUS RPC_ENTRY RpcStringBindingParseW(RPC_WSTR StringBinding, RPC_WSTR* ObjUuid, RPC_WSTR* Protseq,
                                            RPC_WSTR* NetworkAddr, RPC_WSTR* Endpoint, RPC_WSTR* NetworkOptions);
RPC_STATUS RPC_ENTRY RpcStringFreeW(RPC_WSTR* String);
RPC_STATUS RPC_ENTRY UuidToStringW(const UUID* Uuid, RPC_WSTR* StringUuid);
RPC_STATUS RPC_ENTRY UuidFromStringW(RPC_WSTR StringUuid, UUID* Uuid);

// Binding handles.
RPC_STATUS RPC_ENTRY RpcBindingFromStringBindingW(RPC_WSTR StringBinding, RPC_BINDING_HANDLE* Binding);
RPC_STATUS RPC_ENTRY RpcBindingToStringBindingW(RPC_BINDING_HANDLE Binding, RPC_WSTR* StringBinding);
RPC_STATUS RPC_ENTRY RpcBindingFree(RPC_BINDING_HANDLE* Binding);
RPC_STATUS RPC_ENTRY RpcBindingVectorFree(RPC_BINDING_VECTOR** BindingVector);

// Server.
RPC_STATUS RPC_ENTRY RpcServerUseProtseqEpW(RPC_WSTR Protseq, unsigned int MaxCalls, RPC_WSTR Endpoint,
                                            void* SecurityDescriptor);
RPC_STATUS RPC_ENTRY RpcServerRegisterIf3(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                          unsigned int Flags, unsigned int MaxCalls, unsigned int MaxRpcSize,
                                          RPC_IF_CALLBACK_FN* IfCallback, void* SecurityDescriptor);
RPC_STATUS RPC_ENTRY RpcServerRegisterIfEx(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                           unsigned int Flags, unsigned int MaxCalls, RPC_IF_CALLBACK_FN* IfCallback);
RPC_STATUS RPC_ENTRY RpcServerUnregisterIf(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, unsigned int WaitForCallsToComplete);
RPC_STATUS RPC_ENTRY RpcServerInqBindings(RPC_BINDING_VECTOR** BindingVector);
RPC_STATUS RPC_ENTRY RpcServerListen(unsigned int MinimumCallThreads, unsigned int MaxCalls, unsigned int DontWait);
RPC_STATUS RPC_ENTRY RpcMgmtStopServerListening(RPC_BINDING_HANDLE Binding);
RPC_STATUS RPC_ENTRY RpcMgmtWaitServerListen(void);
RPC_STATUS RPC_ENTRY RpcImpersonateClient(RPC_BINDING_HANDLE BindingHandle);
RPC_STATUS RPC_ENTRY RpcRevertToSelf(void);
RPC_STATUS RPC_ENTRY RpcRevertToSelfEx(RPC_BINDING_HANDLE BindingHandle);

// The endpoint map.
RPC_STATUS RPC_ENTRY RpcEpRegisterW(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector,
                                    RPC_WSTR Annotation);
RPC_STATUS RPC_ENTRY RpcEpUnregister(RPC_IF_HANDLE IfSpec, RPC_BINDING_VECTOR* BindingVector, UUID_VECTOR* UuidVector);
