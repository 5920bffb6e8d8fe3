#include "appx/packages.h"

#include <openssl/sha.h>

#include <cwctype>
#include <filesystem>
#include <system_error>

#include "AppxPackaging.h"
#include "appmodel.h"
#include "core/identity.h"
#include "core/machine.h"
#include "core/paths.h"
#include "core/strings.h"

namespace winsim::appx {
namespace {

const char* kPackageSchema =
    "CREATE TABLE IF NOT EXISTS packages (seq INTEGER PRIMARY KEY AUTOINCREMENT, user_sid TEXT NOT NULL,"
    " user TEXT NOT NULL, full_name TEXT NOT NULL COLLATE NOCASE, family TEXT NOT NULL COLLATE NOCASE,"
    " publisher TEXT NOT NULL, app_id TEXT NOT NULL, executable TEXT NOT NULL,"
    " UNIQUE(user_sid, full_name));";

Database& PackageDb() {
  Database& db = Database::Get();
  db.EnsureSchema("packages", kPackageSchema);
  return db;
}

constexpr const wchar_t* kWindowsApps = L"C:\\Program Files\\WindowsApps";

bool IsAsciiAlnum(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// Package names and resource ids: letters, digits, periods and hyphens (resource ids also the
// tilde of bundle resource ids).
bool IsValidPackageName(const std::wstring& name) {
  if (name.size() < PACKAGE_NAME_MIN_LENGTH || name.size() > PACKAGE_NAME_MAX_LENGTH) return false;
  for (wchar_t c : name) {
    if (!IsAsciiAlnum(c) && c != L'.' && c != L'-') return false;
  }
  return true;
}

bool IsValidResourceId(const std::wstring& id) {
  if (id.size() > PACKAGE_RESOURCEID_MAX_LENGTH) return false;
  for (wchar_t c : id) {
    if (!IsAsciiAlnum(c) && c != L'.' && c != L'-' && c != L'~') return false;
  }
  return true;
}

// A publisher id is 13 characters of the base-32 alphabet that leaves out i, l, o and u.
bool IsValidPublisherId(const std::wstring& id) {
  if (id.size() != PACKAGE_PUBLISHERID_MAX_LENGTH) return false;
  for (wchar_t c : id) {
    wchar_t lower = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    bool digit = lower >= L'0' && lower <= L'9';
    bool letter = lower >= L'a' && lower <= L'z' && lower != L'i' && lower != L'l' && lower != L'o' && lower != L'u';
    if (!digit && !letter) return false;
  }
  return true;
}

// Four decimal parts of 0 to 65535.
bool ParseVersion(const std::wstring& text, uint16_t out[4]) {
  if (text.size() < PACKAGE_VERSION_MIN_LENGTH || text.size() > PACKAGE_VERSION_MAX_LENGTH) return false;
  size_t pos = 0;
  for (int part = 0; part < 4; ++part) {
    size_t end = part < 3 ? text.find(L'.', pos) : text.size();
    if (end == std::wstring::npos || end == pos || end - pos > 5) return false;
    uint32_t value = 0;
    for (size_t i = pos; i < end; ++i) {
      if (text[i] < L'0' || text[i] > L'9') return false;
      value = value * 10 + static_cast<uint32_t>(text[i] - L'0');
    }
    if (value > 0xFFFF) return false;
    out[part] = static_cast<uint16_t>(value);
    pos = end + 1;
  }
  return true;
}

std::optional<uint32_t> ArchitectureValue(const std::wstring& text) {
  std::wstring lower;
  for (wchar_t c : text) lower.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))));
  if (lower == L"x86") return APPX_PACKAGE_ARCHITECTURE_X86;
  if (lower == L"x64") return APPX_PACKAGE_ARCHITECTURE_X64;
  if (lower == L"arm") return APPX_PACKAGE_ARCHITECTURE_ARM;
  if (lower == L"arm64") return APPX_PACKAGE_ARCHITECTURE_ARM64;
  if (lower == L"neutral") return APPX_PACKAGE_ARCHITECTURE_NEUTRAL;
  return std::nullopt;
}

std::vector<std::wstring> SplitUnderscores(const std::wstring& text) {
  std::vector<std::wstring> parts;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(L'_', start);
    parts.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    if (end == std::wstring::npos) break;
    start = end + 1;
  }
  return parts;
}

std::wstring DataFolderOf(const std::wstring& profile, const std::wstring& family) {
  return profile + L"\\AppData\\Local\\Packages\\" + family;
}

InstalledPackage FromRow(const Statement& q) {
  InstalledPackage p;
  p.userSid = q.Text(0);
  p.userName = WideFromUtf8(q.Text(1));
  p.fullName = WideFromUtf8(q.Text(2));
  p.familyName = WideFromUtf8(q.Text(3));
  p.publisher = WideFromUtf8(q.Text(4));
  p.applicationId = WideFromUtf8(q.Text(5));
  p.executable = WideFromUtf8(q.Text(6));
  if (auto id = ParseFullName(p.fullName)) p.identity = *id;
  p.installFolder = JoinWindowsPath(kWindowsApps, p.fullName);
  auto account = FindUserAccount(p.userName);
  p.dataFolder = DataFolderOf(account ? account->profile : L"C:\\Users\\" + p.userName, p.familyName);
  return p;
}

const char* kSelect = "SELECT user_sid, user, full_name, family, publisher, app_id, executable FROM packages ";

ChangeResult Failed(const std::string& message) {
  ChangeResult r;
  r.error = message;
  return r;
}

std::optional<std::string> LinuxFolder(const std::wstring& windowsPath) { return LinuxPathOf(windowsPath); }

}  // namespace

std::wstring PackageIdentity::VersionText() const {
  return std::to_wstring(version[0]) + L"." + std::to_wstring(version[1]) + L"." + std::to_wstring(version[2]) + L"." +
         std::to_wstring(version[3]);
}

std::wstring PackageIdentity::FullName() const {
  return name + L"_" + VersionText() + L"_" + architecture + L"_" + resourceId + L"_" + publisherId;
}

std::wstring PackageIdentity::FamilyName() const { return name + L"_" + publisherId; }

std::optional<PackageIdentity> ParseFullName(const std::wstring& fullName) {
  if (fullName.size() < PACKAGE_FULL_NAME_MIN_LENGTH || fullName.size() > PACKAGE_FULL_NAME_MAX_LENGTH) {
    return std::nullopt;
  }
  auto parts = SplitUnderscores(fullName);
  if (parts.size() != 5) return std::nullopt;
  PackageIdentity id;
  id.name = parts[0];
  id.architecture = parts[2];
  id.resourceId = parts[3];
  id.publisherId = parts[4];
  auto arch = ArchitectureValue(id.architecture);
  if (!IsValidPackageName(id.name) || !ParseVersion(parts[1], id.version) || !arch || !IsValidResourceId(id.resourceId) ||
      !IsValidPublisherId(id.publisherId)) {
    return std::nullopt;
  }
  id.architectureValue = *arch;
  return id;
}

std::optional<std::pair<std::wstring, std::wstring>> ParseFamilyName(const std::wstring& familyName) {
  if (familyName.size() < PACKAGE_FAMILY_NAME_MIN_LENGTH || familyName.size() > PACKAGE_FAMILY_NAME_MAX_LENGTH) {
    return std::nullopt;
  }
  auto parts = SplitUnderscores(familyName);
  if (parts.size() != 2 || !IsValidPackageName(parts[0]) || !IsValidPublisherId(parts[1])) return std::nullopt;
  return std::make_pair(parts[0], parts[1]);
}

// A package relative application id: a letter, then letters, digits and periods, at most 64
// characters.
bool IsValidApplicationId(const std::wstring& appId) {
  if (appId.empty() || appId.size() > PACKAGE_RELATIVE_APPLICATION_ID_MAX_LENGTH - 1) return false;
  if (!std::iswalpha(static_cast<wint_t>(appId[0])) || appId[0] > 0x7F) return false;
  for (wchar_t c : appId) {
    if (!IsAsciiAlnum(c) && c != L'.') return false;
  }
  return true;
}

std::vector<InstalledPackage> PackagesOfFamily(const std::string& userSid, const std::wstring& familyName) {
  Database& db = PackageDb();
  Statement q(db.Raw(), (std::string(kSelect) + "WHERE user_sid=? AND family=? ORDER BY seq").c_str());
  q.Bind(1, userSid).Bind(2, Utf8FromWide(familyName));
  std::vector<InstalledPackage> out;
  while (q.Step()) out.push_back(FromRow(q));
  return out;
}

std::optional<InstalledPackage> FindPackage(const std::string& userSid, const std::wstring& fullName) {
  Database& db = PackageDb();
  Statement q(db.Raw(), (std::string(kSelect) + "WHERE user_sid=? AND full_name=?").c_str());
  q.Bind(1, userSid).Bind(2, Utf8FromWide(fullName));
  if (!q.Step()) return std::nullopt;
  return FromRow(q);
}

std::vector<InstalledPackage> ListPackages(const std::wstring& userName) {
  Database& db = PackageDb();
  std::string sql = std::string(kSelect) + (userName.empty() ? "" : "WHERE user=? COLLATE NOCASE ") +
                    "ORDER BY user COLLATE NOCASE, seq";
  Statement q(db.Raw(), sql.c_str());
  if (!userName.empty()) q.Bind(1, Utf8FromWide(userName));
  std::vector<InstalledPackage> out;
  while (q.Step()) out.push_back(FromRow(q));
  return out;
}

ChangeResult InstallPackage(const InstallRequest& request) {
  namespace fs = std::filesystem;
  auto account = FindUserAccount(request.userName);
  if (!account) return Failed("no user " + Utf8FromWide(request.userName) + " on this machine");
  auto family = ParseFamilyName(request.familyName);
  if (!family) {
    return Failed("not a package family name: " + Utf8FromWide(request.familyName) +
                  " (NAME_PUBLISHERID, such as Contoso.App_8wekyb3d8bbwe)");
  }
  PackageIdentity id;
  id.name = family->first;
  id.publisherId = family->second;
  id.architecture = request.architecture;
  id.resourceId = request.resourceId;
  auto arch = ArchitectureValue(request.architecture);
  if (!arch) return Failed("not a package architecture: " + Utf8FromWide(request.architecture));
  id.architectureValue = *arch;
  if (!ParseVersion(request.version, id.version)) {
    return Failed("not a package version: " + Utf8FromWide(request.version) + " (four numbers up to 65535)");
  }
  if (!IsValidResourceId(id.resourceId)) return Failed("not a resource id: " + Utf8FromWide(id.resourceId));
  std::wstring fullName = id.FullName();
  if (!ParseFullName(fullName)) return Failed("the full name " + Utf8FromWide(fullName) + " is too long");
  std::wstring appId = request.applicationId;
  if (appId.empty()) {
    size_t dot = id.name.rfind(L'.');
    appId = dot == std::wstring::npos ? id.name : id.name.substr(dot + 1);
    if (!IsValidApplicationId(appId)) appId = L"App";
  }
  if (!IsValidApplicationId(appId)) return Failed("not an application id: " + Utf8FromWide(appId));
  std::wstring publisher = request.publisher.empty() ? L"CN=" + id.name : request.publisher;
  if (publisher.size() < PACKAGE_PUBLISHER_MIN_LENGTH || publisher.size() > PACKAGE_PUBLISHER_MAX_LENGTH) {
    return Failed("not a publisher: " + Utf8FromWide(publisher));
  }
  std::error_code ec;
  if (!fs::is_regular_file(request.programPath, ec)) return Failed("no program at " + request.programPath);

  // The program first, then the registration, then the user's data folder.
  std::wstring installFolder = JoinWindowsPath(kWindowsApps, fullName);
  std::wstring programName = WideFromUtf8(fs::path(request.programPath).filename().string());
  std::wstring executable = JoinWindowsPath(installFolder, programName);
  auto linuxFolder = LinuxFolder(installFolder);
  auto linuxProgram = LinuxFolder(executable);
  if (!linuxFolder || !linuxProgram) return Failed("cannot place the package under " + Utf8FromWide(installFolder));
  fs::create_directories(*linuxFolder, ec);
  if (ec) return Failed("cannot create " + Utf8FromWide(installFolder) + ": " + ec.message());
  fs::copy_file(request.programPath, *linuxProgram, fs::copy_options::overwrite_existing, ec);
  if (ec) return Failed("cannot copy " + request.programPath + " into the package: " + ec.message());

  std::vector<std::wstring> replaced;
  {
    Database& db = PackageDb();
    Transaction tx;
    // Another version of the same architecture is replaced, as an update replaces it.
    for (auto& old : PackagesOfFamily(account->sid, request.familyName)) {
      if (EqualsNoCase(old.identity.architecture, id.architecture) && !EqualsNoCase(old.fullName, fullName)) {
        Statement del(db.Raw(), "DELETE FROM packages WHERE user_sid=? AND full_name=?");
        del.Bind(1, account->sid).Bind(2, Utf8FromWide(old.fullName)).Step();
        replaced.push_back(old.fullName);
      }
    }
    Statement ins(db.Raw(),
                  "INSERT INTO packages(user_sid, user, full_name, family, publisher, app_id, executable)"
                  " VALUES(?,?,?,?,?,?,?) ON CONFLICT(user_sid, full_name) DO UPDATE SET publisher=excluded.publisher,"
                  " app_id=excluded.app_id, executable=excluded.executable");
    ins.Bind(1, account->sid).Bind(2, Utf8FromWide(account->name)).Bind(3, Utf8FromWide(fullName));
    ins.Bind(4, Utf8FromWide(id.FamilyName())).Bind(5, Utf8FromWide(publisher)).Bind(6, Utf8FromWide(appId));
    ins.Bind(7, Utf8FromWide(executable)).Step();
    tx.Commit();
  }
  // An install folder that no registration needs any more goes.
  for (auto& old : replaced) {
    Statement q(PackageDb().Raw(), "SELECT 1 FROM packages WHERE full_name=?");
    q.Bind(1, Utf8FromWide(old));
    if (!q.Step()) {
      if (auto folder = LinuxFolder(JoinWindowsPath(kWindowsApps, old))) fs::remove_all(*folder, ec);
    }
  }

  std::wstring dataFolder = DataFolderOf(account->profile, id.FamilyName());
  if (auto linuxData = LinuxFolder(dataFolder)) {
    fs::create_directories(*linuxData, ec);
    for (const char* sub : {"AC/Temp", "LocalState", "RoamingState", "Settings", "TempState"}) {
      fs::create_directories(fs::path(*linuxData) / sub, ec);
    }
  }
  ChangeResult r;
  r.ok = true;
  if (auto installed = FindPackage(account->sid, fullName)) r.packages.push_back(*installed);
  return r;
}

ChangeResult RemovePackage(const std::wstring& userName, const std::wstring& familyName) {
  namespace fs = std::filesystem;
  auto account = FindUserAccount(userName);
  if (!account) return Failed("no user " + Utf8FromWide(userName) + " on this machine");
  if (!ParseFamilyName(familyName)) return Failed("not a package family name: " + Utf8FromWide(familyName));
  ChangeResult r;
  {
    Database& db = PackageDb();
    Transaction tx;
    r.packages = PackagesOfFamily(account->sid, familyName);
    if (r.packages.empty()) {
      return Failed("no package of the family " + Utf8FromWide(familyName) + " is installed for " +
                    Utf8FromWide(account->name));
    }
    Statement del(db.Raw(), "DELETE FROM packages WHERE user_sid=? AND family=?");
    del.Bind(1, account->sid).Bind(2, Utf8FromWide(familyName)).Step();
    tx.Commit();
  }
  std::error_code ec;
  if (auto data = LinuxFolder(r.packages.front().dataFolder)) fs::remove_all(*data, ec);
  for (auto& p : r.packages) {
    Statement q(PackageDb().Raw(), "SELECT 1 FROM packages WHERE full_name=?");
    q.Bind(1, Utf8FromWide(p.fullName));
    if (!q.Step()) {
      if (auto folder = LinuxFolder(p.installFolder)) fs::remove_all(*folder, ec);
    }
  }
  r.ok = true;
  return r;
}

std::string PackageSidOfFamily(const std::wstring& familyName) {
  std::wstring lower;
  for (wchar_t c : familyName) lower.push_back(static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c))));
  std::vector<uint8_t> bytes = Utf16LeFromWide(lower);
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(bytes.data(), bytes.size(), digest);
  std::string sid = "S-1-15-2";
  for (int i = 0; i < 7; ++i) {
    uint32_t value = static_cast<uint32_t>(digest[i * 4]) | static_cast<uint32_t>(digest[i * 4 + 1]) << 8 |
                     static_cast<uint32_t>(digest[i * 4 + 2]) << 16 | static_cast<uint32_t>(digest[i * 4 + 3]) << 24;
    sid += "-" + std::to_string(value);
  }
  return sid;
}

}  // namespace winsim::appx
