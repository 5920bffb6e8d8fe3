#include "common/Log.h"

#include <objbase.h>
#include <rpc.h>
#include <shlwapi.h>

#include <mutex>

#include "common/Registry.h"

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

std::atomic<LONG> g_nLogLevel{-1};

namespace {

const wchar_t* const kLevelNames[] = {L"NOLOG", L"DEBUG", L"INFO", L"WARNING", L"ERROR"};
const wchar_t kLogFolderName[] = L"_TorvexUtility_\\";
const size_t kEntryChars = 1024;
const size_t kTimeChars = 128;

// Entries of one process never interleave. A namespace-scope mutex is set up before the entry
// point runs, before any thread can log.
std::mutex g_logMutex;

bool IsEntryLevel(LONG level) { return level >= LOG_LEVEL_DEBUG && level <= LOG_LEVEL_ERROR; }

void ReadConfiguredLevel() {
  DWORD level = 0;
  if (GetKeyValueInt(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, REG_LOG_LEVEL_VALUE, &level)) {
    g_nLogLevel.store(static_cast<LONG>(level), std::memory_order_relaxed);
    return;
  }
  // No readable level yet: write the default (logging off). A process that may not write there
  // (the agent as a plain user) tries again at its next entry.
  if (CreateKey(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY) &&
      SetKeyValueInt(HKEY_LOCAL_MACHINE, REG_LOG_LEVEL_KEY, REG_LOG_LEVEL_VALUE, 0)) {
    g_nLogLevel.store(0, std::memory_order_relaxed);
  }
}

// The log folder is under the machine-wide temporary folder, where ordinary users may create
// entries before the service does. A link or junction planted at the folder or the file would make
// a LocalSystem write land wherever it points, so the entry is dropped unless the file opened is
// the plain file at the expected place.
HANDLE OpenLogFileForAppend(const wchar_t* folderPath, const wchar_t* filePath) {
  DWORD folderAttributes = GetFileAttributesW(folderPath);
  if (folderAttributes == INVALID_FILE_ATTRIBUTES || !(folderAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
      (folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = CreateFileW(filePath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

  BY_HANDLE_FILE_INFORMATION info = {};
  bool plainFile = GetFileInformationByHandle(file, &info) &&
                   !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
                   info.nNumberOfLinks == 1;
  // The folder may have been swapped for a junction between the check above and the open: the
  // file's final path tells where the handle really points.
  wchar_t finalPath[MAX_PATH + 8] = {};
  wchar_t expectedPath[MAX_PATH + 8] = {};
  DWORD finalLength = GetFinalPathNameByHandleW(file, finalPath, ARRAYSIZE(finalPath), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  bool expectedPlace = finalLength > 0 && finalLength < ARRAYSIZE(finalPath) &&
                       SUCCEEDED(StringCchPrintfW(expectedPath, ARRAYSIZE(expectedPath), L"\\\\?\\%s", filePath)) &&
                       CompareStringOrdinal(finalPath, -1, expectedPath, -1, TRUE) == CSTR_EQUAL;
  if (!plainFile || !expectedPlace) {
    CloseHandle(file);
    return INVALID_HANDLE_VALUE;
  }
  return file;
}

// The bytes a text-mode append in the "C" locale writes for an entry: one byte per character up to
// U+00FF, a line feed as carriage return plus line feed, and nothing from the first character that
// has no byte onwards.
size_t EncodeEntry(const wchar_t* entry, char* out, size_t outSize) {
  size_t n = 0;
  for (const wchar_t* p = entry; *p != L'\0'; ++p) {
    unsigned long c = static_cast<unsigned long>(*p);
    if (c > 0xFF) break;
    if (c == L'\n') {
      if (n + 2 > outSize) break;
      out[n++] = '\r';
      out[n++] = '\n';
    } else {
      if (n + 1 > outSize) break;
      out[n++] = static_cast<char>(c);
    }
  }
  return n;
}

}  // namespace

void WriteLog(const wchar_t* tag, int reserved, int level, const wchar_t* format, ...) {
  if (g_nLogLevel.load(std::memory_order_relaxed) < 0) ReadConfiguredLevel();
  if (!IsEntryLevel(level)) return;
  LONG configured = g_nLogLevel.load(std::memory_order_relaxed);
  if (!IsEntryLevel(configured)) return;
  if (level < configured) return;
  if (tag == nullptr || format == nullptr) return;

  va_list args;
  va_start(args, format);
  {
    std::lock_guard<std::mutex> lock(g_logMutex);
    WriteLogLine(tag, reserved, level, format, args);
  }
  va_end(args);
}

void WriteLogLine(const wchar_t* tag, int reserved, int level, const wchar_t* format, va_list args) {
  wchar_t entry[kEntryChars] = {};
  wchar_t timestamp[kTimeChars] = {};
  if (!IsEntryLevel(level) || tag == nullptr || format == nullptr) return;

  SYSTEMTIME now = {};
  GetLocalTime(&now);
  if (FAILED(StringCchPrintfW(timestamp, kTimeChars, L"%04d-%02d-%02d %02d:%02d:%02d.%03d", now.wYear, now.wMonth,
                              now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds))) {
    timestamp[0] = L'\0';
  }

  size_t offset = 0;
  size_t length = 0;
  if (SUCCEEDED(StringCchPrintfW(entry, kEntryChars, L"[%s] ", timestamp)) &&
      SUCCEEDED(StringCchLengthW(entry, kEntryChars, &length))) {
    offset = length;
  }
  if (SUCCEEDED(StringCchPrintfW(entry + offset, kEntryChars - offset, L"[%s] ", kLevelNames[level])) &&
      SUCCEEDED(StringCchLengthW(entry + offset, kEntryChars - offset, &length))) {
    offset += length;
  }
  // A message too long for the entry is cut; the entry stays terminated within its buffer.
  StringCchVPrintfW(entry + offset, kEntryChars - offset, format, args);

  wchar_t tempPath[MAX_PATH] = {};
  wchar_t folderPath[MAX_PATH] = {};
  wchar_t filePath[MAX_PATH] = {};
  if (GetTempPathW(MAX_PATH, tempPath) != 0) {
    // Only the drive of the temporary folder counts: every process of the system logs into the
    // same folder on that drive.
    if (SUCCEEDED(StringCchPrintfW(folderPath, MAX_PATH, L"%c:\\Windows\\Temp\\%s", tempPath[0], kLogFolderName))) {
      if (!PathFileExistsW(folderPath)) CreateDirectoryW(folderPath, nullptr);
      // A path cut short would name another file: leave it empty so that the entry is dropped.
      if (FAILED(StringCchPrintfW(filePath, MAX_PATH, L"%s%s.log", folderPath, g_wsModuleName.c_str()))) {
        filePath[0] = L'\0';
      }
    }
  }
  if (filePath[0] == L'\0') return;

  HANDLE file = OpenLogFileForAppend(folderPath, filePath);
  if (file == INVALID_HANDLE_VALUE) return;
  char bytes[kEntryChars * 2];
  size_t count = EncodeEntry(entry, bytes, sizeof(bytes));
  DWORD written = 0;
  if (count > 0) WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr);
  CloseHandle(file);
}

std::wstring GetGuidString() {
  GUID guid = {};
  if (FAILED(CoCreateGuid(&guid))) return std::wstring();
  RPC_WSTR text = nullptr;
  if (UuidToStringW(&guid, &text) != RPC_S_OK || text == nullptr) return std::wstring();
  std::wstring result(reinterpret_cast<const wchar_t*>(text));
  RpcStringFreeW(&text);
  return result;
}
