// winsim package: install, remove and list the app packages registered for the machine's users
// (appx/packages.h says what an install does).
#include <cstdio>
#include <filesystem>

#include "appx/packages.h"
#include "command.h"
#include "core/paths.h"
#include "core/strings.h"

namespace winsim::cli {
namespace {

const char* kUsage =
    "usage: winsim package install --user NAME FAMILY [--exe PROGRAM] [--version V] [--arch A] [--app ID]\n"
    "                              [--publisher P] [--resource-id R]\n"
    "       winsim package remove --user NAME FAMILY\n"
    "       winsim package list [--user NAME]";

// A program given as a Windows path of the machine or as a Linux path.
std::string ProgramPath(const std::string& given) {
  std::wstring wide = WideFromUtf8(given);
  if (wide.size() >= 3 && wide[1] == L':') {
    if (auto linux = LinuxPathOf(wide)) return *linux;
    return given;
  }
  return std::filesystem::absolute(given).string();
}

void Print(const appx::InstalledPackage& p) {
  std::printf("%-12s %-60s %s!%s %s\n", Utf8FromWide(p.userName).c_str(), Utf8FromWide(p.fullName).c_str(),
              Utf8FromWide(p.familyName).c_str(), Utf8FromWide(p.applicationId).c_str(),
              Utf8FromWide(p.executable).c_str());
}

int Install(Args args) {
  appx::InstallRequest request;
  std::string user, exe, version, arch, app, publisher, resource;
  TakeOption(args, "--user", &user);
  bool hasExe = TakeOption(args, "--exe", &exe);
  if (TakeOption(args, "--version", &version)) request.version = WideFromUtf8(version);
  if (TakeOption(args, "--arch", &arch)) request.architecture = WideFromUtf8(arch);
  if (TakeOption(args, "--app", &app)) request.applicationId = WideFromUtf8(app);
  if (TakeOption(args, "--publisher", &publisher)) request.publisher = WideFromUtf8(publisher);
  if (TakeOption(args, "--resource-id", &resource)) request.resourceId = WideFromUtf8(resource);
  if (user.empty() || args.size() != 1) return Fail(kUsage);
  request.userName = WideFromUtf8(user);
  request.familyName = WideFromUtf8(args[0]);
  request.programPath = hasExe ? ProgramPath(exe) : CommandFolder() + "/Utility.exe";
  auto r = appx::InstallPackage(request);
  if (!r.ok) return Fail(r.error);
  for (auto& p : r.packages) {
    std::printf("package %s installed for %s: app %s!%s, program %s\n", Utf8FromWide(p.fullName).c_str(),
                Utf8FromWide(p.userName).c_str(), Utf8FromWide(p.familyName).c_str(),
                Utf8FromWide(p.applicationId).c_str(), Utf8FromWide(p.executable).c_str());
  }
  return 0;
}

int Remove(Args args) {
  std::string user;
  TakeOption(args, "--user", &user);
  if (user.empty() || args.size() != 1) return Fail(kUsage);
  auto r = appx::RemovePackage(WideFromUtf8(user), WideFromUtf8(args[0]));
  if (!r.ok) return Fail(r.error);
  for (auto& p : r.packages) {
    std::printf("package %s removed for %s\n", Utf8FromWide(p.fullName).c_str(), Utf8FromWide(p.userName).c_str());
  }
  return 0;
}

int List(Args args) {
  std::string user;
  TakeOption(args, "--user", &user);
  if (!args.empty()) return Fail(kUsage);
  std::printf("%-12s %-60s %s %s\n", "USER", "FULL NAME", "APP USER MODEL ID", "PROGRAM");
  for (auto& p : appx::ListPackages(WideFromUtf8(user))) Print(p);
  return 0;
}

int Package(const Args& argsIn) {
  Args args = argsIn;
  if (args.empty()) return Fail(kUsage);
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "install") return Install(args);
  if (sub == "remove") return Remove(args);
  if (sub == "list") return List(args);
  return Fail("unknown package sub-command '" + sub + "'\n" + kUsage);
}

Registrar packageCommand({"package",
                          "winsim package install --user NAME FAMILY [--exe PROGRAM] [--version V] [--arch A]\n"
                          "                       [--app ID] [--publisher P] [--resource-id R]\n"
                          "                                           install an app package for a user (the\n"
                          "                                           program defaults to the build's Utility.exe)\n"
                          "winsim package remove --user NAME FAMILY   remove the user's packages of that family\n"
                          "winsim package list [--user NAME]          the registered packages",
                          Package});

}  // namespace
}  // namespace winsim::cli
