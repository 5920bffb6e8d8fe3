// The application activation manager object: IUnknown and IApplicationActivationManager over the
// machine's package registry (appx/activation.h does the work).
#include <atomic>
#include <new>

#include "appx/activation.h"
#include "com/classes.h"
#include "core/fault.h"
#include "shobjidl.h"

namespace winsim::com {
namespace {

class ApplicationActivationManager final : public IApplicationActivationManager {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    if (!ppvObject) return E_POINTER;
    *ppvObject = nullptr;
    WINSIM_FAULT_STATUS("QueryInterface", HRESULT);
    if (riid == IID_IUnknown || riid == IID_IApplicationActivationManager) {
      *ppvObject = static_cast<IApplicationActivationManager*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }

  // Reference counting has no failure to inject.
  ULONG STDMETHODCALLTYPE AddRef(void) override { return m_references.fetch_add(1) + 1; }

  ULONG STDMETHODCALLTYPE Release(void) override {
    ULONG left = m_references.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE ActivateApplication(LPCWSTR appUserModelId, LPCWSTR arguments, ACTIVATEOPTIONS options,
                                                DWORD* processId) override {
    WINSIM_FAULT_STATUS("ActivateApplication", HRESULT);
    return appx::ActivateApplicationForCaller(appUserModelId, arguments, static_cast<DWORD>(options), processId);
  }

  // The file and protocol contracts need activation arguments that the machine's apps do not read.
  HRESULT STDMETHODCALLTYPE ActivateForFile(LPCWSTR, IShellItemArray*, LPCWSTR, DWORD* processId) override {
    WINSIM_FAULT_STATUS("ActivateForFile", HRESULT);
    if (processId) *processId = 0;
    return E_NOTIMPL;
  }

  HRESULT STDMETHODCALLTYPE ActivateForProtocol(LPCWSTR, IShellItemArray*, DWORD* processId) override {
    WINSIM_FAULT_STATUS("ActivateForProtocol", HRESULT);
    if (processId) *processId = 0;
    return E_NOTIMPL;
  }

 private:
  ~ApplicationActivationManager() = default;
  std::atomic<ULONG> m_references{1};
};

}  // namespace

IUnknown* CreateApplicationActivationManager() {
  return new (std::nothrow) ApplicationActivationManager();
}

}  // namespace winsim::com
