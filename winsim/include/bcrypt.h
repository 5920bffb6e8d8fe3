// Cryptography API: Next Generation, the hash primitives. Windows declares these in bcrypt.h, which
// programs include after windows.h. Results are NTSTATUS values: zero or positive on success.
#pragma once
#include "minwindef.h"
#include "ntstatus.h"

typedef PVOID BCRYPT_HANDLE;
typedef PVOID BCRYPT_ALG_HANDLE;
typedef PVOID BCRYPT_HASH_HANDLE;

#ifndef BCRYPT_SUCCESS
#define BCRYPT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#endif
// Windows keeps NT_SUCCESS in the driver kit's ntdef.h; user-mode programs commonly define it
// themselves, with the same meaning, hence the guard.
#ifndef NT_SUCCESS
#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#endif

// Algorithm identifiers (hash algorithms that winsim provides).
#define BCRYPT_MD5_ALGORITHM L"MD5"
#define BCRYPT_SHA1_ALGORITHM L"SHA1"
#define BCRYPT_SHA256_ALGORITHM L"SHA256"
#define BCRYPT_SHA384_ALGORITHM L"SHA384"
#define BCRYPT_SHA512_ALGORITHM L"SHA512"

// The one implementation: the basic provider.
#define MS_PRIMITIVE_PROVIDER L"Microsoft Primitive Provider"

// Property names.
#define BCRYPT_OBJECT_LENGTH L"ObjectLength"
#define BCRYPT_HASH_LENGTH L"HashDigestLength"
#define BCRYPT_HASH_BLOCK_LENGTH L"HashBlockLength"
#define BCRYPT_ALGORITHM_NAME L"AlgorithmName"

// Flags of BCryptOpenAlgorithmProvider and BCryptCreateHash.
#define BCRYPT_PROV_DISPATCH 0x00000001
#define BCRYPT_ALG_HANDLE_HMAC_FLAG 0x00000008
#define BCRYPT_HASH_REUSABLE_FLAG 0x00000020

NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE* phAlgorithm, LPCWSTR pszAlgId,
                                            LPCWSTR pszImplementation, ULONG dwFlags);
NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);
// With pbOutput NULL the required size is stored in *pcbResult; a buffer smaller than the value
// gives STATUS_BUFFER_TOO_SMALL with the required size in *pcbResult.
NTSTATUS WINAPI BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                                  ULONG* pcbResult, ULONG dwFlags);
// pbHashObject holds the hash object (ObjectLength bytes) until BCryptDestroyHash; NULL with
// cbHashObject 0 lets the provider keep it.
NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE* phHash, PUCHAR pbHashObject,
                                 ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags);
NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags);
// cbOutput must be the digest length exactly.
NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags);
NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash);
