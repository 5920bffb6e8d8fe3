// Security identifiers, access control lists, security descriptors and the capability calls
// (advapi32/kernelbase), written from Microsoft's public documentation of securitybaseapi.h.
#pragma once
#include "minwindef.h"
#include "winerror.h"
#include "winnt.h"

// SIDs. A SID made by AllocateAndInitializeSid is freed with FreeSid.
BOOL WINAPI AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount,
                                     DWORD nSubAuthority0, DWORD nSubAuthority1, DWORD nSubAuthority2,
                                     DWORD nSubAuthority3, DWORD nSubAuthority4, DWORD nSubAuthority5,
                                     DWORD nSubAuthority6, DWORD nSubAuthority7, PSID* pSid);
PVOID WINAPI FreeSid(PSID pSid);
BOOL WINAPI InitializeSid(PSID Sid, PSID_IDENTIFIER_AUTHORITY pIdentifierAuthority, BYTE nSubAuthorityCount);
DWORD WINAPI GetSidLengthRequired(UCHAR nSubAuthorityCount);
DWORD WINAPI GetLengthSid(PSID pSid);
BOOL WINAPI IsValidSid(PSID pSid);
BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2);
BOOL WINAPI CopySid(DWORD nDestinationSidLength, PSID pDestinationSid, PSID pSourceSid);
PSID_IDENTIFIER_AUTHORITY WINAPI GetSidIdentifierAuthority(PSID pSid);
PDWORD WINAPI GetSidSubAuthority(PSID pSid, DWORD nSubAuthority);
PUCHAR WINAPI GetSidSubAuthorityCount(PSID pSid);

// The capability SIDs of a named capability: one array of group SIDs (NT authority) and one of
// capability SIDs (app package authority). The caller frees each SID, then each array, with
// LocalFree.
BOOL WINAPI DeriveCapabilitySidsFromName(LPCWSTR CapName, PSID** CapabilityGroupSids, DWORD* CapabilityGroupSidCount,
                                         PSID** CapabilitySids, DWORD* CapabilitySidCount);
// Whether a token carries a capability; a null TokenHandle means the calling thread's token.
BOOL WINAPI CheckTokenCapability(HANDLE TokenHandle, PSID CapabilitySidToCheck, PBOOL HasCapability);

// Access control lists.
BOOL WINAPI InitializeAcl(PACL pAcl, DWORD nAclLength, DWORD dwAclRevision);
BOOL WINAPI IsValidAcl(PACL pAcl);
BOOL WINAPI GetAce(PACL pAcl, DWORD dwAceIndex, LPVOID* pAce);
BOOL WINAPI GetAclInformation(PACL pAcl, LPVOID pAclInformation, DWORD nAclInformationLength,
                              ACL_INFORMATION_CLASS dwAclInformationClass);
BOOL WINAPI AddAccessAllowedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid);
BOOL WINAPI AddAccessDeniedAce(PACL pAcl, DWORD dwAceRevision, DWORD AccessMask, PSID pSid);

// Security descriptors.
BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD dwRevision);
BOOL WINAPI IsValidSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor);
DWORD WINAPI GetSecurityDescriptorLength(PSECURITY_DESCRIPTOR pSecurityDescriptor);
BOOL WINAPI GetSecurityDescriptorControl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         PSECURITY_DESCRIPTOR_CONTROL pControl, LPDWORD lpdwRevision);
BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent, PACL pDacl,
                                      BOOL bDaclDefaulted);
BOOL WINAPI GetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, LPBOOL lpbDaclPresent, PACL* pDacl,
                                      LPBOOL lpbDaclDefaulted);
BOOL WINAPI SetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pOwner, BOOL bOwnerDefaulted);
BOOL WINAPI GetSecurityDescriptorOwner(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pOwner,
                                       LPBOOL lpbOwnerDefaulted);
BOOL WINAPI SetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID pGroup, BOOL bGroupDefaulted);
BOOL WINAPI GetSecurityDescriptorGroup(PSECURITY_DESCRIPTOR pSecurityDescriptor, PSID* pGroup,
                                       LPBOOL lpbGroupDefaulted);
BOOL WINAPI MakeSelfRelativeSD(PSECURITY_DESCRIPTOR pAbsoluteSecurityDescriptor,
                               PSECURITY_DESCRIPTOR pSelfRelativeSecurityDescriptor, LPDWORD lpdwBufferLength);

// Replaces the generic rights in *AccessMask by the object type's specific and standard rights.
void WINAPI MapGenericMask(PDWORD AccessMask, PGENERIC_MAPPING GenericMapping);

// Access tokens. A new token of the same user and session, primary or impersonation; access 0
// asks for the source's own access. The source needs TOKEN_DUPLICATE (ERROR_ACCESS_DENIED); an
// impersonation token below the level asked for (or below SecurityImpersonation, for a primary
// token) fails with ERROR_BAD_IMPERSONATION_LEVEL; a type or level out of range with
// ERROR_INVALID_PARAMETER. The security attributes are accepted and not used.
BOOL WINAPI DuplicateTokenEx(HANDLE hExistingToken, DWORD dwDesiredAccess, LPSECURITY_ATTRIBUTES lpTokenAttributes,
                             SECURITY_IMPERSONATION_LEVEL ImpersonationLevel, TOKEN_TYPE TokenType,
                             PHANDLE phNewToken);
// Reads a token, which needs TOKEN_QUERY (ERROR_ACCESS_DENIED). *ReturnLength receives the size
// the class needs; a buffer too small fails with ERROR_INSUFFICIENT_BUFFER for the classes of
// variable size and ERROR_BAD_LENGTH for those of fixed size. winsim answers TokenUser,
// TokenSessionId, TokenType, TokenImpersonationLevel (impersonation tokens only), TokenElevation,
// TokenIsAppContainer, TokenAppContainerSid and TokenCapabilities; other classes fail with
// ERROR_NOT_SUPPORTED, a class out of range with ERROR_INVALID_PARAMETER.
BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength, PDWORD ReturnLength);
