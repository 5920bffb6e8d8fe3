#include "agent/AppActivation.h"

#include <objbase.h>
#include <shobjidl.h>

#include "agent/AgentResources.h"
#include "common/Log.h"
#include "common/Portability.h"
#include "common/UtilityApp.h"

bool IsPackageFamilyPreloaded(const wchar_t* packageFamilyName) {
  // The first call asks only for the sizes. When nothing of the family is installed it succeeds
  // with a count of 0; either way that ends the query before any buffer is made.
  UINT32 count = 0;
  UINT32 bufferLength = 0;
  LONG result = FindPackagesByPackageFamily(packageFamilyName, PACKAGE_FILTER_HEAD, &count, nullptr, &bufferLength,
                                            nullptr, nullptr);
  if (result != ERROR_INSUFFICIENT_BUFFER || count == 0) return false;

  HeapArray<PWSTR> fullNames(count);
  HeapArray<WCHAR> names(bufferLength);
  if (!fullNames || !names) return false;
  if (FindPackagesByPackageFamily(packageFamilyName, PACKAGE_FILTER_HEAD, &count, fullNames.get(), &bufferLength,
                                  names.get(), nullptr) != ERROR_SUCCESS) {
    return false;
  }

  // Only the first package counts; its identity is asked for to see that the name is one, not
  // looked at.
  const wchar_t* firstFullName = fullNames.get()[0];
  UINT32 length = 0;
  if (PackageIdFromFullName(firstFullName, 0, &length, nullptr) != ERROR_INSUFFICIENT_BUFFER || length == 0) {
    return false;
  }
  HeapArray<BYTE> packageId(length);
  if (!packageId) return false;
  return PackageIdFromFullName(firstFullName, 0, &length, packageId.get()) == ERROR_SUCCESS;
}

HRESULT ActivateTorvexUtilityAppx(bool noOsd) {
  // Declared first, so that the interface below is released before the thread leaves the
  // apartment.
  ComApartment apartment(COINIT_MULTITHREADED);
  if (FAILED(apartment.Result())) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"ActivateTorvexUtilityAppx CoInitializeEx() return fail! hr is:0x%x\n",
             apartment.Result());
    return apartment.Result();
  }

  ComPtr<IApplicationActivationManager> manager;
  HRESULT hr = CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IApplicationActivationManager, manager.PutVoid());
  if (FAILED(hr) || !manager) {
    // A success without an interface would let a run report an activation that never happened.
    if (SUCCEEDED(hr)) hr = E_NOINTERFACE;
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"ActivateTorvexUtilityAppx CoCreateInstance() return fail! hr is:0x%x\n", hr);
    return hr;
  }

  // The instance's process id is not needed: the service looks for the app's process itself.
  DWORD processId = 0;
  hr = manager->ActivateApplication(UTILITY_APP_USER_MODEL_ID, noOsd ? UTILITY_ACTIVATION_ARGUMENT : nullptr,
                                    AO_NONE, &processId);
  if (FAILED(hr)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"ActivateTorvexUtilityAppx ActivateApplication() return fail! hr is:0x%x\n",
             hr);
  }
  return hr;
}
