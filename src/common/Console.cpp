#include "common/Console.h"

#include <cstdarg>
#include <cstdio>

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

void ConsolePrint(const wchar_t* format, ...) {
  wchar_t text[2048] = {};
  va_list args;
  va_start(args, format);
  StringCchVPrintfW(text, ARRAYSIZE(text), format, args);
  va_end(args);
  // The console texts are plain ASCII; they go out as bytes through the narrow stream, which the
  // program's one narrow text ("RpcServerConnect returned") shares.
  char bytes[ARRAYSIZE(text)];
  size_t n = 0;
  for (const wchar_t* p = text; *p != L'\0' && n < sizeof(bytes); ++p) {
    bytes[n++] = static_cast<unsigned long>(*p) <= 0xFF ? static_cast<char>(*p) : '?';
  }
  fwrite(bytes, 1, n, stdout);
  fflush(stdout);
}
