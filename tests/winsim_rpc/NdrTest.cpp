// NDR stub data: alignment from the start of the stub, the wire forms of wide strings, BSTRs and
// context handles, refusal of inconsistent data; BSTR allocation; the RPC exception macros.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "MachineTest.h"
#include "core/fault.h"
#include "rpc.h"
#include "rpc/exceptions.h"
#include "winsim/rpcstub.h"

namespace winsim::rpc {
namespace {

uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
}

DWORD CodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const RpcException& e) {
    return e.code;
  }
  return 0;
}

TEST(NdrTest, ScalarsAreAlignedFromTheStartOfTheStubData) {
  NdrWriter w;
  w.Small(1);
  w.Hyper(-2);
  w.Small(3);
  w.Short(0x0405);
  w.Long(0x06070809);
  std::vector<uint8_t> b = w.Data();
  ASSERT_EQ(b.size(), 24u);
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[8], 0xFE);
  EXPECT_EQ(b[15], 0xFF);
  EXPECT_EQ(b[16], 3);
  EXPECT_EQ(b[18], 0x05);
  EXPECT_EQ(Le32(b, 20), 0x06070809u);

  NdrReader r(b.data(), b.size());
  EXPECT_EQ(r.Small(), 1);
  EXPECT_EQ(r.Hyper(), -2);
  EXPECT_EQ(r.Small(), 3);
  EXPECT_EQ(r.Short(), 0x0405);
  EXPECT_EQ(r.Long(), 0x06070809u);
  EXPECT_EQ(r.Remaining(), 0u);
  EXPECT_EQ(CodeOf([&] { r.Small(); }), DWORD(RPC_X_BAD_STUB_DATA));
}

TEST(NdrTest, BigEndianStubDataIsReadInItsOrder) {
  std::vector<uint8_t> b = {0x01, 0x02, 0, 0, 0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0, 0, 0, 0, 0x05};
  NdrReader r(b.data(), b.size(), false);
  EXPECT_EQ(r.Short(), 0x0102);
  EXPECT_EQ(r.Long(), 0x01020304u);
  EXPECT_EQ(r.Hyper(), 5);
}

TEST(NdrTest, WideStringIsAConformantVaryingArrayOfUtf16WithItsTerminator) {
  NdrWriter w;
  w.Small(0xAA);  // the string's counts are aligned to 4
  w.WideString(L"a\U0001F600");
  std::vector<uint8_t> b = w.Data();
  ASSERT_EQ(b.size(), 4u + 12 + 4 * 2);
  EXPECT_EQ(Le32(b, 4), 4u);  // maximum count: a, two surrogates, NUL
  EXPECT_EQ(Le32(b, 8), 0u);
  EXPECT_EQ(Le32(b, 12), 4u);
  EXPECT_EQ(b[16], 'a');
  EXPECT_EQ(b[18] | b[19] << 8, 0xD83D);
  EXPECT_EQ(b[20] | b[21] << 8, 0xDE00);
  EXPECT_EQ(b[22] | b[23] << 8, 0);

  NdrReader r(b.data(), b.size());
  r.Small();
  EXPECT_EQ(r.WideString(), std::wstring(L"a\U0001F600"));
  EXPECT_EQ(CodeOf([] { NdrWriter().WideString(nullptr); }), DWORD(RPC_X_NULL_REF_POINTER));
}

TEST(NdrTest, InconsistentWideStringsAreBadStubData) {
  auto encode = [](uint32_t max, uint32_t offset, uint32_t actual, std::vector<uint16_t> units) {
    NdrWriter w;
    w.Long(max);
    w.Long(offset);
    w.Long(actual);
    for (uint16_t u : units) w.Short(u);
    return w.Take();
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"no terminator", encode(2, 0, 2, {'a', 'b'})},
      {"actual above maximum", encode(1, 0, 2, {'a', 0})},
      {"non-zero offset", encode(2, 1, 2, {'a', 0})},
      {"empty", encode(0, 0, 0, {})},
      {"units missing", encode(100, 0, 100, {'a', 0})},
      {"huge count", encode(0xFFFFFFFF, 0, 0xFFFFFFFF, {'a', 0})},
  };
  for (const auto& c : cases) {
    NdrReader r(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(CodeOf([&] { r.WideString(); }), DWORD(RPC_X_BAD_STUB_DATA)) << c.name;
  }
}

TEST(NdrTest, BstrTravelsAsAFlaggedWordBlobBehindAUniquePointer) {
  BSTR text = SysAllocString(L"hi");
  NdrWriter w;
  w.Bstr(text);
  w.Bstr(nullptr);
  BSTR empty = SysAllocString(L"");
  w.Bstr(empty);
  std::vector<uint8_t> b = w.Data();
  // "hi": referent, conformance 2, cBytes 4, clSize 2, two units.
  EXPECT_NE(Le32(b, 0), 0u);
  EXPECT_EQ(Le32(b, 4), 2u);
  EXPECT_EQ(Le32(b, 8), 4u);
  EXPECT_EQ(Le32(b, 12), 2u);
  EXPECT_EQ(b[16], 'h');
  EXPECT_EQ(b[18], 'i');
  // Null: a referent to a blob with cBytes 0xFFFFFFFF and no units.
  EXPECT_NE(Le32(b, 20), 0u);
  EXPECT_NE(Le32(b, 20), Le32(b, 0));
  EXPECT_EQ(Le32(b, 24), 0u);
  EXPECT_EQ(Le32(b, 28), 0xFFFFFFFFu);
  EXPECT_EQ(Le32(b, 32), 0u);
  // Empty: cBytes 0 and clSize 0.
  EXPECT_EQ(Le32(b, 40), 0u);
  EXPECT_EQ(Le32(b, 44), 0u);
  EXPECT_EQ(Le32(b, 48), 0u);
  ASSERT_EQ(b.size(), 52u);

  NdrReader r(b.data(), b.size());
  BSTR a = r.Bstr();
  BSTR n = r.Bstr();
  BSTR e = r.Bstr();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(SysStringLen(a), 2u);
  EXPECT_EQ(std::wstring(a), L"hi");
  EXPECT_EQ(n, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(SysStringLen(e), 0u);
  for (BSTR s : {text, empty, a, e}) SysFreeString(s);
}

TEST(NdrTest, BstrKeepsEmbeddedNulsAndIgnoresTheDataRepresentationLabel) {
  // A counted NUL as the last character, the shape of a 35-character text ending in NUL.
  const wchar_t source[] = L"rrrrrrrr  GetCommendSvr RpcServer ";
  BSTR text = SysAllocStringLen(source, 35);
  ASSERT_NE(text, nullptr);
  EXPECT_EQ(SysStringLen(text), 35u);
  EXPECT_EQ(SysStringByteLen(text), 70u);
  NdrWriter w;
  w.Bstr(text);
  std::vector<uint8_t> b = w.Data();
  EXPECT_EQ(Le32(b, 12), 35u);
  // The blob is little-endian even when the label says big-endian; only the referent follows it.
  std::vector<uint8_t> big = b;
  std::swap(big[0], big[3]);
  std::swap(big[1], big[2]);
  for (auto* bytes : {&b, &big}) {
    NdrReader r(bytes->data(), bytes->size(), bytes == &b);
    BSTR back = r.Bstr();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(SysStringLen(back), 35u);
    EXPECT_EQ(std::memcmp(back, text, 35 * sizeof(wchar_t)), 0);
    EXPECT_EQ(back[34], L'\0');
    SysFreeString(back);
  }
  SysFreeString(text);
}

TEST(NdrTest, InconsistentBstrBlobsAreBadStubData) {
  auto blob = [](uint32_t conformance, uint32_t bytes, uint32_t units, size_t present) {
    NdrWriter w;
    w.ReferentId(true);
    w.Long(conformance);
    w.Long(bytes);
    w.Long(units);
    for (size_t i = 0; i < present; ++i) w.Short('x');
    return w.Take();
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"unit count not half the byte count", blob(3, 4, 3, 3)},
      {"conformance differs", blob(3, 4, 2, 2)},
      {"null with units", blob(1, 0xFFFFFFFF, 1, 1)},
      {"units missing", blob(50, 100, 50, 2)},
      {"huge count", blob(0x7FFFFFFF, 0xFFFFFFFE, 0x7FFFFFFF, 1)},
  };
  for (const auto& c : cases) {
    NdrReader r(c.bytes.data(), c.bytes.size());
    EXPECT_EQ(CodeOf([&] { r.Bstr(); }), DWORD(RPC_X_BAD_STUB_DATA)) << c.name;
  }
}

TEST(NdrTest, ContextHandleIsTwentyBytes) {
  ContextWire wire;
  wire.uuid = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
  NdrWriter w;
  w.Small(9);
  w.Context(wire);
  std::vector<uint8_t> b = w.Data();
  ASSERT_EQ(b.size(), 24u);
  EXPECT_EQ(Le32(b, 4), 0u);
  EXPECT_EQ(Le32(b, 8), 0x11223344u);
  EXPECT_EQ(b[16], 1);
  NdrReader r(b.data(), b.size());
  r.Small();
  ContextWire back = r.Context();
  EXPECT_EQ(std::memcmp(&back.uuid, &wire.uuid, sizeof(GUID)), 0);
  EXPECT_FALSE(back.IsNull());
  EXPECT_TRUE(ContextWire{}.IsNull());
}

class BstrTest : public test::MachineTest {};

TEST_F(BstrTest, AllocationFollowsTheDocumentedSizes) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  BSTR blank = SysAllocStringLen(nullptr, 3);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 3u);
  EXPECT_EQ(blank[3], L'\0');
  SysFreeString(blank);
  BSTR part = SysAllocStringLen(L"abcdef", 2);
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::wstring(part), L"ab");
  SysFreeString(part);
  EXPECT_EQ(SysAllocStringLen(L"x", 0x80000000u), nullptr);

  InjectFault("SysAllocStringLen", 14, 1);
  EXPECT_EQ(SysAllocStringLen(L"x", 1), nullptr);
  BSTR after = SysAllocStringLen(L"x", 1);
  EXPECT_NE(after, nullptr);
  SysFreeString(after);
  InjectFault("SysAllocString", 14, 1);
  EXPECT_EQ(SysAllocString(L"x"), nullptr);
}

TEST(RpcExceptionTest, TheFilterDecidesWhetherTheHandlerRuns) {
  DWORD inner = 0, outer = 0, filtered = 0;
  RpcTryExcept {
    RpcTryExcept { RpcRaiseException(RPC_S_CALL_FAILED); }
    RpcExcept((filtered = RpcExceptionCode(), EXCEPTION_CONTINUE_SEARCH)) { inner = RpcExceptionCode(); }
    RpcEndExcept
  }
  RpcExcept(I_RpcExceptionFilter(RpcExceptionCode())) { outer = RpcExceptionCode(); }
  RpcEndExcept
  EXPECT_EQ(filtered, DWORD(RPC_S_CALL_FAILED));
  EXPECT_EQ(inner, 0u);
  EXPECT_EQ(outer, DWORD(RPC_S_CALL_FAILED));
  EXPECT_EQ(I_RpcExceptionFilter(0xC0000005u), EXCEPTION_CONTINUE_SEARCH);
  EXPECT_EQ(I_RpcExceptionFilter(RPC_S_SERVER_UNAVAILABLE), EXCEPTION_EXECUTE_HANDLER);
  static_assert(sizeof(RPC_STATUS) == 4, "RPC_STATUS is 32 bits as on Windows");
}

TEST(RpcExceptionTest, FaultStatusesMapToWindowsStatuses) {
  struct Case {
    uint32_t fault;
    DWORD status;
  } cases[] = {
      {0x1C010002, RPC_S_PROCNUM_OUT_OF_RANGE}, {0x1C010003, RPC_S_UNKNOWN_IF},
      {0x1C00001A, RPC_X_SS_CONTEXT_MISMATCH},  {0x1C01000B, RPC_S_PROTOCOL_ERROR},
      {0x1C010014, RPC_S_SERVER_TOO_BUSY},      {5, RPC_S_ACCESS_DENIED},
      {0x6F7, RPC_X_BAD_STUB_DATA},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StatusFromFault(c.fault), c.status) << std::hex << c.fault;
    EXPECT_EQ(FaultFromStatus(c.status), c.fault) << c.status;
  }
}

TEST(UuidStringTest, UuidFromStringReadsTheCanonicalFormOnly) {
  UUID u;
  ASSERT_EQ(UuidFromStringW(const_cast<RPC_WSTR>(L"4E9C2B71-3a5d-4F62-8B1E-7C0D95A3E2F4"), &u), RPC_S_OK);
  EXPECT_EQ(u.Data1, 0x4E9C2B71u);
  EXPECT_EQ(u.Data2, 0x3A5D);
  EXPECT_EQ(u.Data4[7], 0xF4);
  for (const wchar_t* bad : {L"", L"{4E9C2B71-3A5D-4F62-8B1E-7C0D95A3E2F4}", L"4E9C2B71-3A5D-4F62-8B1E-7C0D95A3E2F",
                             L"4E9C2B71-3A5D-4F62-8B1E-7C0D95A3E2F4x", L"4E9C2B71+3A5D-4F62-8B1E-7C0D95A3E2F4",
                             L"4E9C2B71-3A5D-4F62-8B1E-7C0D95A3E2G4"}) {
    EXPECT_EQ(UuidFromStringW(const_cast<RPC_WSTR>(bad), &u), RPC_S_INVALID_STRING_UUID) << bad;
  }
  ASSERT_EQ(UuidFromStringW(nullptr, &u), RPC_S_OK);
  EXPECT_EQ(u.Data1, 0u);
}

}  // namespace
}  // namespace winsim::rpc
