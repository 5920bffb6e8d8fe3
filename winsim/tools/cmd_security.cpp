// winsim security: the capability SIDs that a capability name gives, and how many of them the
// machine's DeriveCapabilitySidsFromName returns.
#include <cstdio>
#include <string>

#include "command.h"
#include "core/strings.h"
#include "security/capability.h"

namespace winsim::cli {
namespace {

const char* kUsage =
    "usage: winsim security capability-sid NAME\n"
    "       winsim security capability-count [NAME [N | --clear]]";

int CapabilityCount(Args args) {
  if (args.empty()) {
    for (const auto& [name, count] : security::ListShapedCapabilityCounts()) {
      std::printf("%s %u\n", Utf8FromWide(name).c_str(), count);
    }
    return 0;
  }
  std::wstring name = WideFromUtf8(args[0]);
  if (name.empty()) return Fail("the capability name is empty");
  if (args.size() == 1) {
    auto count = security::ShapedCapabilityCount(name);
    std::printf("%s %u%s\n", args[0].c_str(), count.value_or(1), count ? "" : " (not shaped)");
    return 0;
  }
  if (args.size() != 2) return Fail(kUsage);
  if (args[1] == "--clear") {
    security::SetShapedCapabilityCount(name, std::nullopt);
    std::printf("%s: one capability SID, as derived\n", args[0].c_str());
    return 0;
  }
  const std::string& text = args[1];
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos) {
    return Fail("the count must be a number from 0 to 9999, not '" + text + "'");
  }
  uint32_t count = static_cast<uint32_t>(std::stoul(text));
  security::SetShapedCapabilityCount(name, count);
  std::printf("%s: %u capability SIDs\n", args[0].c_str(), count);
  return 0;
}

int Security(const Args& argsIn) {
  Args args = argsIn;
  if (args.empty()) return Fail(kUsage);
  std::string sub = args[0];
  args.erase(args.begin());
  if (sub == "capability-count") return CapabilityCount(args);
  if (sub == "capability-sid") {
    if (args.size() != 1 || args[0].empty()) return Fail(kUsage);
    std::wstring name = WideFromUtf8(args[0]);
    std::printf("capability %s\ngroup %s\n", security::SidToString(security::DeriveCapabilitySid(name)).c_str(),
                security::SidToString(security::DeriveCapabilityGroupSid(name)).c_str());
    return 0;
  }
  return Fail("unknown security sub-command '" + sub + "'");
}

Registrar securityCommand(
    {"security",
     "winsim security capability-sid NAME        the capability SID and group SID derived from NAME\n"
     "winsim security capability-count [NAME [N | --clear]]\n"
     "                                           how many capability SIDs DeriveCapabilitySidsFromName\n"
     "                                           returns for NAME (1 unless shaped); without NAME, the shaped names",
     Security});

}  // namespace
}  // namespace winsim::cli
