// The main road of the installed system, end to end, on fresh machines: a console logon, 120 s later
// the check, the verified agent started in the user's session, the app activated or the Packages
// folder watched. Each story runs the real installed programs; time is scaled.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "InstalledSystem.h"
#include "trust/roots.h"

namespace winsim::test {
namespace {

namespace fs = std::filesystem;

// The service is registered with its path in quotes: a C:\Program.exe planted later is never what
// the control manager starts for it, though the installed path holds a blank.
TEST_F(InstalledSystemTest, TheInstalledServiceIsNotHijackedThroughItsBlank) {
  Install();
  std::filesystem::copy_file(BinPath("Utility.exe"), MachinePath("drives/c/Program.exe"));
  Start();
  bool installed = false;
  for (auto& p : ListProcesses(true)) {
    EXPECT_NE(p.imagePath, L"C:\\Program.exe");
    if (p.imagePath == L"C:\\Program Files\\Torvex\\Utility\\TorvexUtilityService.exe") installed = p.sessionId == 0;
  }
  EXPECT_TRUE(installed);
  EXPECT_FALSE(std::filesystem::exists(MachinePath("drives/c/ProgramData/Utility")));
}

// A user with the app's package installed logs on: one check, the agent accepted, started in her
// session, the app activated with " /NOTSHOWOSD", the check marked done; the next logon arms nothing.
TEST_F(InstalledSystemTest, MainRoadWithThePackageInstalled) {
  InstallPackage("alice");
  Install();
  Start();
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForChecks(1));

  auto service = ServiceLogMessages();
  // One run of the check, opened and closed on one thread.
  std::vector<std::string> ids;
  std::regex edge(R"(\[INFO\] ::UtilityPackageCheckDelayTimerCallback  (\+|-){21} (\d+) (\+|-){21} )");
  for (auto& m : service) {
    std::smatch match;
    if (std::regex_match(m, match, edge)) ids.push_back(match[2]);
  }
  ASSERT_EQ(ids.size(), 2u);
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_EQ(CountPrefix(service, kCheckOpened), 1);

  // The whole run, in order, from the key's creation to the check marked done.
  std::vector<std::string> expected = {
      CheckCountSet(0),
      kCheck + "The \"Utility.exe\" process is exist: False.",
      kCheck + "The \"R3185527.TorvexUtility_7mvd2kx9qhe3b\" folder is exist: True.",
      kAccepted,
      kCreated,
      AgentExit("0x0"),
      CheckCountSet(1),
  };
  auto at = service.begin();
  for (auto& line : expected) {
    at = std::find(at, service.end(), line);
    ASSERT_NE(at, service.end()) << "missing, or out of order: " << line;
  }
  EXPECT_EQ(Count(service, kWatcherCreated), 0);

  // The agent's one run, as the service's folder holds it, as alice in the console session.
  auto agents = AgentProcesses();
  ASSERT_EQ(agents.size(), 1u);
  EXPECT_EQ(agents[0].imagePath, L"C:\\Program Files\\Torvex\\Utility\\Quenlet.exe");
  EXPECT_EQ(agents[0].userName, L"alice");
  EXPECT_EQ(agents[0].sessionId, 1u);
  EXPECT_EQ(agents[0].exitCode, std::optional<uint32_t>(0));
  auto agent = AgentMessages();
  EXPECT_EQ(agent, (std::vector<std::string>{Preloaded(true), ActivationStatus(true)}));

  // The app runs in the console session with the argument text.
  auto apps = RunningApps();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].session, 1u);
  EXPECT_EQ(apps[0].user, "alice");
  EXPECT_TRUE(apps[0].commandLine.ends_with("\\Utility.exe\"  /NOTSHOWOSD")) << apps[0].commandLine;
  EXPECT_EQ(CheckCount(), "0x1");

  // The service itself runs from the installed folder.
  bool serviceFromFolder = false;
  for (auto& p : ListProcesses(true)) {
    if (p.imagePath == L"C:\\Program Files\\Torvex\\Utility\\TorvexUtilityService.exe") serviceFromFolder = p.sessionId == 0;
  }
  EXPECT_TRUE(serviceFromFolder);

  // Her next logon arms nothing.
  Command({"session", "logoff", "alice"});
  Command({"session", "logon", "alice"});
  std::this_thread::sleep_for(std::chrono::milliseconds(3000));  // past the scaled 120 s
  service = ServiceLogMessages();
  EXPECT_EQ(Count(service, "[INFO] ::OnServiceControlHandle schedule user logon delay timer for 120s"), 1);
  EXPECT_EQ(CountPrefix(service, kCheckOpened), 1);
  EXPECT_EQ(AgentProcesses().size(), 1u);
}

// Without the package the agent answers 4 and the Packages folder is watched; installing the
// package creates the app's folder, and 30 s later a new check activates the app and ends the watch.
TEST_F(InstalledSystemTest, PackageMissingThenInstalled) {
  Install();
  Start();
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForChecks(1));

  auto service = ServiceLogMessages();
  EXPECT_EQ(Count(service, kCheck + "The \"R3185527.TorvexUtility_7mvd2kx9qhe3b\" folder is exist: False."), 1);
  EXPECT_EQ(Count(service, kAccepted), 1);
  EXPECT_EQ(Count(service, AgentExit("0x4")), 1);
  EXPECT_EQ(Count(service, kWatcherCreated), 1);
  EXPECT_EQ(Count(service, kWatched), 1);
  EXPECT_EQ(Count(service, CheckCountSet(1)), 0);
  EXPECT_EQ(CheckCount(), "0x0");
  EXPECT_EQ(AgentMessages(), std::vector<std::string>{Preloaded(false)});
  EXPECT_TRUE(RunningApps().empty());

  InstallPackage("alice");
  ASSERT_TRUE(WaitForChecks(2));
  service = ServiceLogMessages();
  // The watcher saw the folder and armed the timer; the new check found the package.
  std::string notified =
      "[INFO] ::DirectoryChangesNotify directory watcher notify is received, schedule a delay timer for 30s";
  auto note = std::find(service.begin(), service.end(), notified);
  ASSERT_NE(note, service.end());
  auto second = std::find_if(note, service.end(), [](const std::string& m) { return m.rfind(kCheckOpened, 0) == 0; });
  ASSERT_NE(second, service.end());
  EXPECT_NE(std::find(second, service.end(), AgentExit("0x0")), service.end());
  EXPECT_NE(std::find(second, service.end(), CheckCountSet(1)), service.end());
  EXPECT_NE(std::find(second, service.end(), kWatcherDestroyed), service.end());
  EXPECT_EQ(Count(service, kWatcherCreated), 1);
  EXPECT_EQ(CheckCount(), "0x1");
  auto apps = RunningApps();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].session, 1u);
}

// Activation that fails every time, by a fault injected in the agent's process: three "False"
// lines 30 s apart, the last HRESULT as the agent's exit code, reported by the service in hex.
struct ActivationFault {
  const char* function;
  const char* hresult;
  const char* line;  // the agent's ERROR line for each attempt
};

class ActivationFailingTest : public InstalledSystemTest, public ::testing::WithParamInterface<ActivationFault> {};

TEST_P(ActivationFailingTest, ThreeAttemptsAndTheLastHresultAsExitCode) {
  const ActivationFault& fault = GetParam();
  InstallPackage("alice");
  Install();
  // The service passes its fault plan on to the agent it starts; the service itself makes neither call.
  Start({{"WINSIM_FAULTS", std::string(fault.function) + "=" + fault.hresult}});
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForChecks(1));

  auto logs = AgentLogs();
  ASSERT_EQ(logs.size(), 1u);
  auto entries = ParseLog(logs[0]);
  auto agent = MessagesOf(entries);
  std::string error = std::string("[ERROR] ActivateTorvexUtilityAppx ") + fault.line + " return fail! hr is:" + fault.hresult;
  EXPECT_EQ(agent, (std::vector<std::string>{Preloaded(true), error, ActivationStatus(false), error,
                                             ActivationStatus(false), error, ActivationStatus(false)}));
  // Two pauses of 30 s each, scaled: the third status line comes at least 60 s (scaled) after the first.
  std::vector<long long> times;
  for (auto& e : entries) {
    if (e.message == ActivationStatus(false)) times.push_back(e.ms);
  }
  ASSERT_EQ(times.size(), 3u);
  EXPECT_GE(times[2] - times[0], 60000 / std::stoi(kTimeScale) - 20);

  auto service = ServiceLogMessages();
  EXPECT_EQ(Count(service, AgentExit(fault.hresult)), 1);
  EXPECT_EQ(Count(service, kWatcherCreated), 1);
  EXPECT_EQ(CheckCount(), "0x0");
  auto agents = AgentProcesses();
  ASSERT_EQ(agents.size(), 1u);
  EXPECT_EQ(agents[0].exitCode, std::optional<uint32_t>(static_cast<uint32_t>(std::stoul(fault.hresult, nullptr, 16))));
  EXPECT_TRUE(RunningApps().empty());
}

INSTANTIATE_TEST_SUITE_P(Faults, ActivationFailingTest,
                         ::testing::Values(ActivationFault{"CoCreateInstance", "0x80040154", "CoCreateInstance()"},
                                           ActivationFault{"ActivateApplication", "0x80270254", "ActivateApplication()"}),
                         [](const auto& info) { return std::string(info.param.function); });

// The trust chain through the installed service: what the libraries and the agent must be for the
// agent to be started. Each case changes the installed folder or the machine before the start.
class TrustTest;
struct TrustCase {
  const char* name;
  void (*change)(TrustTest* test);
  const char* version;  // the machine's Windows version
  bool accepted;
};

class TrustTest : public InstalledSystemTest, public ::testing::WithParamInterface<TrustCase> {
 public:
  using InstalledSystemTest::Installed;
  using InstalledSystemTest::Replace;
  using InstalledSystemTest::Winsim;
  static std::string Variant(const std::string& variant, const std::string& name) {
    return std::string(TORVEX_LAUNCH_IMAGES) + "/" + variant + "/" + name;
  }
  static std::string Pki(const std::string& name) { return std::string(WINSIM_TEST_PKI_DIR) + "/" + name; }
  void ReplaceBoth(const std::string& variant) {
    Replace("Torvex.CertificateValidation.Native.dll", Variant(variant, "Torvex.CertificateValidation.Native.dll"));
    Replace("libQolm.dll", Variant(variant, "libQolm.dll"));
  }
  void DistrustTestRoot() {
    for (auto& r : trust::ListTrustedRoots()) ASSERT_TRUE(trust::RemoveTrustedRoot(r.thumbprint));
    ASSERT_TRUE(trust::ListTrustedRoots().empty());
  }
  // The unsigned validation library with one byte of its code changed, signed again as the test
  // publisher: the signature holds, the pinned digest does not.
  void ChangeOneByteAndSign() {
    std::string changed = MachinePath("changed.dll");
    fs::copy_file(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"), changed);
    {
      std::fstream f(changed, std::ios::in | std::ios::out | std::ios::binary);
      f.seekg(0, std::ios::end);
      auto middle = static_cast<std::streamoff>(f.tellg()) / 2;
      f.seekg(middle);
      char c = 0;
      f.read(&c, 1);
      f.seekp(middle);
      c = static_cast<char>(c ^ 0x01);
      f.write(&c, 1);
    }
    CommandResult r = RunProgram({"/bin/bash", std::string(TORVEX_SOURCE_DIR) + "/scripts/test-pki.sh", "sign",
                                  WINSIM_TEST_PKI_DIR, changed, changed + ".signed"});
    ASSERT_EQ(r.status, 0) << r.errors;
    Replace("Torvex.CertificateValidation.Native.dll", changed + ".signed");
  }
};

TEST_P(TrustTest, TheAgentIsStartedOnlyThroughAVerifiedChain) {
  const TrustCase& c = GetParam();
  InstallPackage("alice");
  Install();
  c.change(this);
  if (HasFatalFailure()) return;
  Command({"version", "set", c.version});
  Start();
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForChecks(1));

  auto service = ServiceLogMessages();
  if (c.accepted) {
    EXPECT_EQ(Count(service, kAccepted), 1);
    EXPECT_EQ(Count(service, AgentExit("0x0")), 1);
    EXPECT_EQ(CheckCount(), "0x1");
    EXPECT_EQ(AgentProcesses().size(), 1u);
  } else {
    // Refused before anything starts: no agent, the check stays due, the folder is watched.
    EXPECT_EQ(Count(service, kRefused), 1);
    EXPECT_EQ(Count(service, kAccepted), 0);
    EXPECT_EQ(CountPrefix(service, "[INFO] LaunchTorvexUtilityAppx "), 0);
    EXPECT_TRUE(AgentProcesses().empty());
    EXPECT_EQ(CheckCount(), "0x0");
    EXPECT_EQ(Count(service, kWatcherCreated), 1);
    EXPECT_TRUE(RunningApps().empty());
  }
}

const TrustCase kTrustCases[] = {
    {"AsInstalled", [](TrustTest*) {}, "10.0", true},
    {"UnsignedValidationLibrary",
     [](TrustTest* t) {
       t->Replace("Torvex.CertificateValidation.Native.dll",
                  TrustTest::Variant("unsigned", "Torvex.CertificateValidation.Native.dll"));
     },
     "10.0", false},
    {"OneByteChangedAndSignedAgain", [](TrustTest* t) { t->ChangeOneByteAndSign(); }, "10.0", false},
    {"AuxiliaryLibraryMissing", [](TrustTest* t) { fs::remove(t->Installed("libQolm.dll")); }, "10.0",
     false},
    {"UntrustedRootOn10",
     [](TrustTest* t) {
       t->ReplaceBoth("full");
       t->DistrustTestRoot();
     },
     "10.0", false},
    {"UntrustedRootOn61",
     [](TrustTest* t) {
       t->ReplaceBoth("full");
       t->DistrustTestRoot();
     },
     "6.1", false},
    {"MissingIntermediateOn10", [](TrustTest* t) { t->ReplaceBoth("leaf"); }, "10.0", false},
    {"MissingIntermediateOn61", [](TrustTest* t) { t->ReplaceBoth("leaf"); }, "6.1", true},
    {"AgentOfAnotherPublisher",
     [](TrustTest* t) {
       // Its root trusted too, so that only the publisher differs.
       t->Replace("Quenlet.exe", std::string(TORVEX_INTEGRATION_IMAGES) + "/other/Quenlet.exe");
       auto r = t->Winsim({"cert", "add-root", TrustTest::Pki("other-root.pem")});
       ASSERT_EQ(r.status, 0) << r.errors;
     },
     "10.0", false},
};

INSTANTIATE_TEST_SUITE_P(Cases, TrustTest, ::testing::ValuesIn(kTrustCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A load that failed is tried again at the next check: the auxiliary library missing at the first
// check, put back before the package arrives, and the check that the package's folder brings
// starts the agent in the same service run.
TEST_F(InstalledSystemTest, AFailedLoadIsRetriedAtTheNextCheckOnceMended) {
  Install();
  std::string saved = MachinePath("libQolm.dll");
  fs::copy_file(Installed("libQolm.dll"), saved);
  fs::remove(Installed("libQolm.dll"));
  Start();
  Command({"session", "logon", "alice"});
  ASSERT_TRUE(WaitForChecks(1));
  auto service = ServiceLogMessages();
  EXPECT_EQ(Count(service, kRefused), 1);
  EXPECT_EQ(Count(service, kWatcherCreated), 1);

  fs::copy_file(saved, Installed("libQolm.dll"));
  InstallPackage("alice");
  ASSERT_TRUE(WaitForChecks(2));
  service = ServiceLogMessages();
  EXPECT_EQ(Count(service, kRefused), 1);
  EXPECT_EQ(Count(service, kAccepted), 1);
  EXPECT_EQ(Count(service, AgentExit("0x0")), 1);
  EXPECT_EQ(Count(service, kWatcherDestroyed), 1);
  EXPECT_EQ(CheckCount(), "0x1");
  EXPECT_EQ(RunningApps().size(), 1u);
}

}  // namespace
}  // namespace winsim::test
