// The Windows API as the product code sees it on winsim. Each header carries the Windows name,
// signature and constant values, written from Microsoft's public documentation.
#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"
#include "errhandlingapi.h"
#include "handleapi.h"
#include "synchapi.h"
#include "processthreadsapi.h"
#include "processenv.h"
#include "sysinfoapi.h"
#include "fileapi.h"
#include "libloaderapi.h"
#include "threadpoolapiset.h"
#include "winreg.h"
#include "winsvc.h"
#include "rpc.h"
#include "objbase.h"
