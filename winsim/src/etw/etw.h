// The machine's event log: what ETW providers of every process of the machine have written.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "windows.h"

namespace winsim::etw {

struct EventRecord {
  int64_t id = 0;
  int64_t timeMicros = 0;  // microseconds since 1970-01-01 UTC
  std::string provider;    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case
  uint8_t level = 0;
  uint64_t keyword = 0;
  std::wstring text;
  int64_t pid = 0;
  std::wstring imageName;
};

// Events in the order written; only one provider's when given (any case, braces optional).
std::vector<EventRecord> ReadEvents(const std::optional<std::string>& provider = std::nullopt);

// A GUID in the registry form Windows tools show, with braces and upper-case hex digits.
std::string GuidText(const GUID& guid);
// Parses "{...}" or the bare 36-character form; nullopt when malformed.
std::optional<GUID> ParseGuid(const std::string& text);

// "2024-05-01T12:00:00.123Z"
std::string FormatTime(int64_t timeMicros);

}  // namespace winsim::etw
