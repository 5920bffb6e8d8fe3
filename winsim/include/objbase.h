#pragma once
#include "combaseapi.h"

// CoInitializeEx with COINIT_APARTMENTTHREADED.
HRESULT WINAPI CoInitialize(LPVOID pvReserved);
