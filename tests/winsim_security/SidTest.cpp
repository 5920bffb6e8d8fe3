// SIDs: the binary layout, the string forms both ways, and the argument and sizing errors.
#include <cstring>

#include "SecurityTest.h"

namespace winsim::test {
namespace {

class SidTest : public SecurityTest {};

TEST_F(SidTest, AllocatedSidsHaveTheDocumentedLayoutAndText) {
  struct Case {
    SID_IDENTIFIER_AUTHORITY authority;
    std::vector<DWORD> subs;
    const char* bytes;
    const char* text;
  };
  const Case cases[] = {
      {SECURITY_WORLD_SID_AUTHORITY, {SECURITY_WORLD_RID}, "010100000000000100000000", "S-1-1-0"},
      {SECURITY_NT_AUTHORITY, {SECURITY_LOCAL_SYSTEM_RID}, "010100000000000512000000", "S-1-5-18"},
      {SECURITY_NT_AUTHORITY,
       {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
       "01020000000000052000000020020000",
       "S-1-5-32-544"},
      // Sub-authorities are little-endian; the largest one prints in full.
      {SECURITY_APP_PACKAGE_AUTHORITY, {SECURITY_CAPABILITY_BASE_RID, 0xFFFFFFFEu}, "010200000000000f03000000feffffff",
       "S-1-15-3-4294967294"},
      // The authority is big-endian; from 2^32 on it prints as twelve hexadecimal digits.
      {{{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}}, {7}, "0101123456789abc07000000", "S-1-0x123456789ABC-7"},
      {SECURITY_NT_AUTHORITY, {}, "0100000000000005", "S-1-5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DWORD s[8] = {};
    for (size_t i = 0; i < c.subs.size(); ++i) s[i] = c.subs[i];
    SID_IDENTIFIER_AUTHORITY authority = c.authority;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&authority, static_cast<BYTE>(c.subs.size()), s[0], s[1], s[2], s[3], s[4],
                                         s[5], s[6], s[7], &sid));
    ASSERT_TRUE(IsValidSid(sid));
    EXPECT_EQ(GetLengthSid(sid), 8 + 4 * c.subs.size());
    EXPECT_EQ(GetLengthSid(sid), GetSidLengthRequired(static_cast<UCHAR>(c.subs.size())));
    EXPECT_EQ(Hex(sid, GetLengthSid(sid)), c.bytes);
    EXPECT_EQ(SidText(sid), c.text);
    EXPECT_EQ(*GetSidSubAuthorityCount(sid), c.subs.size());
    EXPECT_EQ(std::memcmp(GetSidIdentifierAuthority(sid), &c.authority, 6), 0);
    if (!c.subs.empty()) {
      EXPECT_EQ(*GetSidSubAuthority(sid, static_cast<DWORD>(c.subs.size() - 1)), c.subs.back());
    }

    // The text gives back the same bytes.
    std::wstring wide(c.text, c.text + std::strlen(c.text));
    PSID parsed = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidW(wide.c_str(), &parsed));
    EXPECT_TRUE(EqualSid(sid, parsed));
    EXPECT_EQ(Hex(parsed, GetLengthSid(parsed)), c.bytes);
    LocalFree(parsed);
    EXPECT_EQ(FreeSid(sid), nullptr);
  }
}

TEST_F(SidTest, StringSidsAndAliasesParseOrFailWithInvalidSid) {
  struct Case {
    const wchar_t* text;
    const char* sid;  // nullptr: ERROR_INVALID_SID
  };
  const Case cases[] = {
      {L"WD", "S-1-1-0"},
      {L"SY", "S-1-5-18"},
      {L"BA", "S-1-5-32-544"},
      {L"AC", "S-1-15-2-1"},
      {L"AN", "S-1-5-7"},
      {L"S-1-5-0x20-544", nullptr},
      {L"S-1-0xF-3-1", "S-1-15-3-1"},
      {L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14", "S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14"},
      {L"", nullptr},
      {L"ZZ", nullptr},
      {L"S-1", nullptr},
      {L"S-2-5-18", nullptr},
      {L"S-1-5-x", nullptr},
      {L"S-1-5--18", nullptr},
      {L"S-1-5-18-", nullptr},
      {L"S-1-5-4294967296", nullptr},
      {L"S-1-281474976710656-1", nullptr},
      {L"S-1-5-21-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15", nullptr},
      {L"X-1-5-18", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sid ? c.sid : "invalid"));
    PSID sid = nullptr;
    if (c.sid) {
      ASSERT_TRUE(ConvertStringSidToSidW(c.text, &sid));
      EXPECT_EQ(SidText(sid), c.sid);
      LocalFree(sid);
    } else {
      SetLastError(0);
      EXPECT_FALSE(ConvertStringSidToSidW(c.text, &sid));
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
    }
  }
}

TEST_F(SidTest, ArgumentAndSizingErrors) {
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  PSID sid = nullptr;
  // Eight sub-authorities at most.
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 9, 1, 2, 3, 4, 5, 6, 7, 8, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_FALSE(AllocateAndInitializeSid(nullptr, 1, 18, 0, 0, 0, 0, 0, 0, 0, &sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(AllocateAndInitializeSid(&nt, 1, 18, 0, 0, 0, 0, 0, 0, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(ConvertSidToStringSidW(nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

  ASSERT_TRUE(AllocateAndInitializeSid(&nt, 2, 32, 544, 0, 0, 0, 0, 0, 0, &sid));
  // CopySid: the destination must hold the whole SID.
  unsigned char buffer[SECURITY_MAX_SID_SIZE] = {};
  EXPECT_FALSE(CopySid(GetLengthSid(sid) - 1, buffer, sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(buffer[0], 0);
  ASSERT_TRUE(CopySid(GetLengthSid(sid), buffer, sid));
  EXPECT_TRUE(EqualSid(buffer, sid));

  // Different SIDs: FALSE with ERROR_SUCCESS; an invalid one: FALSE with ERROR_INVALID_SID.
  OwnedSid users(L"S-1-5-32-545");
  SetLastError(ERROR_GEN_FAILURE);
  EXPECT_FALSE(EqualSid(sid, users.get()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
  buffer[0] = 2;  // revision 2 is not a SID
  EXPECT_FALSE(IsValidSid(buffer));
  EXPECT_FALSE(EqualSid(buffer, sid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  EXPECT_FALSE(CopySid(sizeof(buffer), sid, buffer));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  LPWSTR text = nullptr;
  EXPECT_FALSE(ConvertSidToStringSidW(buffer, &text));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SID));
  buffer[0] = 1;
  buffer[1] = 16;  // more sub-authorities than a SID may have
  EXPECT_FALSE(IsValidSid(buffer));

  // InitializeSid lays out the header and leaves the sub-authorities to the caller.
  unsigned char built[16] = {};
  ASSERT_TRUE(InitializeSid(built, &nt, 2));
  *GetSidSubAuthority(built, 0) = 32;
  *GetSidSubAuthority(built, 1) = 544;
  EXPECT_TRUE(EqualSid(built, sid));
  EXPECT_EQ(GetSidSubAuthority(built, 2), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(InitializeSid(built, &nt, 16));
  EXPECT_EQ(FreeSid(sid), nullptr);
}

TEST_F(SidTest, LocalBlocksAreFreedOnceAndStrangersRefused) {
  HLOCAL block = LocalAlloc(LPTR, 24);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(LocalSize(block), 24u);
  const unsigned char zero[24] = {};
  EXPECT_EQ(std::memcmp(block, zero, sizeof(zero)), 0);
  EXPECT_EQ(LocalFree(block), nullptr);
  // A freed block, or memory that never was one, comes back with ERROR_INVALID_HANDLE.
  int local = 0;
  EXPECT_EQ(LocalFree(&local), &local);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(LocalSize(&local), 0u);
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(FreeSid(&local), &local);
  // LMEM_MODIFY is for LocalReAlloc only, and flags outside the valid set are refused.
  EXPECT_EQ(LocalAlloc(LMEM_MODIFY, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(LocalAlloc(0x1000, 8), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  HLOCAL empty = LocalAlloc(LMEM_FIXED, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(LocalSize(empty), 0u);
  EXPECT_EQ(LocalFree(empty), nullptr);
}

}  // namespace
}  // namespace winsim::test
