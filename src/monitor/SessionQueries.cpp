#include "monitor/SessionQueries.h"

#include <bcrypt.h>
#include <tlhelp32.h>
#include <wtsapi32.h>

#include <cwchar>

#include "common/Log.h"
#include "common/Portability.h"
#include "common/Registry.h"
#include "common/UtilityApp.h"

// Last: it marks the unbounded string functions of the headers above as deprecated.
#include <strsafe.h>

namespace {

// Formatted paths: 1024 characters, of which the formatting is offered 1023.
const size_t kPathChars = 1024;

// Owners of what the queries obtain, so that every path releases it.
class WtsBuffer {
 public:
  ~WtsBuffer() {
    if (m_buffer != nullptr) WTSFreeMemory(m_buffer);
  }
  LPWSTR* put() { return &m_buffer; }
  LPWSTR get() const { return m_buffer; }

 private:
  LPWSTR m_buffer = nullptr;
};

class Snapshot {
 public:
  explicit Snapshot(HANDLE handle) : m_handle(handle) {}
  ~Snapshot() {
    if (valid()) CloseHandle(m_handle);
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;
  bool valid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

class AlgorithmProvider {
 public:
  ~AlgorithmProvider() {
    if (m_handle != nullptr) BCryptCloseAlgorithmProvider(m_handle, 0);
  }
  BCRYPT_ALG_HANDLE* put() { return &m_handle; }
  BCRYPT_ALG_HANDLE get() const { return m_handle; }

 private:
  BCRYPT_ALG_HANDLE m_handle = nullptr;
};

class HashObject {
 public:
  ~HashObject() {
    if (m_handle != nullptr) BCryptDestroyHash(m_handle);
  }
  BCRYPT_HASH_HANDLE* put() { return &m_handle; }
  BCRYPT_HASH_HANDLE get() const { return m_handle; }

 private:
  BCRYPT_HASH_HANDLE m_handle = nullptr;
};

// A block of the process heap. Declared before the hash object that lives in it, so that the
// hash is destroyed before its storage goes.
class HeapBlock {
 public:
  ~HeapBlock() {
    if (m_block != nullptr) HeapFree(m_heap, 0, m_block);
  }
  bool Allocate(SIZE_T bytes) {
    m_heap = GetProcessHeap();
    if (m_heap == nullptr) return false;
    m_block = static_cast<PUCHAR>(HeapAlloc(m_heap, 0, bytes));
    return m_block != nullptr;
  }
  PUCHAR get() const { return m_block; }

 private:
  HANDLE m_heap = nullptr;
  PUCHAR m_block = nullptr;
};

bool ReadLengthProperty(BCRYPT_ALG_HANDLE algorithm, LPCWSTR property, DWORD& value) {
  ULONG written = 0;
  value = 0;
  NTSTATUS status = BCryptGetProperty(algorithm, property, reinterpret_cast<PUCHAR>(&value), sizeof(value), &written, 0);
  return NT_SUCCESS(status);
}

}  // namespace

BOOL GetCurrentUserNameAndSessionId(std::wstring& wsUserName, DWORD& dwSessionId) {
  wsUserName.clear();
  dwSessionId = WTSGetActiveConsoleSessionId();
  if (dwSessionId == NO_CONSOLE_SESSION_ID) {
    WriteLog(L"", 1, LOG_LEVEL_INFO, L"GetCurrentUserNameAndSessionId WTSGetActiveConsoleSessionId() return fail, error: 0x%x\n",
             dwSessionId);
    return FALSE;
  }
  WtsBuffer buffer;
  DWORD bytes = 0;
  if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, dwSessionId, WTSUserName, buffer.put(), &bytes)) {
    return FALSE;
  }
  if (buffer.get() != nullptr) wsUserName = buffer.get();
  return TRUE;
}

BOOL GetMD5(const std::wstring& wsData, std::wstring& wsMD5) {
  wsMD5.clear();
  if (wsData.empty()) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 The data string is EMPTY !!!\n");
    return FALSE;
  }
  // The hash covers the text as Windows holds it: two bytes a unit, low byte first, no terminator.
  std::string input = Utf16LeBytes(std::wstring(USER_MD5_PREFIX) + wsData);

  AlgorithmProvider algorithm;
  if (!NT_SUCCESS(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_MD5_ALGORITHM, nullptr, 0))) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptOpenAlgorithmProvider() return fail!\n");
    return FALSE;
  }
  DWORD objectLength = 0;
  if (!ReadLengthProperty(algorithm.get(), BCRYPT_OBJECT_LENGTH, objectLength)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptGetProperty() return fail!\n");
    return FALSE;
  }
  HeapBlock hashStorage;
  if (!hashStorage.Allocate(objectLength)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 HeapAlloc() return fail!\n");
    return FALSE;
  }
  DWORD digestLength = 0;
  if (!ReadLengthProperty(algorithm.get(), BCRYPT_HASH_LENGTH, digestLength)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptGetProperty() return fail!\n");
    return FALSE;
  }
  HeapBlock digest;
  if (!digest.Allocate(digestLength)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 HeapAlloc() return fail!\n");
    return FALSE;
  }
  HashObject hash;
  if (!NT_SUCCESS(BCryptCreateHash(algorithm.get(), hash.put(), hashStorage.get(), objectLength, nullptr, 0, 0))) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptCreateHash() return fail!\n");
    return FALSE;
  }
  if (!NT_SUCCESS(BCryptHashData(hash.get(), reinterpret_cast<PUCHAR>(input.data()), static_cast<ULONG>(input.size()), 0))) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptHashData() return fail!\n");
    return FALSE;
  }
  if (!NT_SUCCESS(BCryptFinishHash(hash.get(), digest.get(), digestLength, 0))) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetMD5 BCryptFinishHash() return fail!\n");
    return FALSE;
  }
  static const wchar_t kHexDigits[] = L"0123456789abcdef";
  std::wstring text;
  text.reserve(digestLength * 2);
  for (DWORD i = 0; i < digestLength; ++i) {
    text.push_back(kHexDigits[digest.get()[i] >> 4]);
    text.push_back(kHexDigits[digest.get()[i] & 0x0F]);
  }
  wsMD5 = text;
  return TRUE;
}

BOOL GetCurrentUserNameAndMD5(std::wstring& wsUserName, std::wstring& wsMD5) {
  DWORD sessionId = 0;
  if (!GetCurrentUserNameAndSessionId(wsUserName, sessionId)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetCurrentUserNameAndMD5 GetCurrentUserNameAndSessionId() return fail!\n");
    return FALSE;
  }
  // Nobody is signed in at the console: there is no user whose check could be due. Going on with
  // an empty MD5 text would name the product's main key as a user's key and open the user gate
  // of the check to anyone.
  if (wsUserName.empty()) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"GetCurrentUserNameAndMD5 The current user name is EMPTY !!!\n");
    return FALSE;
  }
  if (!GetMD5(wsUserName, wsMD5)) return FALSE;
  WriteLog(L"", 1, LOG_LEVEL_INFO, L"GetCurrentUserNameAndMD5 the user name is \"%s\", MD5 is \"%s\"\n",
           wsUserName.c_str(), wsMD5.c_str());
  return TRUE;
}

BOOL IsExistUtilityProcess() {
  Snapshot snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  if (!snapshot.valid()) return FALSE;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
    // Only the first characters count, so that a name that merely begins with the image name
    // matches too.
    if (std::wcslen(entry.szExeFile) < UTILITY_PROCESS_IMAGE_NAME_LENGTH ||
        CompareStringOrdinal(entry.szExeFile, UTILITY_PROCESS_IMAGE_NAME_LENGTH, UTILITY_PROCESS_IMAGE_NAME,
                             UTILITY_PROCESS_IMAGE_NAME_LENGTH, TRUE) != CSTR_EQUAL) {
      continue;
    }
    DWORD processSession = 0;
    if (!ProcessIdToSessionId(entry.th32ProcessID, &processSession)) continue;
    std::wstring userName;
    DWORD consoleSession = 0;
    if (!GetCurrentUserNameAndSessionId(userName, consoleSession)) continue;
    if (processSession == consoleSession) {
      WriteLog(L"", 1, LOG_LEVEL_INFO, L"IsExistUtilityProcess The \"%s\" process is existance. Its session id is %u\n",
               UTILITY_PROCESS_IMAGE_NAME, processSession);
      return TRUE;
    }
    WriteLog(L"", 1, LOG_LEVEL_INFO,
             L"IsExistUtilityProcess The \"%s\" process is NOT existance in current session id %u. It exists in session id %u\n",
             UTILITY_PROCESS_IMAGE_NAME, consoleSession, processSession);
  }
  return FALSE;
}

BOOL IsUtilityfolderExist(std::wstring& wsPackagesFolder) {
  std::wstring userName;
  DWORD sessionId = 0;
  if (!GetCurrentUserNameAndSessionId(userName, sessionId)) return FALSE;

  // Zeroed, so that nothing is ever read from a buffer the call did not write.
  wchar_t tempPath[MAX_PATH + 1] = {};
  DWORD length = GetTempPathW(ARRAYSIZE(tempPath), tempPath);
  // A result as large as the buffer or larger is the size the path would need: nothing was
  // written, and there is no drive to take from the buffer.
  if (length == 0 || length >= ARRAYSIZE(tempPath)) {
    DWORD error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"IsUtilityfolderExist GetTempPath() return fail! error :%d \n", error);
    return FALSE;
  }

  // The service runs as LocalSystem, whose temporary folder lies in the Windows folder: its drive
  // is the one the profiles are looked for on.
  wchar_t packagesFolder[kPathChars] = {};
  StringCchPrintfW(packagesFolder, kPathChars - 1, L"%c:\\Users\\%s\\AppData\\Local\\Packages", tempPath[0],
                   userName.c_str());
  wsPackagesFolder = packagesFolder;
  wchar_t packageFolder[kPathChars] = {};
  StringCchPrintfW(packageFolder, kPathChars - 1, L"%c:\\Users\\%s\\AppData\\Local\\Packages\\%s", tempPath[0],
                   userName.c_str(), UTILITY_PACKAGE_FAMILY_NAME);
  // Existence alone, file or folder, whatever the rights on it.
  return GetFileAttributesW(packageFolder) != INVALID_FILE_ATTRIBUTES ? TRUE : FALSE;
}

std::wstring GetCurrentOSBuildNumber() {
  std::wstring build;
  if (!GetRegValueOfStringType(HKEY_LOCAL_MACHINE, OS_VERSION_KEY, OS_BUILD_NUMBER_VALUE, build)) {
    WriteLog(L"", 1, LOG_LEVEL_ERROR, L"::OnServiceControlHandle GetRegValueOfStringType() return fail!\n");
    return std::wstring();
  }
  return build;
}
