// ETW providers. The machine's event log stands for an always-on trace session that enables every
// provider at every level and keyword: events go to the machine database, and a registered
// provider's enable callback is told so when it registers, as Windows does for a provider whose
// session is already running.
#include "etw/etw.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "core/fault.h"
#include "core/machine.h"
#include "core/strings.h"
#include "process/process.h"
#include "evntprov.h"

namespace winsim::etw {
namespace {

const char* kEventSchema =
    "CREATE TABLE IF NOT EXISTS event_log (id INTEGER PRIMARY KEY AUTOINCREMENT, time INTEGER NOT NULL,"
    " provider TEXT NOT NULL, level INTEGER NOT NULL, keyword INTEGER NOT NULL, text TEXT NOT NULL,"
    " pid INTEGER NOT NULL, image TEXT NOT NULL);"
    "CREATE INDEX IF NOT EXISTS event_log_provider ON event_log(provider, id);";

Database& EventDb() {
  Database& db = Database::Get();
  db.EnsureSchema("etw", kEventSchema);
  return db;
}

struct Registration {
  GUID provider;
};

// Left undestroyed at exit: a thread-pool callback may still write while the process exits.
struct Registrations {
  std::mutex lock;
  std::map<REGHANDLE, Registration> byHandle;
  REGHANDLE next = 0x0000A11000000001ull;  // never zero
};
Registrations& TheRegistrations() {
  static Registrations* r = new Registrations;
  return *r;
}

std::wstring CurrentImageName() {
  const std::wstring& path = CurrentImagePath();
  size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string GuidText(const GUID& g) {
  char buffer[40];
  std::snprintf(buffer, sizeof(buffer), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return buffer;
}

std::optional<GUID> ParseGuid(const std::string& textIn) {
  std::string text = textIn;
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    if (HexValue(text[i]) < 0) return std::nullopt;
    hex.push_back(text[i]);
  }
  auto field = [&hex](size_t at, size_t digits) {
    uint64_t v = 0;
    for (size_t i = 0; i < digits; ++i) v = (v << 4) | static_cast<uint64_t>(HexValue(hex[at + i]));
    return v;
  };
  GUID g;
  g.Data1 = static_cast<uint32_t>(field(0, 8));
  g.Data2 = static_cast<uint16_t>(field(8, 4));
  g.Data3 = static_cast<uint16_t>(field(12, 4));
  for (size_t i = 0; i < 8; ++i) g.Data4[i] = static_cast<uint8_t>(field(16 + 2 * i, 2));
  return g;
}

std::string FormatTime(int64_t timeMicros) {
  time_t seconds = static_cast<time_t>(timeMicros / 1000000);
  struct tm utc;
  gmtime_r(&seconds, &utc);
  char buffer[48];
  std::snprintf(buffer, sizeof(buffer), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>((timeMicros / 1000) % 1000));
  return buffer;
}

std::vector<EventRecord> ReadEvents(const std::optional<std::string>& provider) {
  Database& db = EventDb();
  std::string wanted;
  if (provider) {
    auto guid = ParseGuid(*provider);
    if (!guid) return {};
    wanted = GuidText(*guid);
  }
  Statement q(db.Raw(), provider ? "SELECT id, time, provider, level, keyword, text, pid, image FROM event_log"
                                   " WHERE provider=? ORDER BY id"
                                 : "SELECT id, time, provider, level, keyword, text, pid, image FROM event_log"
                                   " ORDER BY id");
  if (provider) q.Bind(1, wanted);
  std::vector<EventRecord> out;
  while (q.Step()) {
    EventRecord r;
    r.id = q.Int(0);
    r.timeMicros = q.Int(1);
    r.provider = q.Text(2);
    r.level = static_cast<uint8_t>(q.Int(3));
    r.keyword = static_cast<uint64_t>(q.Int(4));
    r.text = WideFromUtf8(q.Text(5));
    r.pid = q.Int(6);
    r.imageName = WideFromUtf8(q.Text(7));
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace winsim::etw

using namespace winsim::etw;

ULONG WINAPI EventRegister(LPCGUID ProviderId, PENABLECALLBACK EnableCallback, PVOID CallbackContext,
                           PREGHANDLE RegHandle) {
  // "If EventRegister fails, it returns a zero-valued RegHandle."
  if (RegHandle) *RegHandle = 0;
  WINSIM_FAULT_STATUS("EventRegister", ULONG);
  if (!ProviderId || !RegHandle) return ERROR_INVALID_PARAMETER;
  REGHANDLE handle;
  {
    auto& regs = TheRegistrations();
    std::lock_guard<std::mutex> lock(regs.lock);
    handle = regs.next++;
    regs.byHandle[handle] = Registration{*ProviderId};
  }
  *RegHandle = handle;
  // The always-on session enables the provider for everything; level 0 and an all-ones keyword
  // mask are how a session asks for every event.
  if (EnableCallback) {
    EnableCallback(ProviderId, EVENT_CONTROL_CODE_ENABLE_PROVIDER, 0, ~0ull, 0, nullptr, CallbackContext);
  }
  return ERROR_SUCCESS;
}

ULONG WINAPI EventUnregister(REGHANDLE RegHandle) {
  WINSIM_FAULT_STATUS("EventUnregister", ULONG);
  // A zero handle (a failed registration) is accepted and does nothing, as documented.
  if (RegHandle == 0) return ERROR_SUCCESS;
  auto& regs = TheRegistrations();
  std::lock_guard<std::mutex> lock(regs.lock);
  if (regs.byHandle.erase(RegHandle) == 0) return ERROR_INVALID_HANDLE;
  return ERROR_SUCCESS;
}

ULONG WINAPI EventWriteString(REGHANDLE RegHandle, UCHAR Level, ULONGLONG Keyword, PCWSTR String) {
  WINSIM_FAULT_STATUS("EventWriteString", ULONG);
  if (RegHandle == 0) return ERROR_SUCCESS;
  GUID provider;
  {
    auto& regs = TheRegistrations();
    std::lock_guard<std::mutex> lock(regs.lock);
    auto it = regs.byHandle.find(RegHandle);
    if (it == regs.byHandle.end()) return ERROR_INVALID_HANDLE;
    provider = it->second.provider;
  }
  if (!String) return ERROR_INVALID_PARAMETER;
  // An event holds at most 64 KB including its header; the string travels as UTF-16 with its NUL.
  constexpr size_t kMaxPayloadBytes = 65536 - 80;
  std::wstring text(String);
  if (winsim::Utf16LeFromWide(text).size() + 2 > kMaxPayloadBytes) return ERROR_ARITHMETIC_OVERFLOW;
  if (!winsim::HasMachine()) return ERROR_SUCCESS;  // no session listening: the event is dropped
  try {
    auto now = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::system_clock::now().time_since_epoch());
    winsim::Database& db = EventDb();
    winsim::Statement ins(db.Raw(),
                          "INSERT INTO event_log(time, provider, level, keyword, text, pid, image)"
                          " VALUES(?,?,?,?,?,?,?)");
    ins.Bind(1, static_cast<int64_t>(now.count())).Bind(2, GuidText(provider)).Bind(3, static_cast<int64_t>(Level));
    ins.Bind(4, static_cast<int64_t>(Keyword)).Bind(5, winsim::Utf8FromWide(text));
    ins.Bind(6, static_cast<int64_t>(getpid())).Bind(7, winsim::Utf8FromWide(CurrentImageName()));
    ins.Step();
  } catch (const std::exception&) {
    // A session that cannot keep up loses events; the writer is told so, and carries on.
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  return ERROR_SUCCESS;
}
