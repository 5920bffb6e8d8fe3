// VerifyVersionInfoW and VerSetConditionMask against the machine's version. Facts relied on
// (Microsoft's VerifyVersionInfo, VerSetConditionMask and OSVERSIONINFOEX pages): each member's
// operator takes three bits of the condition mask, in the order of the type bits; major version,
// minor version and service pack are tested as one hierarchical value in that order, under the
// operator of the first of them that is tested, going on while they are equal; the other members
// are tested on their own; a requirement that is not met gives ERROR_OLD_WIN_VERSION. A mask or
// condition of zero is an invalid argument (ERROR_BAD_ARGUMENTS). winsim treats every program as
// manifested for the machine's version, so no lower version is reported to it.
#include "kernel/version.h"

#include <cwchar>
#include <string>

#include "core/fault.h"
#include "core/machine.h"
#include "core/strings.h"
#include "registry/store.h"
#include "windows.h"

namespace winsim {
namespace {

const wchar_t* kCurrentVersionKey = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";

std::optional<std::wstring> StringValue(int64_t key, const wchar_t* name) {
  auto value = reg::GetStoredValue(key, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::wstring text = WideFromUtf16Le(value->data.data(), value->data.size());
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

std::optional<uint32_t> DwordValue(int64_t key, const wchar_t* name) {
  auto value = reg::GetStoredValue(key, name);
  if (!value || value->type != REG_DWORD || value->data.size() < 4) return std::nullopt;
  return static_cast<uint32_t>(value->data[0]) | (static_cast<uint32_t>(value->data[1]) << 8) |
         (static_cast<uint32_t>(value->data[2]) << 16) | (static_cast<uint32_t>(value->data[3]) << 24);
}

std::vector<uint8_t> DwordBytes(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

std::vector<uint8_t> StringBytes(const std::wstring& text) { return Utf16LeFromWide(text + L'\0'); }

}  // namespace

MachineVersion ReadMachineVersion() {
  MachineVersion v;
  int64_t key = reg::EnsurePath(reg::Hive::Machine, kCurrentVersionKey);
  auto major = DwordValue(key, L"CurrentMajorVersionNumber");
  auto minor = DwordValue(key, L"CurrentMinorVersionNumber");
  if (major && minor) {
    v.major = *major;
    v.minor = *minor;
  } else if (auto text = StringValue(key, L"CurrentVersion")) {
    unsigned a = 0, b = 0;
    if (std::swscanf(text->c_str(), L"%u.%u", &a, &b) == 2) {
      v.major = a;
      v.minor = b;
    }
  }
  if (auto csd = StringValue(key, L"CSDVersion")) {
    unsigned sp = 0;
    if (std::swscanf(csd->c_str(), L"Service Pack %u", &sp) == 1) v.servicePackMajor = static_cast<uint16_t>(sp);
  }
  if (auto build = StringValue(key, L"CurrentBuildNumber")) {
    unsigned b = 0;
    if (std::swscanf(build->c_str(), L"%u", &b) == 1) v.build = b;
  }
  return v;
}

void SetMachineVersion(uint32_t major, uint32_t minor, uint16_t servicePackMajor, std::optional<uint32_t> build) {
  Transaction tx;
  int64_t key = reg::EnsurePath(reg::Hive::Machine, kCurrentVersionKey);
  if (major >= 10) {
    // Windows 10 added the numeric values and left CurrentVersion at 6.3 for old readers.
    reg::PutStoredValue(key, L"CurrentMajorVersionNumber", REG_DWORD, DwordBytes(major));
    reg::PutStoredValue(key, L"CurrentMinorVersionNumber", REG_DWORD, DwordBytes(minor));
    reg::PutStoredValue(key, L"CurrentVersion", REG_SZ, StringBytes(L"6.3"));
  } else {
    reg::DeleteStoredValue(key, L"CurrentMajorVersionNumber");
    reg::DeleteStoredValue(key, L"CurrentMinorVersionNumber");
    reg::PutStoredValue(key, L"CurrentVersion", REG_SZ,
                        StringBytes(std::to_wstring(major) + L"." + std::to_wstring(minor)));
  }
  if (servicePackMajor > 0) {
    reg::PutStoredValue(key, L"CSDVersion", REG_SZ, StringBytes(L"Service Pack " + std::to_wstring(servicePackMajor)));
  } else {
    reg::DeleteStoredValue(key, L"CSDVersion");
  }
  if (build) {
    reg::PutStoredValue(key, L"CurrentBuildNumber", REG_SZ, StringBytes(std::to_wstring(*build)));
    reg::PutStoredValue(key, L"CurrentBuild", REG_SZ, StringBytes(std::to_wstring(*build)));
  }
  tx.Commit();
}

}  // namespace winsim

namespace {

// The position of each member's operator in the condition mask, by its type bit.
int ConditionIndex(DWORD typeBit) {
  for (int i = 0; i < 8; ++i) {
    if (typeBit == (1u << i)) return i;
  }
  return -1;
}

BYTE ConditionOf(DWORDLONG mask, DWORD typeBit) {
  return static_cast<BYTE>((mask >> (ConditionIndex(typeBit) * VER_NUM_BITS_PER_CONDITION_MASK)) & VER_CONDITION_MASK);
}

// current <op> required, for the relational operators.
bool Compare(BYTE condition, uint64_t current, uint64_t required) {
  switch (condition) {
    case VER_EQUAL: return current == required;
    case VER_GREATER: return current > required;
    case VER_GREATER_EQUAL: return current >= required;
    case VER_LESS: return current < required;
    case VER_LESS_EQUAL: return current <= required;
    default: return false;
  }
}

}  // namespace

ULONGLONG WINAPI VerSetConditionMask(ULONGLONG ConditionMask, DWORD TypeMask, BYTE Condition) {
  // The function has no failure of its own: an injected fault leaves the mask as it was.
  if (winsim::CheckFault("VerSetConditionMask")) return ConditionMask;
  if (Condition == 0) return ConditionMask;
  for (int i = 0; i < 8; ++i) {
    if (TypeMask & (1u << i)) {
      ConditionMask |= static_cast<ULONGLONG>(Condition & VER_CONDITION_MASK) << (i * VER_NUM_BITS_PER_CONDITION_MASK);
    }
  }
  return ConditionMask;
}

BOOL WINAPI VerifyVersionInfoW(LPOSVERSIONINFOEXW lpVersionInformation, DWORD dwTypeMask, DWORDLONG dwlConditionMask) {
  WINSIM_FAULT_BOOL("VerifyVersionInfoW");
  constexpr DWORD kKnown = VER_MINORVERSION | VER_MAJORVERSION | VER_BUILDNUMBER | VER_PLATFORMID |
                           VER_SERVICEPACKMINOR | VER_SERVICEPACKMAJOR | VER_SUITENAME | VER_PRODUCT_TYPE;
  if (!lpVersionInformation || dwTypeMask == 0 || (dwTypeMask & ~kKnown) || dwlConditionMask == 0) {
    SetLastError(ERROR_BAD_ARGUMENTS);
    return FALSE;
  }
  // Every member tested on its own needs an operator; of major, minor and service pack only the
  // first one tested does, since its operator governs the others.
  constexpr DWORD kHierarchy = VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR | VER_SERVICEPACKMINOR;
  DWORD needOperator = dwTypeMask & ~kHierarchy;
  for (DWORD bit : {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR, VER_SERVICEPACKMINOR}) {
    if (dwTypeMask & bit) {
      needOperator |= bit;
      break;
    }
  }
  for (int i = 0; i < 8; ++i) {
    DWORD bit = 1u << i;
    if ((needOperator & bit) && ConditionOf(dwlConditionMask, bit) == 0) {
      SetLastError(ERROR_BAD_ARGUMENTS);
      return FALSE;
    }
  }
  const OSVERSIONINFOEXW& want = *lpVersionInformation;
  winsim::MachineVersion have = winsim::ReadMachineVersion();
  bool met = true;

  struct Level {
    DWORD bit;
    uint64_t current;
    uint64_t required;
  };
  const Level levels[] = {{VER_MAJORVERSION, have.major, want.dwMajorVersion},
                          {VER_MINORVERSION, have.minor, want.dwMinorVersion},
                          {VER_SERVICEPACKMAJOR, have.servicePackMajor, want.wServicePackMajor},
                          {VER_SERVICEPACKMINOR, have.servicePackMinor, want.wServicePackMinor}};
  BYTE governing = 0;
  bool decided = false;
  for (const Level& level : levels) {
    if (!(dwTypeMask & level.bit)) continue;
    if (governing == 0) governing = ConditionOf(dwlConditionMask, level.bit);
    if (level.current != level.required) {
      met = Compare(governing, level.current, level.required);
      decided = true;
      break;
    }
  }
  if (governing != 0 && !decided) met = Compare(governing, 0, 0);

  if (met && (dwTypeMask & VER_BUILDNUMBER)) {
    met = Compare(ConditionOf(dwlConditionMask, VER_BUILDNUMBER), have.build, want.dwBuildNumber);
  }
  if (met && (dwTypeMask & VER_PLATFORMID)) {
    met = Compare(ConditionOf(dwlConditionMask, VER_PLATFORMID), VER_PLATFORM_WIN32_NT, want.dwPlatformId);
  }
  if (met && (dwTypeMask & VER_PRODUCT_TYPE)) {
    met = Compare(ConditionOf(dwlConditionMask, VER_PRODUCT_TYPE), VER_NT_WORKSTATION, want.wProductType);
  }
  if (met && (dwTypeMask & VER_SUITENAME)) {
    // A workstation with one interactive Terminal Services session.
    const WORD suites = VER_SUITE_SINGLEUSERTS;
    BYTE condition = ConditionOf(dwlConditionMask, VER_SUITENAME);
    if (condition == VER_AND) {
      met = (suites & want.wSuiteMask) == want.wSuiteMask;
    } else if (condition == VER_OR) {
      met = want.wSuiteMask == 0 || (suites & want.wSuiteMask) != 0;
    } else {
      met = false;
    }
  }
  if (!met) {
    SetLastError(ERROR_OLD_WIN_VERSION);
    return FALSE;
  }
  return TRUE;
}
