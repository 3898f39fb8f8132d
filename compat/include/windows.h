// Linux stand-in for the few Win32 types and calls that the portable launcher code uses,
// so that it builds natively for the packer, sanitizer runs and fuzzing.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int BOOL;
typedef unsigned int UINT;
typedef uint64_t ULONGLONG;
typedef int64_t LONGLONG;
typedef uintptr_t UINT_PTR;
typedef intptr_t INT_PTR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef DWORD LCID;
typedef char16_t WCHAR;
typedef char CHAR;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef void *HLOCAL;
typedef void *HINSTANCE;
typedef void *HWND;
typedef void *HMODULE;
typedef void *PSECURITY_DESCRIPTOR;
typedef DWORD *LPDWORD;
typedef BOOL *LPBOOL;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define ERROR_SUCCESS 0u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_INVALID_DATA 13u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_MORE_DATA 234u
#define ERROR_NOT_FOUND 1168u
#define ERROR_FILE_CORRUPT 1392u

// HRESULTs of the cryptographic services, as the platform defines them.
#define NTE_BAD_KEY ((LONG)0x80090003u)

#define LMEM_FIXED 0x0000u
#define LMEM_MOVEABLE 0x0002u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_RELEASE 0x00008000u
#define PAGE_NOACCESS 0x01u
#define PAGE_READWRITE 0x04u

#define CP_ACP 0u
#define CP_UTF8 65001u
#define WC_NO_BEST_FIT_CHARS 0x00000400u

#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200u

// The local heap: blocks remember their size so that LocalReAlloc can grow them.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL LocalReAlloc(HLOCAL memory, SIZE_T bytes, UINT flags);
HLOCAL LocalFree(HLOCAL memory);
SIZE_T LocalSize(HLOCAL memory);

// Address space: reserve, commit within a reservation, release a whole reservation.
LPVOID VirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protection);
BOOL VirtualFree(LPVOID address, SIZE_T bytes, DWORD type);

DWORD GetLastError(void);
void SetLastError(DWORD code);

// Text: the ANSI code page of the native build is UTF-8; wide text is UTF-16.
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int textLength, LPWSTR wide, int wideLength);
int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR wide, int wideLength, LPSTR text, int textLength,
                        LPCSTR defaultChar, LPBOOL usedDefaultChar);
int lstrcmpiA(LPCSTR first, LPCSTR second);
// The ANSI code page: always CP_UTF8 here.
UINT GetACP(void);
LPSTR CharNextA(LPCSTR text);
int lstrlenW(LPCWSTR text);

#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3
// Unit by unit; with ignoreCase each unit of the Basic Multilingual Plane is upper-cased by its
// simple Unicode mapping, as the system's table does.
int CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase);

// System message texts for the few codes the launcher reports; other codes have none.
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void *arguments);
