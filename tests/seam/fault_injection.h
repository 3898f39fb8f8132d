// Forced into the test copies of the launcher libraries (the *_seamed targets): routes a few
// platform calls through counters that tests/seam/fault_control.h can make fail. The product
// build never sees this header.
#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>

HLOCAL SeamLocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL SeamLocalReAlloc(HLOCAL memory, SIZE_T bytes, UINT flags);
LPVOID SeamVirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protection);
BOOL SeamVirtualFree(LPVOID address, SIZE_T bytes, DWORD type);
HLOCAL SeamLocalFree(HLOCAL memory);
#define LocalAlloc SeamLocalAlloc
#define LocalReAlloc SeamLocalReAlloc
#define LocalFree SeamLocalFree
#define VirtualAlloc SeamVirtualAlloc
#define VirtualFree SeamVirtualFree

// The system's cryptographic provider and message decoder, counted per DLL: a failed bcrypt
// call returns the armed status, a failed crypt32 call sets the armed last error.
NTSTATUS WINAPI SeamBCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *algorithm, LPCWSTR id, LPCWSTR implementation,
                                                ULONG flags);
NTSTATUS WINAPI SeamBCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags);
NTSTATUS WINAPI SeamBCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG outputSize,
                                      ULONG *result, ULONG flags);
NTSTATUS WINAPI SeamBCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE *hash, PUCHAR hashObject,
                                     ULONG hashObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags);
NTSTATUS WINAPI SeamBCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputSize, ULONG flags);
NTSTATUS WINAPI SeamBCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputSize, ULONG flags);
NTSTATUS WINAPI SeamBCryptDestroyHash(BCRYPT_HASH_HANDLE hash);
NTSTATUS WINAPI SeamBCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType,
                                        BCRYPT_KEY_HANDLE *key, PUCHAR input, ULONG inputSize, ULONG flags);
NTSTATUS WINAPI SeamBCryptVerifySignature(BCRYPT_KEY_HANDLE key, void *paddingInfo, PUCHAR hash, ULONG hashSize,
                                          PUCHAR signature, ULONG signatureSize, ULONG flags);
NTSTATUS WINAPI SeamBCryptDestroyKey(BCRYPT_KEY_HANDLE key);
#define BCryptOpenAlgorithmProvider SeamBCryptOpenAlgorithmProvider
#define BCryptCloseAlgorithmProvider SeamBCryptCloseAlgorithmProvider
#define BCryptGetProperty SeamBCryptGetProperty
#define BCryptCreateHash SeamBCryptCreateHash
#define BCryptHashData SeamBCryptHashData
#define BCryptFinishHash SeamBCryptFinishHash
#define BCryptDestroyHash SeamBCryptDestroyHash
#define BCryptImportKeyPair SeamBCryptImportKeyPair
#define BCryptVerifySignature SeamBCryptVerifySignature
#define BCryptDestroyKey SeamBCryptDestroyKey

HCRYPTMSG WINAPI SeamCryptMsgOpenToDecode(DWORD encoding, DWORD flags, DWORD type, HCRYPTPROV_LEGACY provider,
                                          PCERT_INFO recipient, PCMSG_STREAM_INFO stream);
BOOL WINAPI SeamCryptMsgUpdate(HCRYPTMSG message, const BYTE *data, DWORD size, BOOL final);
BOOL WINAPI SeamCryptMsgGetParam(HCRYPTMSG message, DWORD type, DWORD index, void *data, DWORD *size);
BOOL WINAPI SeamCryptMsgClose(HCRYPTMSG message);
PCCERT_CONTEXT WINAPI SeamCertCreateCertificateContext(DWORD encoding, const BYTE *encoded, DWORD size);
BOOL WINAPI SeamCertFreeCertificateContext(PCCERT_CONTEXT certificate);
#define CryptMsgOpenToDecode SeamCryptMsgOpenToDecode
#define CryptMsgUpdate SeamCryptMsgUpdate
#define CryptMsgGetParam SeamCryptMsgGetParam
#define CryptMsgClose SeamCryptMsgClose
#define CertCreateCertificateContext SeamCertCreateCertificateContext
#define CertFreeCertificateContext SeamCertFreeCertificateContext

#ifdef _WIN32
HGLOBAL SeamGlobalAlloc(UINT flags, SIZE_T bytes);
DWORD SeamGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size);
BOOL SeamReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
#define GlobalAlloc SeamGlobalAlloc
#define GetModuleFileNameW SeamGetModuleFileNameW
#define ReadFile SeamReadFile
BOOL SeamQueryPerformanceCounter(LARGE_INTEGER *counter);
#define QueryPerformanceCounter SeamQueryPerformanceCounter

#include <shlobj.h>
#include <winternl.h>
#include <aclapi.h>

// Opens and creates relative to a held folder (the extraction folder's pin, a picked folder's
// parent), renames within it, and what a picked folder's volume and security say.
NTSTATUS NTAPI SeamNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                                PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG share, ULONG disposition,
                                ULONG options, PVOID eaBuffer, ULONG eaLength);
NTSTATUS NTAPI SeamNtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG size,
                                        FILE_INFORMATION_CLASS infoClass);
NTSTATUS NTAPI SeamNtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                                FS_INFORMATION_CLASS informationClass);
BOOL WINAPI SeamGetVolumeInformationByHandleW(HANDLE file, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                              LPDWORD componentLength, LPDWORD flags, LPWSTR fileSystem,
                                              DWORD fileSystemSize);
DWORD WINAPI SeamGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID *owner,
                                 PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor);
#define NtCreateFile SeamNtCreateFile
#define NtSetInformationFile SeamNtSetInformationFile
#define NtQueryVolumeInformationFile SeamNtQueryVolumeInformationFile
#define GetVolumeInformationByHandleW SeamGetVolumeInformationByHandleW
#define GetSecurityInfo SeamGetSecurityInfo

HANDLE WINAPI SeamCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                              DWORD flags, HANDLE templateFile);
HANDLE WINAPI SeamCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                              DWORD flags, HANDLE templateFile);
BOOL WINAPI SeamCloseHandle(HANDLE handle);
BOOL WINAPI SeamWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
BOOL WINAPI SeamCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL WINAPI SeamCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process);
DWORD WINAPI SeamWaitForSingleObject(HANDLE object, DWORD milliseconds);
int WINAPI SeamMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
PIDLIST_ABSOLUTE WINAPI SeamSHBrowseForFolderA(LPBROWSEINFOA browse);
HANDLE WINAPI SeamReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags);
BOOL WINAPI SeamMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags);
BOOL WINAPI SeamDeleteFileW(LPCWSTR path);
BOOL WINAPI SeamSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size);
BOOL WINAPI SeamGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size);
DWORD WINAPI SeamGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
#define CreateFileW SeamCreateFileW
#define ReOpenFile SeamReOpenFile
#define MoveFileExW SeamMoveFileExW
#define DeleteFileW SeamDeleteFileW
#define SetFileInformationByHandle SeamSetFileInformationByHandle
#define GetFileInformationByHandleEx SeamGetFileInformationByHandleEx
#define GetFinalPathNameByHandleW SeamGetFinalPathNameByHandleW
#define CreateFileA SeamCreateFileA
#define CloseHandle SeamCloseHandle
#define WriteFile SeamWriteFile
#define CreateDirectoryW SeamCreateDirectoryW
#define CreateProcessW SeamCreateProcessW
#define WaitForSingleObject SeamWaitForSingleObject
#define MessageBoxA SeamMessageBoxA
#define SHBrowseForFolderA SeamSHBrowseForFolderA
#endif
