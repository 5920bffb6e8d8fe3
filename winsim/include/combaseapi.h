#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

HRESULT WINAPI CoCreateGuid(GUID* pguid);
