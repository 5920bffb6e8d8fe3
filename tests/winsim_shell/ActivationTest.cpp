// The application activation manager: an installed package's app started in the caller's session
// with the arguments given, as an app container process with the package's capability; the
// failures for packages that the caller does not have.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ShellTest.h"
#include "appx/packages.h"
#include "core/fault.h"
#include "objbase.h"
#include "security/capability.h"
#include "security/sid.h"
#include "shobjidl.h"
#include "windows.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

const std::string kFamilyText = "R3185527.TorvexUtility_7mvd2kx9qhe3b";

class ActivationTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    WinsimOk({"session", "logon", "alice"});
  }

  // One activation on this thread, the way an agent does it: join the multithreaded apartment,
  // create the manager, activate, release, leave.
  HRESULT Activate(const wchar_t* aumid, const wchar_t* arguments, DWORD* pid, DWORD options = AO_NONE) {
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(hr)) return hr;
    IApplicationActivationManager* manager = nullptr;
    hr = CoCreateInstance(CLSID_ApplicationActivationManager, nullptr, CLSCTX_INPROC_SERVER,
                          IID_IApplicationActivationManager, reinterpret_cast<void**>(&manager));
    if (SUCCEEDED(hr)) {
      hr = manager->ActivateApplication(aumid, arguments, static_cast<ACTIVATEOPTIONS>(options), pid);
      manager->Release();
    }
    CoUninitialize();
    return hr;
  }

  std::string Quoted(const std::wstring& path) { return "\"" + Utf8FromWide(path) + "\""; }
};

TEST_F(ActivationTest, StartsTheAppInTheCallersSessionWithTheArguments) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  RunAsUser(L"alice", 1);
  struct Case {
    const wchar_t* arguments;
    std::string commandLine;
  } cases[] = {
      {L" /NOTSHOWOSD", Quoted(kProgram) + "  /NOTSHOWOSD"},
      {nullptr, Quoted(kProgram)},
      {L"", Quoted(kProgram)},
      {L"--two \"quoted words\"", Quoted(kProgram) + " --two \"quoted words\""},
  };
  for (const auto& c : cases) {
    DWORD pid = 0;
    ASSERT_EQ(Activate(kAumid, c.arguments, &pid), S_OK);
    auto record = FindProcess(pid);
    ASSERT_TRUE(record.has_value());
    EXPECT_TRUE(record->running);
    EXPECT_EQ(record->imagePath, kProgram);
    EXPECT_EQ(record->imageName, L"Utility.exe");
    EXPECT_EQ(record->sessionId, 1u);
    EXPECT_EQ(record->userName, L"alice");
    EXPECT_EQ(record->sid, FindUserAccount(L"alice")->sid);
    EXPECT_EQ(RecordedCommandLine("Utility", pid), c.commandLine);
    kill(static_cast<pid_t>(pid), SIGKILL);
    waitpid(static_cast<pid_t>(pid), nullptr, 0);
  }
}

// The app runs in an app container: its token carries the package SID of its family and the
// capability SID derived from the family name, which the service's access list admits.
TEST_F(ActivationTest, TheAppCarriesThePackageCapability) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  RunAsUser(L"alice", 1);
  DWORD pid = 0;
  ASSERT_EQ(Activate(kAumid, L" /NOTSHOWOSD", &pid), S_OK);
  EXPECT_EQ(EnvironmentOf(pid, "WINSIM_CAPABILITIES"),
            security::SidToString(security::DeriveCapabilitySid(kFamily)));
  EXPECT_EQ(EnvironmentOf(pid, "WINSIM_CAPABILITIES").rfind("S-1-15-3-1024-", 0), 0u);
  EXPECT_EQ(EnvironmentOf(pid, "WINSIM_APPCONTAINER_SID"), appx::PackageSidOfFamily(kFamily));
  // Its temporary folder is the package's, its current folder the install folder.
  EXPECT_EQ(EnvironmentOf(pid, "WINSIM_ENV_TEMP"),
            "C:\\Users\\alice\\AppData\\Local\\Packages\\" + kFamilyText + "\\AC\\Temp");
  EXPECT_EQ(CurrentFolderOf(pid), L"C:\\Program Files\\WindowsApps\\" + std::wstring(kFullName));
}

// Like the store's apps, the app has one instance per user session: a second activation while it
// runs gives the same process.
TEST_F(ActivationTest, OneInstancePerSession) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  WinsimOk({"package", "install", "--user", "bob", kFamilyText});
  WinsimOk({"session", "logon", "bob", "--remote"});
  RunAsUser(L"alice", 1);
  DWORD first = 0, second = 0, bobs = 0;
  ASSERT_EQ(Activate(kAumid, L" /NOTSHOWOSD", &first), S_OK);
  ASSERT_EQ(Activate(kAumid, nullptr, &second), S_OK);
  EXPECT_EQ(second, first);
  EXPECT_EQ(Running(L"Utility.exe").size(), 1u);
  RunAsUser(L"bob", 2);
  ASSERT_EQ(Activate(kAumid, nullptr, &bobs), S_OK);
  EXPECT_NE(bobs, first);
  EXPECT_EQ(FindProcess(bobs)->sessionId, 2u);
  EXPECT_EQ(Running(L"Utility.exe").size(), 2u);
  // Once it has ended, an activation starts it again.
  kill(static_cast<pid_t>(first), SIGKILL);
  waitpid(static_cast<pid_t>(first), nullptr, 0);
  RunAsUser(L"alice", 1);
  DWORD third = 0;
  ASSERT_EQ(Activate(kAumid, nullptr, &third), S_OK);
  EXPECT_NE(third, first);
}

struct RefusalCase {
  const char* name;
  const char* installFor;  // who has the package; nullptr: nobody
  const wchar_t* aumid;
  DWORD options;
  bool nullPid;
  HRESULT expected;
};

class RefusalTable : public ActivationTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTable, NothingStarts) {
  const RefusalCase& c = GetParam();
  if (c.installFor) WinsimOk({"package", "install", "--user", c.installFor, kFamilyText});
  RunAsUser(L"alice", 1);
  DWORD pid = 77;
  EXPECT_EQ(Activate(c.aumid, L" /NOTSHOWOSD", c.nullPid ? nullptr : &pid, c.options), c.expected);
  if (!c.nullPid) {
    EXPECT_EQ(pid, 0u);
  }
  EXPECT_TRUE(Running(L"Utility.exe").empty());
}

INSTANTIATE_TEST_SUITE_P(
    ActivateApplication, RefusalTable,
    ::testing::Values(
        RefusalCase{"NotInstalled", nullptr, kAumid, AO_NONE, false, E_APPLICATION_NOT_REGISTERED},
        RefusalCase{"InstalledForAnotherUserOnly", "bob", kAumid, AO_NONE, false, E_APPLICATION_NOT_REGISTERED},
        RefusalCase{"AnotherAppOfThePackage", "alice", L"R3185527.TorvexUtility_7mvd2kx9qhe3b!Other", AO_NONE, false,
                    E_APPLICATION_NOT_REGISTERED},
        RefusalCase{"FamilyWithoutAppId", "alice", L"R3185527.TorvexUtility_7mvd2kx9qhe3b", AO_NONE, false,
                    E_APPLICATION_NOT_REGISTERED},
        RefusalCase{"EmptyAppId", "alice", L"R3185527.TorvexUtility_7mvd2kx9qhe3b!", AO_NONE, false,
                    E_APPLICATION_NOT_REGISTERED},
        RefusalCase{"NoUserModelId", "alice", nullptr, AO_NONE, false, E_INVALIDARG},
        RefusalCase{"NoProcessId", "alice", kAumid, AO_NONE, true, E_INVALIDARG},
        RefusalCase{"UnknownOption", "alice", kAumid, 0x8, false, E_INVALIDARG},
        RefusalCase{"DesignMode", "alice", kAumid, AO_DESIGNMODE, false, E_NOTIMPL}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

// The documented options that only shape what the user sees change nothing here.
TEST_F(ActivationTest, OptionsWithoutWindowsEffect) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  RunAsUser(L"alice", 1);
  DWORD pid = 0;
  ASSERT_EQ(Activate(kAumid, nullptr, &pid, AO_NOERRORUI | AO_NOSPLASHSCREEN | AO_PRELAUNCH), S_OK);
  EXPECT_TRUE(FindProcess(pid)->running);
}

// A package whose program cannot run: the activation fails with the exec failure, and the package
// stays registered.
TEST_F(ActivationTest, AProgramThatCannotStart) {
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  std::string program = MachinePath("drives/c/Program Files/WindowsApps/" + Utf8FromWide(kFullName) + "/Utility.exe");
  std::ofstream(program, std::ios::trunc) << "this is no program";
  RunAsUser(L"alice", 1);
  DWORD pid = 5;
  EXPECT_EQ(Activate(kAumid, nullptr, &pid), E_APPLICATION_ACTIVATION_EXEC_FAILURE);
  EXPECT_EQ(pid, 0u);
  fs::remove(program);
  EXPECT_EQ(Activate(kAumid, nullptr, &pid), E_APPLICATION_ACTIVATION_EXEC_FAILURE);
  EXPECT_TRUE(Running(L"Utility.exe").empty());
}

// Installing the package makes a failing activation succeed, without anything else changing: the
// road of an agent that failed and a check that comes back later.
TEST_F(ActivationTest, InstallingThePackageLetsTheNextActivationSucceed) {
  RunAsUser(L"alice", 1);
  DWORD pid = 0;
  EXPECT_EQ(Activate(kAumid, L" /NOTSHOWOSD", &pid), E_APPLICATION_NOT_REGISTERED);
  WinsimOk({"package", "install", "--user", "alice", kFamilyText});
  EXPECT_EQ(Activate(kAumid, L" /NOTSHOWOSD", &pid), S_OK);
  EXPECT_NE(pid, 0u);
  WinsimOk({"package", "remove", "--user", "alice", kFamilyText});
  kill(static_cast<pid_t>(pid), SIGKILL);
  waitpid(static_cast<pid_t>(pid), nullptr, 0);
  EXPECT_EQ(Activate(kAumid, L" /NOTSHOWOSD", &pid), E_APPLICATION_NOT_REGISTERED);
}

}  // namespace
}  // namespace winsim::test
