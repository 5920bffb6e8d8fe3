// The clocks. They read the host's real time: the machine's time scale speeds up waits, not clocks.
#include <time.h>

#include "core/fault.h"
#include "windows.h"

namespace {

void Fill(SYSTEMTIME* out, const struct tm& t, long nanoseconds) {
  out->wYear = static_cast<WORD>(t.tm_year + 1900);
  out->wMonth = static_cast<WORD>(t.tm_mon + 1);
  out->wDayOfWeek = static_cast<WORD>(t.tm_wday);  // 0 is Sunday, as on Windows
  out->wDay = static_cast<WORD>(t.tm_mday);
  out->wHour = static_cast<WORD>(t.tm_hour);
  out->wMinute = static_cast<WORD>(t.tm_min);
  out->wSecond = static_cast<WORD>(t.tm_sec > 59 ? 59 : t.tm_sec);  // no leap seconds in SYSTEMTIME
  out->wMilliseconds = static_cast<WORD>(nanoseconds / 1000000);
}

}  // namespace

void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime) {
  // A void function: an injected fault can only be recorded as the last error.
  if (auto fault = winsim::CheckFault("GetLocalTime")) SetLastError(*fault);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm t;
  localtime_r(&now.tv_sec, &t);
  Fill(lpSystemTime, t, now.tv_nsec);
}

void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime) {
  if (auto fault = winsim::CheckFault("GetSystemTime")) SetLastError(*fault);
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  struct tm t;
  gmtime_r(&now.tv_sec, &t);
  Fill(lpSystemTime, t, now.tv_nsec);
}

ULONGLONG WINAPI GetTickCount64(void) {
  WINSIM_FAULT_VALUE("GetTickCount64", 0);
  // Milliseconds since the host started, including time suspended, as Windows counts them.
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
}

DWORD WINAPI GetTickCount(void) {
  WINSIM_FAULT_VALUE("GetTickCount", 0);
  // Wraps after 49.7 days, as Windows' 32-bit count does.
  struct timespec now;
  clock_gettime(CLOCK_BOOTTIME, &now);
  return static_cast<DWORD>(static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u);
}
