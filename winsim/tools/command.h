// The winsim command: one sub-command per file, each registered by name.
#pragma once
#include <string>
#include <vector>

namespace winsim::cli {

using Args = std::vector<std::string>;
using Handler = int (*)(const Args& args);

struct Command {
  const char* name;   // "init", "user", "reg", …
  const char* usage;  // one or more usage lines
  Handler handler;
};

// Registers a command at static initialisation.
struct Registrar {
  explicit Registrar(Command command);
};

// Prints "winsim: MESSAGE" to stderr and returns the exit status for a failed command.
int Fail(const std::string& message);
// Takes "--name VALUE" out of args; nullopt-like empty when absent.
bool TakeOption(Args& args, const std::string& name, std::string* value);
bool TakeFlag(Args& args, const std::string& name);
// The Linux folder of this command, where the build also puts the stand-in programs.
std::string CommandFolder();

}  // namespace winsim::cli
