// The folders of a fresh Windows installation on drive C:.
#include <filesystem>

#include "core/init_hooks.h"
#include "core/machine.h"

namespace winsim {

void InitFileSystemDefaults() {
  namespace fs = std::filesystem;
  fs::path c = fs::path(MachineDir()) / "drives" / "c";
  for (const char* folder : {"Windows/Temp", "Windows/System32/config/systemprofile", "Users/Public", "Program Files",
                             "ProgramData"}) {
    fs::create_directories(c / folder);
  }
}

}  // namespace winsim
