// The one place where product code looks at the platform it is built for:
// - the width of wchar_t, where the system hands over UTF-16 text in fixed structures (directory
//   change records): 16-bit units are WCHAR on Windows but not on a build whose wchar_t is 32 bits;
// - the UTF-16LE bytes of a wide string, where a hash or a wire takes the Windows form of a text;
// - declarations that a Windows toolchain lacks, written from Microsoft's documentation for that
//   toolchain only, and the RPC exception macros where its compiler has no structured exception
//   handling.
#pragma once
#include <windows.h>
#include <rpc.h>

#include <string>

#ifdef _WIN32
typedef WCHAR UTF16_UNIT;
inline std::wstring WideFromUtf16Units(const UTF16_UNIT* units, size_t count) { return std::wstring(units, count); }
inline size_t Utf16Length(const std::wstring& text) { return text.size(); }
// WCHAR is a UTF-16 unit already, and Windows runs little-endian.
inline std::string Utf16LeBytes(const std::wstring& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(WCHAR));
}
#else
typedef char16_t UTF16_UNIT;
inline std::wstring WideFromUtf16Units(const UTF16_UNIT* units, size_t count) {
  std::wstring text;
  text.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      ++i;
    }
    text.push_back(static_cast<wchar_t>(c));
  }
  return text;
}
// Characters beyond U+FFFF take two UTF-16 units.
inline size_t Utf16Length(const std::wstring& text) {
  size_t units = 0;
  for (wchar_t c : text) units += static_cast<unsigned long>(c) > 0xFFFF ? 2 : 1;
  return units;
}
// Each character as one UTF-16 unit, or as a surrogate pair beyond U+FFFF; low byte first.
inline std::string Utf16LeBytes(const std::wstring& text) {
  std::string bytes;
  bytes.reserve(text.size() * 2);
  auto unit = [&bytes](unsigned long u) {
    bytes.push_back(static_cast<char>(u & 0xFF));
    bytes.push_back(static_cast<char>((u >> 8) & 0xFF));
  };
  for (wchar_t c : text) {
    unsigned long code = static_cast<unsigned long>(c);
    if (code > 0xFFFF) {
      code -= 0x10000;
      unit(0xD800 + (code >> 10));
      unit(0xDC00 + (code & 0x3FF));
    } else {
      unit(code);
    }
  }
  return bytes;
}
#endif

// NT_SUCCESS lives in the driver kit's ntdef.h on Windows; user-mode programs that read NTSTATUS
// results (CNG) define it themselves, with its documented meaning: zero and positive values succeed.
#ifndef NT_SUCCESS
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#endif

#if defined(__MINGW32__)
// MinGW-w64 10 has no appmodel.h, no RpcServerRegisterIf3 and no DeriveCapabilitySidsFromName; the
// first are in its kernel32 and rpcrt4 import libraries, the last in mingw/'s. Declared as
// Microsoft documents them.
extern "C" {

#define PACKAGE_FILTER_HEAD 0x00000010
#define PACKAGE_FILTER_DIRECT 0x00000020
#define PACKAGE_INFORMATION_BASIC 0x00000000
#define PACKAGE_INFORMATION_FULL 0x00000100

typedef struct PACKAGE_VERSION {
  union {
    UINT64 Version;
    struct {
      USHORT Revision;
      USHORT Build;
      USHORT Minor;
      USHORT Major;
    };
  };
} PACKAGE_VERSION;

typedef struct PACKAGE_ID {
  UINT32 reserved;
  UINT32 processorArchitecture;
  PACKAGE_VERSION version;
  PWSTR name;
  PWSTR publisher;
  PWSTR resourceId;
  PWSTR publisherId;
} PACKAGE_ID;

WINBASEAPI LONG WINAPI FindPackagesByPackageFamily(PCWSTR packageFamilyName, UINT32 packageFilters, UINT32* count,
                                                   PWSTR* packageFullNames, UINT32* bufferLength, WCHAR* buffer,
                                                   UINT32* packageProperties);
WINBASEAPI LONG WINAPI PackageIdFromFullName(PCWSTR packageFullName, const UINT32 flags, UINT32* bufferLength,
                                             BYTE* buffer);

// In kernelbase.dll from Windows 10 on; the Windows build's import library delay-loads it.
WINBASEAPI BOOL WINAPI DeriveCapabilitySidsFromName(LPCWSTR CapName, PSID** CapabilityGroupSids,
                                                    DWORD* CapabilityGroupSidCount, PSID** CapabilitySids,
                                                    DWORD* CapabilitySidCount);

RPCRTAPI RPC_STATUS RPC_ENTRY RpcServerRegisterIf3(RPC_IF_HANDLE IfSpec, UUID* MgrTypeUuid, RPC_MGR_EPV* MgrEpv,
                                                   unsigned int Flags, unsigned int MaxCalls, unsigned int MaxRpcSize,
                                                   RPC_IF_CALLBACK_FN* IfCallback, void* SecurityDescriptor);

}  // extern "C"

// RPC exceptions are structured exceptions, which RpcTryExcept catches with __try/__except; GCC has
// neither. Here the guarded block runs as a lambda through RpcGuardedCall (common/RpcGuard.c), a
// function with one structured-exception scope whose filter evaluates the RpcExcept expression
// with the exception's code; when that chooses the handler (a value above 0), the frames in
// between are unwound as __except unwinds them and the handler block runs. Written the same way as
// elsewhere:
//   RpcTryExcept { Call(h); } RpcExcept(I_RpcExceptionFilter(RpcExceptionCode())) { status = RpcExceptionCode(); } RpcEndExcept
// A return inside the guarded block leaves only the block.
extern "C" int RpcGuardedCall(void (*call)(void*), void* callArgument, int (*filter)(void*, unsigned long),
                              void* filterArgument, unsigned long* exceptionCode);

template <typename Body, typename Filter>
inline bool RpcGuardRun(Body& body, Filter& filter, unsigned long* exceptionCode) {
  return RpcGuardedCall([](void* b) { (*static_cast<Body*>(b))(); }, &body,
                        [](void* f, unsigned long code) -> int { return (*static_cast<Filter*>(f))(code); }, &filter,
                        exceptionCode) != 0;
}

#undef RpcTryExcept
#undef RpcExcept
#undef RpcEndExcept
#undef RpcExceptionCode
#define RpcTryExcept                  \
  {                                   \
    unsigned long rpcGuardCode_ = 0;  \
    auto rpcGuardBody_ = [&]() -> void {
#define RpcExcept(expr)                                                                       \
  }                                                                                           \
  ;                                                                                           \
  auto rpcGuardFilter_ = [&](unsigned long rpcGuardCode_) -> int { return (expr); };          \
  if (RpcGuardRun(rpcGuardBody_, rpcGuardFilter_, &rpcGuardCode_)) {
#define RpcEndExcept \
  }                  \
  }
#define RpcExceptionCode() (rpcGuardCode_)
#elif __has_include(<appmodel.h>)
#include <appmodel.h>
#endif
