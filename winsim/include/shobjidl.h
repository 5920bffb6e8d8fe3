// The shell's application activation manager: it activates a packaged app of the calling user in
// the calling session.
#pragma once
#include "combaseapi.h"
#include "unknwn.h"

// {45BA127D-10A8-46EA-8AB7-56EA9078943C}
extern const CLSID CLSID_ApplicationActivationManager;
// {2e941141-7f97-4756-ba1d-9decde894a3d}
extern const IID IID_IApplicationActivationManager;

typedef enum ACTIVATEOPTIONS {
  AO_NONE = 0x00000000,
  AO_DESIGNMODE = 0x00000001,
  AO_NOERRORUI = 0x00000002,
  AO_NOSPLASHSCREEN = 0x00000004,
  AO_PRELAUNCH = 0x02000000,
} ACTIVATEOPTIONS;

struct IShellItemArray;

struct IApplicationActivationManager : public IUnknown {
  // Activates the app named by its application user model id ("FAMILY!APPID") for the launch
  // contract, with the optional argument text, and gives the process id of the app instance.
  virtual HRESULT STDMETHODCALLTYPE ActivateApplication(LPCWSTR appUserModelId, LPCWSTR arguments,
                                                        ACTIVATEOPTIONS options, DWORD* processId) = 0;
  virtual HRESULT STDMETHODCALLTYPE ActivateForFile(LPCWSTR appUserModelId, IShellItemArray* itemArray, LPCWSTR verb,
                                                    DWORD* processId) = 0;
  virtual HRESULT STDMETHODCALLTYPE ActivateForProtocol(LPCWSTR appUserModelId, IShellItemArray* itemArray,
                                                        DWORD* processId) = 0;

 protected:
  ~IApplicationActivationManager() = default;
};
