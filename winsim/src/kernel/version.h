// The Windows version the machine reports. It lives where Windows keeps it, under
// HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows NT\CurrentVersion: CurrentMajorVersionNumber and
// CurrentMinorVersionNumber (REG_DWORD, since Windows 10), else CurrentVersion ("6.1"); the service
// pack in CSDVersion ("Service Pack 1"); the build in CurrentBuildNumber. A fresh machine is
// Windows 10 (10.0, build 19045).
#pragma once
#include <cstdint>
#include <optional>

namespace winsim {

struct MachineVersion {
  uint32_t major = 10;
  uint32_t minor = 0;
  uint32_t build = 19045;
  uint16_t servicePackMajor = 0;
  uint16_t servicePackMinor = 0;
};

MachineVersion ReadMachineVersion();
// Writes the version as that Windows release keeps it; the build is kept unless one is given.
void SetMachineVersion(uint32_t major, uint32_t minor, uint16_t servicePackMajor, std::optional<uint32_t> build);

}  // namespace winsim
