// IUnknown, the interface every COM interface derives from.
#pragma once
#include "guiddef.h"
#include "minwindef.h"

#define STDMETHODCALLTYPE

// {00000000-0000-0000-C000-000000000046}
extern const IID IID_IUnknown;

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef(void) = 0;
  virtual ULONG STDMETHODCALLTYPE Release(void) = 0;

 protected:
  ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
