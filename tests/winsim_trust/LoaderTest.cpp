// Run-time linking in the test process: LoadLibraryW over PE-wrapped and plain ELF libraries,
// GetProcAddress, reference counts, DllMain, the search order and the errors Windows gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "TrustFixture.h"
#include "core/identity.h"
#include "process/peimage.h"
#include "process/process.h"

namespace winsim::test {
namespace {

using AddFunction = int (*)(int, int);
using OwnPathFunction = DWORD (*)(wchar_t*, DWORD);

// An export as a function of its own type: through void(*)(), the type that converts to any other
// without a warning, as on Windows toolchains.
template <class Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class LoaderTest : public TrustFixture {
 protected:
  void SetUp() override {
    TrustFixture::SetUp();
    unsetenv("WINSIM_TESTLIB_EVENTS");
    unsetenv("WINSIM_TESTLIB_FAIL_ATTACH");
    Install(Image("testlib.dll"), L"C:\\libs\\testlib.dll");
  }
  void TearDown() override {
    unsetenv("WINSIM_TESTLIB_EVENTS");
    unsetenv("WINSIM_TESTLIB_FAIL_ATTACH");
    unsetenv("WINSIM_ENV_Path");
    SetCurrentIdentity(CurrentIdentity());
    if (!m_cwd.empty()) {
      EXPECT_EQ(chdir(m_cwd.c_str()), 0);
    }
    TrustFixture::TearDown();
  }
  static std::string Events() {
    const char* e = std::getenv("WINSIM_TESTLIB_EVENTS");
    return e ? e : "";
  }
  static std::wstring FileName(HMODULE module) {
    wchar_t buffer[MAX_PATH];
    DWORD n = GetModuleFileNameW(module, buffer, MAX_PATH);
    return std::wstring(buffer, n);
  }
  // The process's Windows Path variable, as a started process would have it.
  void SetPath(const std::string& value) {
    setenv("WINSIM_ENV_Path", value.c_str(), 1);
    SetCurrentIdentity(CurrentIdentity());
  }
  void ChangeDirectory(const std::wstring& windowsFolder) {
    char buffer[4096];
    if (m_cwd.empty()) m_cwd = getcwd(buffer, sizeof(buffer));
    ASSERT_EQ(chdir(LinuxOf(windowsFolder).c_str()), 0);
  }
  // Expects a null or FALSE result with this last error.
  template <class T>
  static void ExpectFailure(T result, DWORD error, const char* what) {
    EXPECT_FALSE(result) << what;
    EXPECT_EQ(GetLastError(), error) << what;
  }

 private:
  std::string m_cwd;
};

TEST_F(LoaderTest, PeAndPlainElfLibrariesLoadCallAndUnload) {
  Install(WINSIM_TESTLIB_SO, L"C:\\libs\\plain\\testlib.so");
  for (std::wstring path : {L"C:\\libs\\testlib.dll", L"C:\\libs\\plain\\testlib.so"}) {
    SCOPED_TRACE(Utf8FromWide(path));
    unsetenv("WINSIM_TESTLIB_EVENTS");
    HMODULE module = LoadLibraryW(path.c_str());
    ASSERT_NE(module, nullptr) << GetLastError();
    // A module handle is the address where the image is mapped.
    EXPECT_EQ(std::memcmp(module, "\x7F" "ELF", 4), 0);
    auto add = Export<AddFunction>(module, "WinsimTestAdd");
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    auto* value = reinterpret_cast<int*>(GetProcAddress(module, "WinsimTestValue"));
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, 42);
    EXPECT_EQ(FileName(module), path);
    // The library finds its own module from an address inside it.
    auto ownPath = Export<OwnPathFunction>(module, "WinsimTestOwnPath");
    wchar_t buffer[MAX_PATH];
    ASSERT_NE(ownPath, nullptr);
    EXPECT_EQ(std::wstring(buffer, ownPath(buffer, MAX_PATH)), path);
    EXPECT_EQ(GetModuleHandleW(path.c_str()), module);
    std::wstring upper = path;
    for (auto& c : upper) c = static_cast<wchar_t>(towupper(c));
    EXPECT_EQ(GetModuleHandleW(upper.c_str()), module) << "names compare without regard to case";
    EXPECT_EQ(Events(), "attach;");
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(Events(), "attach;detach;");
    SetLastError(0);
    EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  }
}

TEST_F(LoaderTest, ReferenceCountsPairLoadsWithFreesAndPinningKeepsTheModule) {
  HMODULE first = LoadLibraryW(L"C:\\libs\\testlib.dll");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(LoadLibraryW(L"c:/LIBS/TestLib.dll"), first);
  HMODULE counted = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(0, L"testlib", &counted));
  EXPECT_EQ(counted, first);
  HMODULE uncounted = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, L"testlib.dll", &uncounted));
  EXPECT_EQ(uncounted, first);
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(Events(), "attach;") << "one reference is left";
  EXPECT_TRUE(FreeLibrary(first));
  EXPECT_EQ(Events(), "attach;detach;");

  // A pinned module stays for the life of the process: one of its own, so that no other test meets it.
  Install(Image("testlib.dll"), L"C:\\libs\\pinned.dll");
  HMODULE pinned = LoadLibraryW(L"C:\\libs\\pinned.dll");
  ASSERT_NE(pinned, nullptr);
  HMODULE again = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"C:\\libs\\pinned.dll", &again));
  EXPECT_TRUE(FreeLibrary(pinned));
  EXPECT_TRUE(FreeLibrary(pinned));
  EXPECT_EQ(GetModuleHandleW(L"pinned.dll"), pinned);
}

TEST_F(LoaderTest, NamesWithoutAFullPathFollowTheSearchOrder) {
  Install(Image("testlib.dll"), L"C:\\cwd\\cwdlib.dll");
  Install(Image("testlib-unsigned.dll"), L"C:\\search\\sub\\deeper.dll");
  Install(Image("testlib-leaf.dll"), L"C:\\search\\noext");

  // Nothing on the Path yet: a bare name is not found.
  SetPath("C:\\Windows");
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"testlib"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));

  // ".dll" is added to a bare name; the Path's folders are searched.
  SetPath("C:\\nowhere;C:\\libs;C:\\search");
  HMODULE viaPath = LoadLibraryW(L"testlib");
  ASSERT_NE(viaPath, nullptr);
  EXPECT_EQ(FileName(viaPath), L"C:\\libs\\testlib.dll");
  // A relative path is appended to every folder of the search.
  HMODULE relative = LoadLibraryW(L"sub\\deeper.dll");
  ASSERT_NE(relative, nullptr);
  EXPECT_EQ(FileName(relative), L"C:\\search\\sub\\deeper.dll");
  // A trailing dot means "no extension".
  HMODULE noExtension = LoadLibraryW(L"noext.");
  ASSERT_NE(noExtension, nullptr);
  EXPECT_EQ(FileName(noExtension), L"C:\\search\\noext");
  // The current folder is searched.
  ChangeDirectory(L"C:\\cwd");
  HMODULE fromCwd = LoadLibraryW(L"cwdlib.dll");
  ASSERT_NE(fromCwd, nullptr);
  EXPECT_EQ(FileName(fromCwd), L"C:\\cwd\\cwdlib.dll");

  // A loaded module answers to its base name, whatever the search would find.
  SetPath("C:\\Windows");
  EXPECT_EQ(LoadLibraryW(L"TESTLIB.DLL"), viaPath);
  for (HMODULE m : {viaPath, viaPath, relative, noExtension, fromCwd}) EXPECT_TRUE(FreeLibrary(m));
}

// A library's imports are found by module name through the search order, even when the library
// itself is given by full path; they load before it, belong to the process as modules of their
// own, are no exports of the importer, and go with its last reference.
TEST_F(LoaderTest, ImportsAreFoundByModuleNameAndGoWithTheImporter) {
  using ValueFunction = int (*)();
  Install(Image("importer.dll"), L"C:\\libs\\importer.dll");
  Install(Image("deplib.dll"), L"C:\\deps\\deplib.dll");

  // Beside the importer is not a place the search looks at.
  Install(Image("deplib.dll"), L"C:\\libs\\deplib.dll");
  SetPath("C:\\Windows");
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"C:\\libs\\importer.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(GetModuleHandleW(L"deplib.dll"), nullptr) << "nothing is left loaded by a failed load";

  SetPath("C:\\deps");
  HMODULE importer = LoadLibraryW(L"C:\\libs\\importer.dll");
  ASSERT_NE(importer, nullptr) << GetLastError();
  auto value = Export<ValueFunction>(importer, "WinsimImporterValue");
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value(), 42);
  HMODULE dependency = GetModuleHandleW(L"deplib.dll");
  ASSERT_NE(dependency, nullptr);
  EXPECT_NE(dependency, importer);
  EXPECT_EQ(FileName(dependency), L"C:\\deps\\deplib.dll");
  SetLastError(0);
  EXPECT_EQ(GetProcAddress(importer, "WinsimDepValue"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));

  // The import holds a reference of its own: freeing the caller's leaves it loaded.
  EXPECT_EQ(LoadLibraryW(L"deplib"), dependency);
  EXPECT_TRUE(FreeLibrary(dependency));
  EXPECT_EQ(GetModuleHandleW(L"deplib.dll"), dependency);
  EXPECT_TRUE(FreeLibrary(importer));
  EXPECT_EQ(GetModuleHandleW(L"C:\\libs\\importer.dll"), nullptr);
  EXPECT_EQ(GetModuleHandleW(L"deplib.dll"), nullptr) << "the import went with its importer";

  // An import of that name already loaded is the one used, wherever the search would look.
  HMODULE preloaded = LoadLibraryW(L"C:\\libs\\deplib.dll");
  ASSERT_NE(preloaded, nullptr);
  SetPath("C:\\Windows");
  importer = LoadLibraryW(L"C:\\libs\\importer.dll");
  ASSERT_NE(importer, nullptr) << GetLastError();
  EXPECT_EQ(GetModuleHandleW(L"deplib.dll"), preloaded);
  EXPECT_TRUE(FreeLibrary(importer));
  EXPECT_EQ(GetModuleHandleW(L"deplib.dll"), preloaded);
  EXPECT_TRUE(FreeLibrary(preloaded));
}

TEST_F(LoaderTest, FailuresGiveWindowsErrors) {
  std::ofstream(LinuxOf(L"C:\\libs\\notes.dll")) << "not a library";
  // A PE image without a payload (its section renamed) cannot be loaded.
  std::vector<uint8_t> image = pe::Wrap(std::vector<uint8_t>{0x7F, 'E', 'L', 'F'}, {});
  uint32_t nt = image[60] | (image[61] << 8);
  image[nt + 24 + 240 + 1] = 'x';
  std::ofstream(LinuxOf(L"C:\\libs\\nopayload.dll"), std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));

  struct Case {
    const wchar_t* name;
    DWORD error;
  } cases[] = {
      {L"C:\\libs\\missing.dll", ERROR_MOD_NOT_FOUND},
      {L"C:\\no\\such\\folder\\x.dll", ERROR_MOD_NOT_FOUND},
      {L"C:\\libs\\notes.dll", ERROR_BAD_EXE_FORMAT},
      {L"C:\\libs\\nopayload.dll", ERROR_BAD_EXE_FORMAT},
      {L"", ERROR_INVALID_PARAMETER},
  };
  for (const auto& c : cases) {
    SetLastError(0);
    ExpectFailure(LoadLibraryW(c.name), c.error, Utf8FromWide(c.name).c_str());
  }
  ExpectFailure(LoadLibraryW(nullptr), ERROR_INVALID_PARAMETER, "no name");

  HMODULE module = LoadLibraryW(L"C:\\libs\\testlib.dll");
  ASSERT_NE(module, nullptr);
  ExpectFailure(GetProcAddress(module, "NoSuchExport"), ERROR_PROC_NOT_FOUND, "missing export");
  // A symbol of a library it depends on is no export of this module.
  ExpectFailure(GetProcAddress(module, "GetLastError"), ERROR_PROC_NOT_FOUND, "a dependency's symbol");
  ExpectFailure(GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(1))), ERROR_INVALID_ORDINAL,
                "ordinal");
  auto* bogus = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x1234));
  ExpectFailure(GetProcAddress(bogus, "WinsimTestAdd"), ERROR_MOD_NOT_FOUND, "GetProcAddress on no module");
  ExpectFailure(FreeLibrary(bogus), ERROR_MOD_NOT_FOUND, "FreeLibrary on no module");
  wchar_t buffer[MAX_PATH];
  ExpectFailure(GetModuleFileNameW(bogus, buffer, MAX_PATH), ERROR_MOD_NOT_FOUND, "GetModuleFileNameW");
  HMODULE out = module;
  ExpectFailure(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                   L"testlib.dll", &out),
                ERROR_INVALID_PARAMETER, "PIN with UNCHANGED_REFCOUNT");
  EXPECT_EQ(out, nullptr);
  int local = 0;
  ExpectFailure(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&local), &out),
                ERROR_MOD_NOT_FOUND, "an address in no module");
  ExpectFailure(GetModuleHandleW(L"notloaded.dll"), ERROR_MOD_NOT_FOUND, "GetModuleHandleW");
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(LoaderTest, FailedAttachUnloadsTheLibrary) {
  setenv("WINSIM_TESTLIB_FAIL_ATTACH", "1", 1);
  SetLastError(0);
  EXPECT_EQ(LoadLibraryW(L"C:\\libs\\testlib.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_EQ(Events(), "attach;detach;");
  EXPECT_EQ(GetModuleHandleW(L"testlib.dll"), nullptr);
  unsetenv("WINSIM_TESTLIB_FAIL_ATTACH");
  HMODULE module = LoadLibraryW(L"C:\\libs\\testlib.dll");
  ASSERT_NE(module, nullptr) << "a later load starts afresh";
  EXPECT_TRUE(FreeLibrary(module));
}

TEST_F(LoaderTest, TheProcessImageIsAModuleToo) {
  HMODULE self = GetModuleHandleW(nullptr);
  ASSERT_NE(self, nullptr);
  EXPECT_EQ(std::memcmp(self, "\x7F" "ELF", 4), 0);
  EXPECT_EQ(FileName(self), CurrentImagePath());
  EXPECT_EQ(FileName(nullptr), CurrentImagePath());
  // The test program's file name has no extension: a trailing dot keeps ".dll" from being added.
  std::wstring base = CurrentImagePath().substr(CurrentImagePath().find_last_of(L'\\') + 1);
  ASSERT_EQ(base.find(L'.'), std::wstring::npos);
  EXPECT_EQ(GetModuleHandleW(base.c_str()), nullptr);
  EXPECT_EQ(GetModuleHandleW((base + L".").c_str()), self);
  HMODULE fromAddress = nullptr;
  ASSERT_TRUE(GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                 reinterpret_cast<LPCWSTR>(&LoaderTest::Events), &fromAddress));
  EXPECT_EQ(fromAddress, self);
  EXPECT_TRUE(FreeLibrary(self));
  EXPECT_EQ(GetModuleHandleW(nullptr), self);
}

}  // namespace
}  // namespace winsim::test
