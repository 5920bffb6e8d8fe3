// A validation library that lacks ValidateAssembly: the service loads it, but can verify nothing.
#include <windows.h>

extern "C" INT WINAPI ValidateCertFile(LPCWSTR) { return E_NOTIMPL; }
extern "C" INT WINAPI ValidateXmlFile(LPCWSTR) { return E_NOTIMPL; }
extern "C" INT WINAPI ValidateXmlString(LPCWSTR) { return E_NOTIMPL; }
