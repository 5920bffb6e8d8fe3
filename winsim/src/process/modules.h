// The process's modules: its image and the libraries LoadLibraryW has loaded.
#pragma once
#include <optional>
#include <string>

#include "minwindef.h"

namespace winsim {

// The process image's module handle: the address of its ELF header, as a Windows module handle is
// the address where the image is mapped.
HMODULE ProcessImageHandle();
// The Windows path of the module, when hModule names the image or a loaded library.
std::optional<std::wstring> ModulePath(HMODULE hModule);

}  // namespace winsim
