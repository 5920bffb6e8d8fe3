// OLE Automation strings. A BSTR is a block from the C heap: a 32-bit length prefix holding the
// length in bytes as Windows counts it (two per character), the characters (wchar_t on winsim),
// and a terminating NUL; the BSTR points at the first character.
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "core/fault.h"
#include "oleauto.h"

namespace {

uint32_t* Prefix(BSTR text) { return reinterpret_cast<uint32_t*>(reinterpret_cast<char*>(text) - sizeof(uint32_t)); }

}  // namespace

BSTR WINAPI SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  // Fails (null) as the allocator does when memory runs out.
  if (winsim::CheckFault("SysAllocStringLen")) return nullptr;
  // The byte length must fit the 32-bit prefix.
  if (ui > 0x7FFFFFFEu) return nullptr;
  size_t bytes = sizeof(uint32_t) + (static_cast<size_t>(ui) + 1) * sizeof(OLECHAR);
  char* block = static_cast<char*>(std::malloc(bytes));
  if (!block) return nullptr;
  *reinterpret_cast<uint32_t*>(block) = ui * 2u;
  BSTR text = reinterpret_cast<BSTR>(block + sizeof(uint32_t));
  // Without a source the characters are left for the caller to fill; winsim zeroes them.
  if (strIn) {
    std::memcpy(text, strIn, static_cast<size_t>(ui) * sizeof(OLECHAR));
  } else {
    std::memset(text, 0, static_cast<size_t>(ui) * sizeof(OLECHAR));
  }
  text[ui] = L'\0';
  return text;
}

BSTR WINAPI SysAllocString(const OLECHAR* psz) {
  if (winsim::CheckFault("SysAllocString")) return nullptr;
  if (!psz) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(std::wcslen(psz)));
}

void WINAPI SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  std::free(Prefix(bstrString));
}

UINT WINAPI SysStringLen(BSTR pbstr) { return pbstr ? *Prefix(pbstr) / 2u : 0u; }

UINT WINAPI SysStringByteLen(BSTR bstr) { return bstr ? *Prefix(bstr) : 0u; }
