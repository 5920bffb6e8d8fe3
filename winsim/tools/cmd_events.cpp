// winsim events: the machine's event log, one event a line.
#include <cstdio>

#include "command.h"
#include "core/strings.h"
#include "etw/etw.h"

namespace winsim::cli {
namespace {

int Events(const Args& argsIn) {
  Args args = argsIn;
  std::string provider;
  bool filtered = TakeOption(args, "--provider", &provider);
  if (!args.empty()) return Fail("usage: winsim events [--provider GUID]");
  if (filtered && !etw::ParseGuid(provider)) return Fail("not a GUID: " + provider);
  auto events = filtered ? etw::ReadEvents(provider) : etw::ReadEvents();
  for (const auto& e : events) {
    std::printf("%s %s %u %s\n", etw::FormatTime(e.timeMicros).c_str(), e.provider.c_str(),
                static_cast<unsigned>(e.level), Utf8FromWide(e.text).c_str());
  }
  return 0;
}

Registrar eventsCommand({"events", "winsim events [--provider GUID]            the event log: time, provider, level, text",
                         Events});

}  // namespace
}  // namespace winsim::cli
