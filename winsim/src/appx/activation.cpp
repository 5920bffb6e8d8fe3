#include "appx/activation.h"

#include <sys/stat.h>

#include <string>

#include "appx/packages.h"
#include "core/identity.h"
#include "core/paths.h"
#include "core/strings.h"
#include "process/process.h"
#include "process/startup.h"
#include "security/capability.h"
#include "security/sid.h"
#include "shobjidl.h"
#include "winerror.h"

namespace winsim::appx {
namespace {

constexpr DWORD kKnownOptions = AO_DESIGNMODE | AO_NOERRORUI | AO_NOSPLASHSCREEN | AO_PRELAUNCH;

// The instance of the app already running for this user in this session, if any.
std::optional<int64_t> RunningInstance(const InstalledPackage& package, const Identity& caller) {
  for (const auto& p : ListProcesses(true)) {
    if (p.sessionId == caller.sessionId && p.sid == caller.sid && EqualsNoCase(p.imagePath, package.executable)) {
      return p.pid;
    }
  }
  return std::nullopt;
}

}  // namespace

HRESULT ActivateApplicationForCaller(LPCWSTR appUserModelId, LPCWSTR arguments, DWORD options, DWORD* processId) {
  if (processId) *processId = 0;
  if (!appUserModelId || !processId || (options & ~kKnownOptions) != 0) return E_INVALIDARG;
  if (options & AO_DESIGNMODE) return E_NOTIMPL;

  // Windows answers E_APPLICATION_NOT_REGISTERED (0x80270254) for a user model id that names no
  // app registered for the caller, a wrong app id after the "!" among them.
  std::wstring aumid = appUserModelId;
  size_t bang = aumid.find(L'!');
  if (bang == std::wstring::npos || bang == 0 || bang + 1 == aumid.size()) return E_APPLICATION_NOT_REGISTERED;
  std::wstring family = aumid.substr(0, bang);
  std::wstring appId = aumid.substr(bang + 1);
  const Identity caller = CurrentIdentity();
  std::optional<InstalledPackage> package;
  for (auto& p : PackagesOfFamily(caller.sid, family)) {
    if (EqualsNoCase(p.applicationId, appId)) {
      package = p;
      break;
    }
  }
  if (!package) return E_APPLICATION_NOT_REGISTERED;

  if (auto running = RunningInstance(*package, caller)) {
    *processId = static_cast<DWORD>(*running);
    return S_OK;
  }

  auto linuxProgram = LinuxPathOf(package->executable);
  struct stat st;
  if (!linuxProgram || stat(linuxProgram->c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
      CheckProgramImage(*linuxProgram) != ImageCheck::Runnable) {
    return E_APPLICATION_ACTIVATION_EXEC_FAILURE;
  }
  Identity app = caller;
  app.capabilitySids = {security::SidToString(security::DeriveCapabilitySid(package->familyName))};
  app.appContainerSid = PackageSidOfFamily(package->familyName);

  SpawnRequest request;
  request.linuxPath = *linuxProgram;
  request.windowsImage = package->executable;
  request.commandLine = L"\"" + package->executable + L"\"";
  if (arguments && *arguments) request.commandLine += L" " + std::wstring(arguments);
  request.identity = app;
  request.windowsEnv = DefaultWindowsEnvironment(app);
  std::wstring temp = package->dataFolder + L"\\AC\\Temp";
  request.windowsEnv[L"TEMP"] = temp;
  request.windowsEnv[L"TMP"] = temp;
  request.currentDirectory = package->installFolder;
  // The app belongs to the session, not to its activator: it outlives the caller.
  request.detach = true;
  pid_t pid = SpawnProcess(request);
  if (pid < 0) return E_APPLICATION_ACTIVATION_EXEC_FAILURE;
  if (WaitUntilStarted(pid) == StartOutcome::NotExecuted) return E_APPLICATION_ACTIVATION_EXEC_FAILURE;
  *processId = static_cast<DWORD>(pid);
  return S_OK;
}

}  // namespace winsim::appx
