// winsim cert add-root|list|remove, winsim trust verify, winsim version show|set: the machine's
// trusted roots, a signature check as WinVerifyTrust makes it, and the Windows version it reports.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "command.h"
#include "core/identity.h"
#include "core/strings.h"
#include "kernel/version.h"
#include "process/peimage.h"
#include "softpub.h"
#include "trust/roots.h"
#include "windows.h"

namespace winsim::cli {
namespace {

int Cert(const Args& argsIn) {
  Args args = argsIn;
  if (args.empty()) return Fail("cert needs a sub-command: add-root, list, remove");
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "list") {
    for (const auto& root : trust::ListTrustedRoots()) {
      std::printf("%s  %s  (until %s)\n", root.thumbprint.c_str(), root.subject.c_str(), root.notAfter.c_str());
    }
    return 0;
  }
  // The local machine's Root store is the administrators' to change.
  if ((sub == "add-root" || sub == "remove") && !CurrentIdentity().IsPrivileged()) {
    return Fail("only an administrator may change the machine's trusted roots (error 5)");
  }
  if (sub == "add-root") {
    if (args.size() != 1) return Fail("usage: winsim cert add-root FILE");
    auto bytes = pe::ReadWholeFile(args[0]);
    if (!bytes) return Fail("cannot read " + args[0]);
    trust::TrustedRoot root;
    std::string error;
    if (!trust::AddTrustedRoot(*bytes, &root, &error)) return Fail(args[0] + ": " + error);
    std::printf("trusted root %s  %s\n", root.thumbprint.c_str(), root.subject.c_str());
    return 0;
  }
  if (sub == "remove") {
    if (args.size() != 1) return Fail("usage: winsim cert remove THUMBPRINT");
    if (!trust::RemoveTrustedRoot(args[0])) return Fail("no trusted root with thumbprint " + args[0]);
    std::printf("removed %s\n", args[0].c_str());
    return 0;
  }
  return Fail("unknown cert sub-command '" + sub + "'");
}

const char* ResultName(LONG result) {
  switch (result) {
    case ERROR_SUCCESS: return "trusted";
    case TRUST_E_NOSIGNATURE: return "TRUST_E_NOSIGNATURE";
    case TRUST_E_BAD_DIGEST: return "TRUST_E_BAD_DIGEST";
    case TRUST_E_SUBJECT_FORM_UNKNOWN: return "TRUST_E_SUBJECT_FORM_UNKNOWN";
    case TRUST_E_NO_SIGNER_CERT: return "TRUST_E_NO_SIGNER_CERT";
    case TRUST_E_CERT_SIGNATURE: return "TRUST_E_CERT_SIGNATURE";
    case CERT_E_UNTRUSTEDROOT: return "CERT_E_UNTRUSTEDROOT";
    case CERT_E_CHAINING: return "CERT_E_CHAINING";
    case CERT_E_EXPIRED: return "CERT_E_EXPIRED";
    case CERT_E_WRONG_USAGE: return "CERT_E_WRONG_USAGE";
    case CRYPT_E_BAD_MSG: return "CRYPT_E_BAD_MSG";
    default: return "not trusted";
  }
}

int Trust(const Args& args) {
  if (args.size() != 2 || args[0] != "verify") return Fail("usage: winsim trust verify FILE");
  std::wstring path = WideFromUtf8(args[1]);
  WINTRUST_FILE_INFO file{};
  file.cbStruct = sizeof(file);
  file.pcwszFilePath = path.c_str();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &file;
  data.dwStateAction = WTD_STATEACTION_IGNORE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  DWORD lastError = GetLastError();
  std::printf("0x%08X %s", static_cast<unsigned>(result), ResultName(result));
  if (result == TRUST_E_NOSIGNATURE && lastError != static_cast<DWORD>(TRUST_E_NOSIGNATURE)) {
    std::printf(" (error %u)", static_cast<unsigned>(lastError));
  }
  std::printf("\n");
  return result == ERROR_SUCCESS ? 0 : 1;
}

int Version(const Args& argsIn) {
  Args args = argsIn;
  if (args.empty() || args[0] == "show") {
    MachineVersion v = ReadMachineVersion();
    std::printf("%u.%u build %u service pack %u\n", v.major, v.minor, v.build, v.servicePackMajor);
    return 0;
  }
  if (args[0] != "set") return Fail("usage: winsim version show | set MAJOR.MINOR [--sp N] [--build B]");
  args.erase(args.begin());
  std::string sp = "0", build;
  TakeOption(args, "--sp", &sp);
  bool hasBuild = TakeOption(args, "--build", &build);
  unsigned major = 0, minor = 0;
  char extra = 0;
  if (args.size() != 1 || std::sscanf(args[0].c_str(), "%u.%u%c", &major, &minor, &extra) != 2) {
    return Fail("usage: winsim version set MAJOR.MINOR [--sp N] [--build B]");
  }
  if (!CurrentIdentity().IsPrivileged()) return Fail("only an administrator may change the machine's version (error 5)");
  unsigned long servicePack = std::strtoul(sp.c_str(), nullptr, 10);
  std::optional<uint32_t> buildNumber;
  if (hasBuild) buildNumber = static_cast<uint32_t>(std::strtoul(build.c_str(), nullptr, 10));
  SetMachineVersion(major, minor, static_cast<uint16_t>(servicePack), buildNumber);
  MachineVersion v = ReadMachineVersion();
  std::printf("%u.%u build %u service pack %u\n", v.major, v.minor, v.build, v.servicePackMajor);
  return 0;
}

Registrar certCommand({"cert", "winsim cert add-root FILE                   trust a root certificate (PEM or DER) on this machine\n"
                               "winsim cert list                           the machine's trusted roots\n"
                               "winsim cert remove THUMBPRINT              stop trusting a root", Cert});
Registrar trustCommand({"trust", "winsim trust verify FILE                   check a file's Authenticode signature as WinVerifyTrust does", Trust});
Registrar versionCommand({"version", "winsim version show                        the Windows version the machine reports\n"
                                     "winsim version set MAJOR.MINOR [--sp N] [--build B]\n"
                                     "                                           report another version (default 10.0)", Version});

}  // namespace
}  // namespace winsim::cli
