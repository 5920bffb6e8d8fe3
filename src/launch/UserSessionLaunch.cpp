// Starting programs in the console user's session. Facts relied on (Microsoft's pages on
// WTSQueryUserToken, DuplicateTokenEx, CreateEnvironmentBlock, CreateProcessAsUserW,
// GetModuleFileNameW, GetExitCodeProcess and CreateFileW): WTSQueryUserToken fails when nobody is
// signed in in the session; an unquoted program path with blanks is tried blank by blank
// ("C:\Program.exe" first), a quoted one is taken as it stands, and an application name is used as
// given; GetModuleFileNameW returns the buffer's size when the path did not fit (cut, terminated);
// a file held open with FILE_SHARE_READ alone cannot be opened for writing, deleted or renamed by
// anyone else until that handle closes (ERROR_SHARING_VIOLATION), while read-only opens still work.
#include "launch/UserSessionLaunch.h"

#include <userenv.h>
#include <wtsapi32.h>

#include "common/Log.h"
#include "launch/CertificateValidationLibrary.h"

void (*g_pfnBeforeAgentProcessCreation)(const std::wstring& wsAgentPath) = nullptr;

namespace {

// Closes a kernel handle (token, process, thread, file) on every path.
class CHandle {
 public:
  explicit CHandle(HANDLE h = nullptr) : m_h(h) {}
  CHandle(const CHandle&) = delete;
  CHandle& operator=(const CHandle&) = delete;
  ~CHandle() { Close(); }
  void Close() {
    if (IsValid()) CloseHandle(m_h);
    m_h = nullptr;
  }
  HANDLE Get() const { return m_h; }
  HANDLE* Put() { return &m_h; }
  bool IsValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_h;
};

class CEnvironmentBlock {
 public:
  CEnvironmentBlock() = default;
  CEnvironmentBlock(const CEnvironmentBlock&) = delete;
  CEnvironmentBlock& operator=(const CEnvironmentBlock&) = delete;
  ~CEnvironmentBlock() {
    if (m_pBlock) DestroyEnvironmentBlock(m_pBlock);
  }
  LPVOID* Put() { return &m_pBlock; }
  LPVOID Get() const { return m_pBlock; }

 private:
  LPVOID m_pBlock = nullptr;
};

// A path, command line or directory copied into its MAX_PATH buffer; a longer one would not fit.
bool FitsBuffer(const wchar_t* pwszWhat, const std::wstring& wsText) {
  if (wsText.size() <= USER_SESSION_LAUNCH_MAX_LENGTH) return true;
  WriteLog(L"", 1, LOG_LEVEL_ERROR, L"CreateProcessInUserSession %s is too long: %u characters, at most %u\n", pwszWhat,
           static_cast<unsigned>(wsText.size()), static_cast<unsigned>(USER_SESSION_LAUNCH_MAX_LENGTH));
  return false;
}

}  // namespace

BOOL CreateProcessInUserSession(std::wstring wsApplicationName, std::wstring wsCommandLine,
                                std::wstring wsCurrentDirectory, PROCESS_INFORMATION* pProcessInfo) {
  if (pProcessInfo == nullptr) return FALSE;
  if (!FitsBuffer(L"application name", wsApplicationName) || !FitsBuffer(L"command line", wsCommandLine) ||
      !FitsBuffer(L"current directory", wsCurrentDirectory)) {
    return FALSE;
  }
  wchar_t szApplicationName[MAX_PATH] = {};
  wchar_t szCommandLine[MAX_PATH] = {};
  wchar_t szCurrentDirectory[MAX_PATH] = {};
  wsApplicationName.copy(szApplicationName, wsApplicationName.size());
  wsCommandLine.copy(szCommandLine, wsCommandLine.size());
  wsCurrentDirectory.copy(szCurrentDirectory, wsCurrentDirectory.size());

  DWORD dwSessionId = WTSGetActiveConsoleSessionId();
  if (dwSessionId == 0xFFFFFFFF) return FALSE;
  CHandle hUserToken;
  if (!WTSQueryUserToken(dwSessionId, hUserToken.Put())) return FALSE;
  CHandle hPrimaryToken;
  if (!DuplicateTokenEx(hUserToken.Get(), 0, nullptr, SecurityImpersonation, TokenPrimary, hPrimaryToken.Put())) {
    return FALSE;
  }
  CEnvironmentBlock environment;
  if (!CreateEnvironmentBlock(environment.Put(), hPrimaryToken.Get(), FALSE)) return FALSE;

  STARTUPINFOW startupInfo = {};
  startupInfo.cb = sizeof(startupInfo);
  wchar_t szDesktop[] = USER_SESSION_DESKTOP;
  startupInfo.lpDesktop = szDesktop;
  PROCESS_INFORMATION processInfo = {};
  BOOL bCreated = CreateProcessAsUserW(
      hPrimaryToken.Get(), wsApplicationName.empty() ? nullptr : szApplicationName,
      wsCommandLine.empty() ? nullptr : szCommandLine, nullptr, nullptr, FALSE,
      CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS | CREATE_UNICODE_ENVIRONMENT, environment.Get(),
      wsCurrentDirectory.empty() ? nullptr : szCurrentDirectory, &startupInfo, &processInfo);
  // Taken before the clean-up, which may change it.
  DWORD dwError = bCreated ? ERROR_SUCCESS : GetLastError();
  if (!bCreated) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"CreateProcessInUserSession CreateProcessAsUser() return fail, error: %d",
             static_cast<int>(dwError));
    return FALSE;
  }
  *pProcessInfo = processInfo;
  return TRUE;
}

BOOL GetAgentPath(std::wstring& wsAgentPath) {
  wchar_t szModulePath[MAX_PATH] = {};
  DWORD dwLength = GetModuleFileNameW(nullptr, szModulePath, MAX_PATH);
  if (dwLength == 0) return FALSE;
  // A result that fills the buffer is a path cut short: the agent would be looked for elsewhere.
  if (dwLength >= MAX_PATH) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  std::wstring wsModulePath(szModulePath, dwLength);
  size_t nSlash = wsModulePath.find_last_of(L'\\');
  if (nSlash == std::wstring::npos) {
    SetLastError(ERROR_BAD_PATHNAME);
    return FALSE;
  }
  wsAgentPath = wsModulePath.substr(0, nSlash) + L"\\" AGENT_IMAGE_NAME;
  return TRUE;
}

BOOL LaunchTorvexUtilityAppx(DWORD* pdwExitCode) {
  DWORD dwIgnored = 0;
  if (pdwExitCode == nullptr) pdwExitCode = &dwIgnored;
  *pdwExitCode = 0;

  std::wstring wsAgentPath;
  if (!GetAgentPath(wsAgentPath)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"LaunchTorvexUtilityAppx GetModuleFileName() return fail, error: %d",
             static_cast<int>(GetLastError()));
    return FALSE;
  }

  // Held from before the verdict until the process has been created, so that the file judged is
  // the file that runs: nobody can write, replace or delete it in between.
  CHandle hAgentFile(CreateFileW(wsAgentPath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
  PFN_VALIDATE_ASSEMBLY pfnValidateAssembly = CertificateValidationLibrary::GetInstance()->GetValidateAssembly();
  if (!hAgentFile.IsValid() || pfnValidateAssembly == nullptr || pfnValidateAssembly(wsAgentPath.c_str()) != 0) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"Launch Utility   Quenlet not signature exe  \n");
    return FALSE;
  }
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"Launch Utility Quenlet exe were  signature  \n");
  if (g_pfnBeforeAgentProcessCreation) g_pfnBeforeAgentProcessCreation(wsAgentPath);

  // Quoted, and named as the application too: the verified file is the program, whatever blanks
  // its folder has.
  std::wstring wsCommandLine = L"\"" + wsAgentPath + L"\"" AGENT_ACTIVATION_COMMAND;
  PROCESS_INFORMATION processInfo = {};
  BOOL bCreated = CreateProcessInUserSession(wsAgentPath, wsCommandLine, std::wstring(), &processInfo);
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"LaunchTorvexUtilityAppx Create \"%s\" process %s\n", AGENT_IMAGE_NAME,
           bCreated ? L"success." : L"failure!");
  hAgentFile.Close();
  if (!bCreated) return FALSE;

  CHandle hProcess(processInfo.hProcess);
  CHandle hThread(processInfo.hThread);
  if (WaitForSingleObject(hProcess.Get(), INFINITE) != WAIT_OBJECT_0) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"LaunchTorvexUtilityAppx WaitForSingleObject() return fail, error: %d\n",
             static_cast<int>(GetLastError()));
    return FALSE;
  }
  DWORD dwExitCode = 0;
  if (!GetExitCodeProcess(hProcess.Get(), &dwExitCode)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"LaunchTorvexUtilityAppx GetExitCodeProcess() return fail, error: %d\n",
             static_cast<int>(GetLastError()));
    return FALSE;
  }
  *pdwExitCode = dwExitCode;
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"LaunchTorvexUtilityAppx \"%s\" process exit, It's return code is 0x%x\n",
           AGENT_IMAGE_NAME, dwExitCode);
  return TRUE;
}

void LaunchAgentWithCommand(const wchar_t* pwszCommand) {
  if (pwszCommand == nullptr) return;
  std::wstring wsAgentPath;
  if (!GetAgentPath(wsAgentPath)) return;
  // The agent's path quoted, so that a folder with blanks cannot start another program first; the
  // command text follows exactly as received.
  std::wstring wsCommandLine = L"\"" + wsAgentPath + L"\"" AGENT_LAUNCH_COMMAND + std::wstring(pwszCommand);
  PROCESS_INFORMATION processInfo = {};
  if (!CreateProcessInUserSession(std::wstring(), wsCommandLine, std::wstring(), &processInfo)) return;
  CloseHandle(processInfo.hThread);
  CloseHandle(processInfo.hProcess);
}
