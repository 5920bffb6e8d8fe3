// CreateEnvironmentBlock and DestroyEnvironmentBlock. What winsim relies on, from Microsoft's
// documentation: with a token the block holds the user's variables and the system's; without one,
// the system's only; bInherit adds the calling process's environment beneath them; a primary token
// needs TOKEN_QUERY and TOKEN_DUPLICATE access, an impersonation token TOKEN_QUERY. Process
// environment blocks are sorted by name without regard to case.
#include <algorithm>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "core/fault.h"
#include "core/identity.h"
#include "core/strings.h"
#include "security/token.h"
#include "userenv.h"
#include "windows.h"

namespace {

std::mutex g_blocksLock;
std::set<void*> g_blocks;

// The system's own variables: those of every account that do not name a user or a profile. Its
// temporary folder is the Windows folder's, as the machine-wide TEMP and TMP say.
std::map<std::wstring, std::wstring> SystemVariables() {
  std::map<std::wstring, std::wstring> env = winsim::DefaultWindowsEnvironment(winsim::SystemIdentity());
  env.erase(L"USERNAME");
  env.erase(L"USERPROFILE");
  return env;
}

void Put(std::vector<std::pair<std::wstring, std::wstring>>* vars, const std::wstring& name, const std::wstring& value) {
  for (auto& [key, existing] : *vars) {
    if (winsim::EqualsNoCase(key, name)) {
      existing = value;
      return;
    }
  }
  vars->emplace_back(name, value);
}

}  // namespace

BOOL WINAPI CreateEnvironmentBlock(LPVOID* lpEnvironment, HANDLE hToken, BOOL bInherit) {
  WINSIM_FAULT_BOOL("CreateEnvironmentBlock");
  if (!lpEnvironment) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<winsim::TokenObject> token;
  if (hToken) {
    token = winsim::TokenOfHandle(hToken);
    if (!token) return FALSE;
    DWORD needed = token->Type() == TokenPrimary ? (TOKEN_QUERY | TOKEN_DUPLICATE) : TOKEN_QUERY;
    if (!token->Grants(needed)) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
  }
  try {
    std::vector<std::pair<std::wstring, std::wstring>> vars;
    if (bInherit) {
      for (const auto& [name, value] : winsim::CurrentWindowsEnvironment()) Put(&vars, name, value);
    }
    for (const auto& [name, value] : SystemVariables()) Put(&vars, name, value);
    if (token) {
      for (const auto& [name, value] : winsim::DefaultWindowsEnvironment(token->GetIdentity())) Put(&vars, name, value);
    }
    std::sort(vars.begin(), vars.end(), [](const auto& a, const auto& b) {
      return winsim::UpperCase(a.first) < winsim::UpperCase(b.first);
    });
    std::vector<WCHAR> block;
    for (const auto& [name, value] : vars) {
      block.insert(block.end(), name.begin(), name.end());
      block.push_back(L'=');
      block.insert(block.end(), value.begin(), value.end());
      block.push_back(L'\0');
    }
    // An empty block still ends with two terminators.
    if (vars.empty()) block.push_back(L'\0');
    block.push_back(L'\0');
    WCHAR* out = new WCHAR[block.size()];
    std::copy(block.begin(), block.end(), out);
    std::lock_guard<std::mutex> lock(g_blocksLock);
    g_blocks.insert(out);
    *lpEnvironment = out;
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI DestroyEnvironmentBlock(LPVOID lpEnvironment) {
  WINSIM_FAULT_BOOL("DestroyEnvironmentBlock");
  {
    std::lock_guard<std::mutex> lock(g_blocksLock);
    if (!lpEnvironment || g_blocks.erase(lpEnvironment) == 0) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  delete[] static_cast<WCHAR*>(lpEnvironment);
  return TRUE;
}
