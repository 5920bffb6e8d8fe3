// Plays the service's side of the trust verification on a simulated machine, from wherever it is
// placed (the libraries are looked for in its own folder). Runs its arguments as steps, in order,
// and prints one line per step:
//   load                 GetInstance, then "load=<Load's result> entry=<ValidateAssembly bound>"
//   verify PATH          "verify=0x<ValidateAssembly's result>", or "verify=none" without the entry
//   digest PATH          "digest=<GetTrustedFileDigest>"
//   folder               "folder=<GetModuleDirectory>"
//   pause SIGNAL GO      from now on, the moment before LoadLibraryW creates SIGNAL and waits for GO
//   signal FILE | wait FILE
//   race N PATH          N threads at once: GetInstance and ValidateAssembly of PATH;
//                        "race=<threads that got 0>/N"
//   hooks                "hooks=<times Load reached the moment before LoadLibraryW>"
//   system               from now on runs as LocalSystem in the services session, as the service does
//   fault NAME ERROR     from now on the winsim function NAME fails with ERROR in this process
//   appx                 LaunchTorvexUtilityAppx: "appx=<result> exit=0x<exit code>"
//   command TEXT         LaunchAgentWithCommand(TEXT): "command"
//   create APP CMD DIR   CreateProcessInUserSession: "create=<result>", then, when it started
//                        something, "exit=0x<its exit code>" once it has ended
//   swap FROM            from now on, the moment before the agent's creation tries to open the agent
//                        for writing, to delete it and to replace it with FROM:
//                        "swap write=<error> delete=<error> replace=<error>" (0 when it succeeded)
// Log lines go to LaunchProbe.log in the log folder.
// Exit code 0, or 2 for a step it does not know, 3 when a wait times out.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/Log.h"
#include "core/fault.h"
#include "core/identity.h"
#include "launch/CertificateValidationLibrary.h"
#include "launch/UserSessionLaunch.h"

std::wstring g_wsModuleName = L"LaunchProbe";

namespace {

std::wstring g_wsPauseSignal;
std::wstring g_wsPauseGo;
std::atomic<int> g_nHookCalls{0};
std::wstring g_wsSwapFrom;

DWORD ErrorOf(BOOL bSucceeded) { return bSucceeded ? 0 : GetLastError(); }

void TrySwap(const std::wstring& wsAgentPath) {
  HANDLE hFile = CreateFileW(wsAgentPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD dwWrite = hFile == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
  DWORD dwDelete = ErrorOf(DeleteFileW(wsAgentPath.c_str()));
  DWORD dwReplace = ErrorOf(MoveFileExW(g_wsSwapFrom.c_str(), wsAgentPath.c_str(), MOVEFILE_REPLACE_EXISTING));
  std::printf("swap write=%lu delete=%lu replace=%lu\n", static_cast<unsigned long>(dwWrite),
              static_cast<unsigned long>(dwDelete), static_cast<unsigned long>(dwReplace));
  std::fflush(stdout);
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

void Signal(const std::wstring& wsPath) {
  HANDLE hFile = CreateFileW(wsPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
}

void WaitFor(const std::wstring& wsPath) {
  for (int i = 0; i < 6000; ++i) {
    if (GetFileAttributesW(wsPath.c_str()) != INVALID_FILE_ATTRIBUTES) return;
    Sleep(10);
  }
  std::printf("timeout waiting for %s\n", Narrow(wsPath).c_str());
  std::fflush(stdout);
  std::exit(3);
}

void BeforeLoadLibrary() {
  ++g_nHookCalls;
  if (!g_wsPauseSignal.empty()) {
    Signal(g_wsPauseSignal);
    WaitFor(g_wsPauseGo);
  }
}

int Verify(const std::wstring& wsPath) {
  PFN_VALIDATE_ASSEMBLY pfnValidateAssembly = CertificateValidationLibrary::GetInstance()->GetValidateAssembly();
  return pfnValidateAssembly ? pfnValidateAssembly(wsPath.c_str()) : -1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_pfnCertificateValidationBeforeLoadLibrary = BeforeLoadLibrary;
  for (int i = 1; i < argc; ++i) {
    std::wstring step = argv[i];
    auto operand = [&]() -> std::wstring {
      if (i + 1 >= argc) {
        std::printf("%s needs an operand\n", Narrow(step).c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (step == L"load") {
      CertificateValidationLibrary* pLibrary = CertificateValidationLibrary::GetInstance();
      bool bLoaded = pLibrary->Load();
      std::printf("load=%d entry=%d\n", bLoaded ? 1 : 0, pLibrary->GetValidateAssembly() ? 1 : 0);
    } else if (step == L"verify") {
      std::wstring wsPath = operand();
      PFN_VALIDATE_ASSEMBLY pfn = CertificateValidationLibrary::GetInstance()->GetValidateAssembly();
      if (pfn) {
        std::printf("verify=0x%08X\n", static_cast<unsigned>(pfn(wsPath.c_str())));
      } else {
        std::printf("verify=none\n");
      }
    } else if (step == L"digest") {
      std::printf("digest=%s\n", Narrow(GetTrustedFileDigest(operand())).c_str());
    } else if (step == L"folder") {
      std::printf("folder=%s\n", Narrow(GetModuleDirectory()).c_str());
    } else if (step == L"pause") {
      g_wsPauseSignal = operand();
      g_wsPauseGo = operand();
    } else if (step == L"signal") {
      Signal(operand());
    } else if (step == L"wait") {
      WaitFor(operand());
    } else if (step == L"race") {
      int nThreads = std::stoi(operand());
      std::wstring wsPath = operand();
      std::atomic<int> nReady{0}, nAccepted{0};
      std::vector<std::thread> threads;
      for (int t = 0; t < nThreads; ++t) {
        threads.emplace_back([&] {
          ++nReady;
          while (nReady.load() < nThreads) std::this_thread::yield();
          if (Verify(wsPath) == 0) ++nAccepted;
        });
      }
      for (auto& thread : threads) thread.join();
      std::printf("race=%d/%d\n", nAccepted.load(), nThreads);
    } else if (step == L"system") {
      winsim::SetCurrentIdentity(winsim::SystemIdentity());
    } else if (step == L"fault") {
      std::wstring wsName = operand();
      winsim::InjectFault(Narrow(wsName), static_cast<uint32_t>(std::wcstoul(operand().c_str(), nullptr, 0)));
    } else if (step == L"appx") {
      DWORD dwExitCode = 0xDEADBEEF;
      BOOL bResult = LaunchTorvexUtilityAppx(&dwExitCode);
      std::printf("appx=%d exit=0x%08lX\n", bResult ? 1 : 0, static_cast<unsigned long>(dwExitCode));
    } else if (step == L"command") {
      std::wstring wsText = operand();
      LaunchAgentWithCommand(wsText.c_str());
      std::printf("command\n");
    } else if (step == L"create") {
      std::wstring wsApplication = operand();
      std::wstring wsCommandLine = operand();
      std::wstring wsDirectory = operand();
      PROCESS_INFORMATION info = {};
      BOOL bCreated = CreateProcessInUserSession(wsApplication, wsCommandLine, wsDirectory, &info);
      std::printf("create=%d\n", bCreated ? 1 : 0);
      if (bCreated) {
        DWORD dwExitCode = 0;
        WaitForSingleObject(info.hProcess, INFINITE);
        GetExitCodeProcess(info.hProcess, &dwExitCode);
        std::printf("exit=0x%08lX\n", static_cast<unsigned long>(dwExitCode));
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
      }
    } else if (step == L"swap") {
      g_wsSwapFrom = operand();
      g_pfnBeforeAgentProcessCreation = TrySwap;
    } else if (step == L"hooks") {
      std::printf("hooks=%d\n", g_nHookCalls.load());
    } else {
      std::printf("unknown step %s\n", Narrow(step).c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
