#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <stdexcept>

#include "command.h"
#include "core/machine.h"

namespace winsim::cli {
namespace {
std::map<std::string, Command>& Commands() {
  static std::map<std::string, Command> commands;
  return commands;
}

int Usage(FILE* out) {
  std::fprintf(out, "usage: winsim [--machine DIR] COMMAND [ARGS...]\n"
                    "The machine is the directory named by --machine or WINSIM_MACHINE.\n\n");
  for (auto& [name, command] : Commands()) std::fprintf(out, "%s\n", command.usage);
  return out == stdout ? 0 : 2;
}
}  // namespace

Registrar::Registrar(Command command) { Commands()[command.name] = command; }

int Fail(const std::string& message) {
  std::fprintf(stderr, "winsim: %s\n", message.c_str());
  return 1;
}

bool TakeOption(Args& args, const std::string& name, std::string* value) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") return false;
    if (args[i] == name) {
      if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value");
      *value = args[i + 1];
      args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
      return true;
    }
  }
  return false;
}

bool TakeFlag(Args& args, const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--") return false;
    if (args[i] == name) {
      args.erase(args.begin() + static_cast<long>(i));
      return true;
    }
  }
  return false;
}

std::string CommandFolder() {
  char buffer[4096];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
  if (n <= 0) return ".";
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace winsim::cli

int main(int argc, char** argv) {
  using namespace winsim::cli;
  Args args(argv + 1, argv + argc);
  try {
    std::string machine;
    if (!args.empty() && args[0] == "--machine") {
      if (args.size() < 2) return Fail("--machine needs a directory");
      machine = args[1];
      args.erase(args.begin(), args.begin() + 2);
      setenv("WINSIM_MACHINE", machine.c_str(), 1);
      winsim::UseMachine(machine);
    }
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
      return Usage(args.empty() ? stderr : stdout);
    }
    auto it = Commands().find(args[0]);
    if (it == Commands().end()) return Fail("unknown command '" + args[0] + "' (winsim help lists them)");
    std::string name = args[0];
    args.erase(args.begin());
    if (name != "init" && !winsim::HasMachine()) {
      return Fail("no machine: give --machine DIR or set WINSIM_MACHINE");
    }
    return it->second.handler(args);
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
}
