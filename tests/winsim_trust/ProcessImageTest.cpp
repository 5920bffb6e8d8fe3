// Programs started from PE images: the payload runs, the image path stays the PE file's, the
// 32-bit exit code comes back, the unpacked copy is shared and made safely by racing starters.
#include <gtest/gtest.h>

#include <dirent.h>

#include <thread>

#include "TrustFixture.h"
#include "core/identity.h"
#include "core/machine.h"
#include "process/process.h"

namespace winsim::test {
namespace {

class ProcessImageTest : public TrustFixture {
 protected:
  struct Outcome {
    pid_t pid = -1;
    uint32_t exitCode = 0;
    std::string output;
  };
  // Starts a program of the machine as the administrator and waits for it.
  Outcome Run(const std::wstring& image, const std::wstring& arguments, const std::string& outputName = "out.txt") {
    SpawnRequest req;
    req.linuxPath = LinuxOf(image);
    req.windowsImage = image;
    req.commandLine = QuoteArgument(image) + L" " + arguments;
    req.identity = AdministratorIdentity();
    req.windowsEnv = DefaultWindowsEnvironment(req.identity);
    req.detach = true;
    req.outputPath = MachinePath(outputName);
    Outcome outcome;
    outcome.pid = SpawnProcess(req);
    if (outcome.pid < 0) return outcome;
    outcome.exitCode = WaitForChild(outcome.pid);
    outcome.output = ReadFile(req.outputPath);
    return outcome;
  }
  std::vector<std::string> CachedImages() {
    std::vector<std::string> names;
    if (DIR* dir = opendir(MachinePath("cache/images").c_str())) {
      while (dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      }
      closedir(dir);
    }
    return names;
  }
};

TEST_F(ProcessImageTest, PeProgramRunsWithItsOwnImagePathAndFullExitCode) {
  std::wstring image = Install(Image("pe_probe.exe"), L"C:\\Program Files\\Probe\\pe_probe.exe");
  Outcome run = Run(image, L"exit 0xC0000135");
  ASSERT_GT(run.pid, 0);
  EXPECT_EQ(run.exitCode, 0xC0000135u);
  EXPECT_EQ(run.output, "image=C:\\Program Files\\Probe\\pe_probe.exe\n");
  auto record = FindProcess(run.pid);
  ASSERT_TRUE(record.has_value());
  EXPECT_EQ(record->imagePath, image);
  EXPECT_EQ(record->imageName, L"pe_probe.exe");
  // The payload was unpacked once into the machine's cache, and a second run reuses it.
  auto cached = CachedImages();
  ASSERT_EQ(cached.size(), 1u);
  struct stat before;
  ASSERT_EQ(stat(MachinePath("cache/images/" + cached[0]).c_str(), &before), 0);
  EXPECT_EQ(Run(image, L"exit 7").exitCode, 7u);
  struct stat after;
  ASSERT_EQ(stat(MachinePath("cache/images/" + cached[0]).c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(CachedImages().size(), 1u);
}

TEST_F(ProcessImageTest, PlainElfProgramsNamedExeStillRun) {
  std::wstring image = Install(WINSIM_PE_PROBE_ELF, L"C:\\Tools\\probe.exe");
  Outcome run = Run(image, L"exit 300");
  EXPECT_EQ(run.exitCode, 300u);
  EXPECT_EQ(run.output, "image=C:\\Tools\\probe.exe\n");
  EXPECT_TRUE(CachedImages().empty());
}

TEST_F(ProcessImageTest, ProgramLoadsALibraryFromItsOwnFolder) {
  std::wstring image = Install(Image("pe_probe_gui.exe"), L"C:\\App\\pe_probe.exe");
  Install(Image("testlib.dll"), L"C:\\App\\testlib.dll");
  Outcome run = Run(image, L"load testlib");
  EXPECT_EQ(run.exitCode, 0u);
  EXPECT_EQ(run.output, "image=C:\\App\\pe_probe.exe\nlibrary=C:\\App\\testlib.dll\nsum=5\n");
  Outcome missing = Run(image, L"load other.dll", "missing.txt");
  EXPECT_EQ(missing.exitCode, static_cast<uint32_t>(ERROR_MOD_NOT_FOUND));
}

TEST_F(ProcessImageTest, RacingStartersShareOneUnpackedCopy) {
  std::wstring image = Install(Image("pe_probe.exe"), L"C:\\Race\\pe_probe.exe");
  // Threads of this process and separate winsim commands start the image at once.
  std::vector<std::thread> threads;
  std::vector<uint32_t> codes(4, 0xFFFFFFFF);
  std::vector<CommandResult> commands(3);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      codes[static_cast<size_t>(i)] = Run(image, L"exit " + std::to_wstring(40 + i), "t" + std::to_string(i) + ".txt").exitCode;
    });
  }
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      commands[static_cast<size_t>(i)] = Winsim({"run", "--", "C:\\Race\\pe_probe.exe", "exit", std::to_string(50 + i)});
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(codes[static_cast<size_t>(i)], static_cast<uint32_t>(40 + i));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(commands[static_cast<size_t>(i)].status, 50 + i) << commands[static_cast<size_t>(i)].errors;
  EXPECT_EQ(CachedImages().size(), 1u) << "no half-written or temporary copies are left";
}

TEST_F(ProcessImageTest, LibrariesAndNonImagesDoNotStart) {
  std::wstring dll = Install(Image("testlib.dll"), L"C:\\App\\testlib.dll");
  errno = 0;
  EXPECT_EQ(Run(dll, L"").pid, -1);
  EXPECT_EQ(errno, ENOEXEC);
  auto command = Winsim({"run", "--", "C:\\App\\testlib.dll"});
  EXPECT_NE(command.status, 0);
  EXPECT_NE(command.errors.find("error 193"), std::string::npos) << command.errors;

  // The control manager reports the Windows error for a service whose binary cannot run.
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(scm, nullptr);
  SC_HANDLE service = CreateServiceW(scm, L"NotAProgram", L"Not a program", SERVICE_ALL_ACCESS,
                                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                     dll.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(service, nullptr) << GetLastError();
  SetLastError(0);
  EXPECT_FALSE(StartServiceW(service, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_EXE_FORMAT));
  DeleteService(service);
  CloseServiceHandle(service);
  CloseServiceHandle(scm);
}

}  // namespace
}  // namespace winsim::test
