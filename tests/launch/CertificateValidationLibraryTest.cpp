// The validation library's checks and loading, as the service meets them: the probe program runs
// the product's code from the service's folder on a fresh machine. A table of what the folder
// holds and what the machine is, and the sequences that need a running service: a library replaced
// after a successful load, a failed load mended without a restart, a file swapped between the
// checks and the load, and concurrent first callers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <thread>

#include "TrustVerificationFixture.h"
#include "windows.h"

namespace winsim::test {
namespace {

constexpr const char* kAccepted = "load=1 entry=1\nverify=0x00000000\n";
constexpr const char* kRefused = "load=0 entry=0\nverify=none\n";

class CertificateValidationLibraryTest : public TrustVerificationFixture {
 protected:
  void SetUp() override {
    TrustVerificationFixture::SetUp();
    std::filesystem::create_directories(LinuxOf(L"C:\\sync"));
  }
  std::string Agent() { return Utf8FromWide(InFolder(L"Quenlet.exe")); }

  // Runs the probe with these steps on a thread of its own; `during` runs once the probe has
  // created C:\sync\ready, and the probe goes on when it finds C:\sync\go.
  CommandResult RunServiceWhile(const std::vector<std::string>& steps, const std::function<void()>& during) {
    CommandResult result;
    std::thread service([&] { result = RunService(steps); });
    std::string ready = LinuxOf(L"C:\\sync\\ready");
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (access(ready.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    bool reached = access(ready.c_str(), F_OK) == 0;
    EXPECT_TRUE(reached) << "the probe never reached its pause";
    if (reached) during();
    std::ofstream(LinuxOf(L"C:\\sync\\go")).put('\n');
    service.join();
    return result;
  }
};

TEST_F(CertificateValidationLibraryTest, TheFolderIsTheServicesOwn) {
  InstallService();
  CommandResult run = RunService({"folder"});
  EXPECT_EQ(run.output, "folder=C:\\Program Files\\Torvex Utility\\\n");
}

// What the service's folder holds and what the machine is, against whether the library is loaded
// and what it says of a signed agent.
TEST_F(CertificateValidationLibraryTest, TrustTable) {
  struct Case {
    const char* name;
    std::function<void()> prepare;
    bool windows7;
    bool trustRoot;         // the machine trusts the test publisher's root
    std::string agent;      // the agent's image
    std::string expected;   // the probe's lines for "load verify AGENT"
    std::string probe = TORVEX_CERTVAL_PROBE;
  };
  auto none = [] {};
  auto replace = [this](const std::string& file, const wchar_t* name) {
    return [this, file, name] { Install(file, InFolder(name)); };
  };
  const std::string agent = Image("agent.exe");
  std::vector<Case> cases = {
      {"as shipped, Windows 10", none, false, true, agent, kAccepted},
      {"as shipped, Windows 7", none, true, true, agent, kAccepted},
      {"unsigned validation library", replace(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"), kValidationLibrary),
       false, true, agent, kRefused},
      {"unsigned auxiliary library", replace(Variant("unsigned", "libQolm.dll"), kAuxiliaryLibrary), false, true, agent, kRefused},
      {"validation library with one byte changed, signed again",
       [this] {
         std::string bytes = ReadFile(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"));
         bytes[bytes.size() / 2] ^= 0x01;
         std::ofstream(MachinePath("changed.unsigned.dll"), std::ios::binary) << bytes;
         Sign(MachinePath("changed.unsigned.dll"), LinuxOf(InFolder(kValidationLibrary)));
       },
       false, true, agent, kRefused},
      {"auxiliary library missing", [this] { Remove(InFolder(kAuxiliaryLibrary)); },
       false, true, agent, kRefused},
      {"validation library missing", [this] { Remove(InFolder(kValidationLibrary)); },
       false, true, agent, kRefused},
      {"both libraries signed again (full chain)",
       [this] {
         Sign(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"), LinuxOf(InFolder(kValidationLibrary)),
              "test", "full");
         Sign(Variant("unsigned", "libQolm.dll"), LinuxOf(InFolder(kAuxiliaryLibrary)), "test", "full");
       },
       false, true, agent, kAccepted},
      {"chain to an untrusted root, Windows 10",
       [&] {
         replace(Variant("full", "Torvex.CertificateValidation.Native.dll"), kValidationLibrary)();
         replace(Variant("full", "libQolm.dll"), kAuxiliaryLibrary)();
       },
       false, false, agent, kRefused},
      {"chain to an untrusted root, Windows 7",
       [&] {
         replace(Variant("full", "Torvex.CertificateValidation.Native.dll"), kValidationLibrary)();
         replace(Variant("full", "libQolm.dll"), kAuxiliaryLibrary)();
       },
       true, false, agent, kRefused},
      {"chain missing its intermediate, Windows 10",
       [&] {
         replace(Variant("leaf", "Torvex.CertificateValidation.Native.dll"), kValidationLibrary)();
         replace(Variant("leaf", "libQolm.dll"), kAuxiliaryLibrary)();
       },
       false, true, agent, kRefused},
      {"chain missing its intermediate, Windows 7",
       [&] {
         replace(Variant("leaf", "Torvex.CertificateValidation.Native.dll"), kValidationLibrary)();
         replace(Variant("leaf", "libQolm.dll"), kAuxiliaryLibrary)();
       },
       true, true, agent, kAccepted},
      {"agent signed by another publisher", none, false, true, Image("agent-other.exe"), "load=1 entry=1\nverify=0x80092009\n"},
      {"agent unsigned", none, false, true, Image("agent-unsigned.exe"), "load=1 entry=1\nverify=0x800B0100\n"},
      {"library without ValidateAssembly",
       replace(Variant("noentry", "Torvex.CertificateValidation.Native.dll"), kValidationLibrary), false, true, agent,
       "load=1 entry=0\nverify=none\n", TORVEX_CERTVAL_PROBE_NOENTRY},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    if (c.trustRoot) TrustRoot(Pki("root.pem"));
    // The other publisher's signature is valid in itself: its root is trusted too.
    TrustRoot(Pki("other-root.pem"));
    if (c.windows7) MakeWindows7();
    InstallService(c.probe);
    Install(c.agent, InFolder(L"Quenlet.exe"));
    c.prepare();
    CommandResult run = RunService({"load", "verify", Agent()});
    EXPECT_EQ(run.output, c.expected) << run.errors;
    EXPECT_EQ(run.status, 0);
  }
}

TEST_F(CertificateValidationLibraryTest, LibrariesReplacedAfterASuccessfulLoadChangeNothingUntilRestart) {
  TrustRoot(Pki("root.pem"));
  InstallService();
  Install(Image("agent.exe"), InFolder(L"Quenlet.exe"));
  CommandResult run = RunServiceWhile(
      {"load", "verify", Agent(), "signal", "C:\\sync\\ready", "wait", "C:\\sync\\go", "load", "verify", Agent(), "hooks"},
      [&] {
        Install(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"), InFolder(kValidationLibrary));
        Remove(InFolder(kAuxiliaryLibrary));
      });
  EXPECT_EQ(run.output, std::string(kAccepted) + kAccepted + "hooks=1\n") << "checked and loaded once";
  // The next start of the service checks the files as they now are.
  EXPECT_EQ(RunService({"load", "verify", Agent()}).output, kRefused);
}

TEST_F(CertificateValidationLibraryTest, AFailedLoadIsTriedAgainAtTheNextCall) {
  TrustRoot(Pki("root.pem"));
  InstallService();
  Install(Image("agent.exe"), InFolder(L"Quenlet.exe"));
  Remove(InFolder(kAuxiliaryLibrary));
  Install(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"), InFolder(kValidationLibrary));
  std::vector<std::string> steps = {"load", "verify", Agent(), "signal", "C:\\sync\\ready", "wait", "C:\\sync\\go",
                                    "load", "verify", Agent(), "hooks"};
  CommandResult run = RunServiceWhile(steps, [&] {
    // Mended while the service runs: the signed library back, the missing one restored.
    Install(Shipped("Torvex.CertificateValidation.Native.dll"), InFolder(kValidationLibrary));
    Install(Shipped("libQolm.dll"), InFolder(kAuxiliaryLibrary));
  });
  EXPECT_EQ(run.output, std::string(kRefused) + kAccepted + "hooks=1\n");
}

// Share modes as the machine enforces them between processes: a file held open with
// FILE_SHARE_READ only cannot be opened for writing by another open.
bool MachineEnforcesShareModes(const std::wstring& scratch) {
  HANDLE held = CreateFileW(scratch.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (held == INVALID_HANDLE_VALUE) return false;
  HANDLE writer = CreateFileW(scratch.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  bool enforced = writer == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION;
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  CloseHandle(held);
  DeleteFileW(scratch.c_str());
  return enforced;
}

// Between the checks and LoadLibraryW both library files are held open, denying writing and
// deletion: whatever tries to replace them then fails, and the files loaded are the files checked.
TEST_F(CertificateValidationLibraryTest, FilesCannotBeSwappedBetweenTheChecksAndTheLoad) {
  if (!MachineEnforcesShareModes(L"C:\\sync\\scratch")) GTEST_SKIP() << "share modes are not enforced on this machine";
  TrustRoot(Pki("root.pem"));
  InstallService();
  Install(Image("agent.exe"), InFolder(L"Quenlet.exe"));
  Install(Variant("unsigned", "Torvex.CertificateValidation.Native.dll"), L"C:\\sync\\impostor.dll");
  CommandResult run = RunServiceWhile(
      {"pause", "C:\\sync\\ready", "C:\\sync\\go", "load", "verify", Agent(), "hooks"}, [&] {
        for (const wchar_t* name : {kValidationLibrary, kAuxiliaryLibrary}) {
          SCOPED_TRACE(Utf8FromWide(name));
          std::wstring path = InFolder(name);
          SetLastError(0);
          HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
          EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
          if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
          SetLastError(0);
          EXPECT_FALSE(DeleteFileW(path.c_str()));
          EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
          // Readers are let in: the hold denies changes only.
          HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
          EXPECT_NE(reader, INVALID_HANDLE_VALUE) << GetLastError();
          if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
        }
      });
  EXPECT_EQ(run.output, std::string(kAccepted) + "hooks=1\n");
  EXPECT_EQ(ReadFile(LinuxOf(InFolder(kValidationLibrary))), ReadFile(Shipped("Torvex.CertificateValidation.Native.dll")));
  EXPECT_EQ(ReadFile(LinuxOf(InFolder(kAuxiliaryLibrary))), ReadFile(Shipped("libQolm.dll")));
}

// Callers that arrive together while the library is not yet loaded: one checks and loads it, and
// none of them finds the library loaded without its ValidateAssembly entry.
TEST_F(CertificateValidationLibraryTest, ConcurrentFirstCallersAllFindTheEntry) {
  TrustRoot(Pki("root.pem"));
  InstallService();
  Install(Image("agent.exe"), InFolder(L"Quenlet.exe"));
  CommandResult run = RunService({"race", "8", Agent(), "hooks"});
  EXPECT_EQ(run.output, "race=8/8\nhooks=1\n");
  // Under ThreadSanitizer, an entry read while another thread still writes it ends the probe with
  // a report.
  EXPECT_EQ(run.status, 0) << run.errors;
}

}  // namespace
}  // namespace winsim::test
