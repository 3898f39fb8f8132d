// DLLs that are not among the system's known DLLs are loaded at run time from the system folder.
// crypt32 and bcrypt are reached that way: the launcher's code calls them by their own names,
// and the definitions here load the DLL on the first call and forward to its entry points. The
// few ntdll calls that open and rename relative to a held folder are reached the same way.
#include "launcher/system_libraries.h"

#include <bcrypt.h>
#include <wincrypt.h>
#include <winternl.h>

// Loaded by system components by name (the common controls, COM, the shell's folder browser);
// the ones a system lacks are skipped.
static const LPCWSTR preloadedLibraries[] = {
    L"uxtheme.dll", L"dwmapi.dll",  L"version.dll", L"cryptbase.dll", L"propsys.dll",
    L"userenv.dll", L"profapi.dll", L"sspicli.dll", L"wintrust.dll",
};

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFunction)(DWORD flags);

HMODULE LoadSystemLibrary(LPCWSTR name)
{
    HMODULE module = LoadLibraryExW(name, NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != NULL || GetLastError() != ERROR_INVALID_PARAMETER)
        return module;
    // Systems without the search flags: the full path, with the DLL's own dependencies searched
    // from the system folder too.
    WCHAR path[MAX_PATH];
    UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + lstrlenW(name) >= MAX_PATH) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return NULL;
    }
    path[length] = L'\\';
    lstrcpyW(path + length + 1, name);
    return LoadLibraryExW(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void RestrictLibrarySearch(void)
{
    // kernel32 is mapped into every process: asking for it loads nothing.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    SetDefaultDllDirectoriesFunction setDefaultDllDirectories =
        kernel == NULL
            ? NULL
            : (SetDefaultDllDirectoriesFunction)(void (*)(void))GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (setDefaultDllDirectories == NULL || !setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        SetDllDirectoryW(L"");
    for (size_t i = 0; i < sizeof preloadedLibraries / sizeof preloadedLibraries[0]; i++)
        LoadSystemLibrary(preloadedLibraries[i]);
}

struct LateLibrary {
    LPCWSTR name;
    BOOL tried;
    DWORD failure; // why loading failed; 0 once every entry point is found
};

// bcrypt: the calls keep their names and statuses; a missing DLL makes every call fail.
// ntdll: mapped into every process and a known DLL; only these calls have no kernel32 form that
// takes a folder handle as the root of a name.
// crypt32: its header declares the calls as imported, so callers go through the __imp_ pointers
// that an import table would fill; they are defined here and point at functions that load the
// DLL and forward. A missing DLL fails every call with the loader's last error.
enum { LibraryBcrypt, LibraryNtdll, LibraryCrypt32, LateLibraryCount };
static LateLibrary lateLibraries[LateLibraryCount] = {
    {L"bcrypt.dll", FALSE, 0},
    {L"ntdll.dll", FALSE, 0},
    {L"crypt32.dll", FALSE, 0},
};

static const NTSTATUS StatusDllNotFound = (NTSTATUS)0xC0000135;

// Every call reached through a DLL loaded on first use, one row each: how callers reach it (by
// its name, or through its __imp_ pointer), its library, its result and calling convention, its
// name, what it returns when the DLL or one of the library's entry points is missing (the last
// error then tells why), its parameters and the arguments it passes on.
#define LATE_CALLS(CALL)                                                                                               \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptOpenAlgorithmProvider, StatusDllNotFound,                              \
         (BCRYPT_ALG_HANDLE * phAlgorithm, LPCWSTR pszAlgId, LPCWSTR pszImplementation, ULONG dwFlags),                \
         (phAlgorithm, pszAlgId, pszImplementation, dwFlags))                                                          \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptCloseAlgorithmProvider, StatusDllNotFound,                             \
         (BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags), (hAlgorithm, dwFlags))                                         \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptGetProperty, StatusDllNotFound,                                        \
         (BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput, ULONG * pcbResult,              \
          ULONG dwFlags),                                                                                              \
         (hObject, pszProperty, pbOutput, cbOutput, pcbResult, dwFlags))                                               \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptCreateHash, StatusDllNotFound,                                         \
         (BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE * phHash, PUCHAR pbHashObject, ULONG cbHashObject,          \
          PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags),                                                             \
         (hAlgorithm, phHash, pbHashObject, cbHashObject, pbSecret, cbSecret, dwFlags))                                \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptHashData, StatusDllNotFound,                                           \
         (BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags), (hHash, pbInput, cbInput, dwFlags)) \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptFinishHash, StatusDllNotFound,                                         \
         (BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags),                                   \
         (hHash, pbOutput, cbOutput, dwFlags))                                                                         \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptDestroyHash, StatusDllNotFound, (BCRYPT_HASH_HANDLE hHash), (hHash))   \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptImportKeyPair, StatusDllNotFound,                                      \
         (BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_KEY_HANDLE hImportKey, LPCWSTR pszBlobType, BCRYPT_KEY_HANDLE * phKey,  \
          PUCHAR pbInput, ULONG cbInput, ULONG dwFlags),                                                               \
         (hAlgorithm, hImportKey, pszBlobType, phKey, pbInput, cbInput, dwFlags))                                      \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptVerifySignature, StatusDllNotFound,                                    \
         (BCRYPT_KEY_HANDLE hKey, VOID * pPaddingInfo, PUCHAR pbHash, ULONG cbHash, PUCHAR pbSignature,                \
          ULONG cbSignature, ULONG dwFlags),                                                                           \
         (hKey, pPaddingInfo, pbHash, cbHash, pbSignature, cbSignature, dwFlags))                                      \
    CALL(NAMED, Bcrypt, NTSTATUS, WINAPI, BCryptDestroyKey, StatusDllNotFound, (BCRYPT_KEY_HANDLE hKey), (hKey))       \
    CALL(NAMED, Ntdll, NTSTATUS, NTAPI, NtCreateFile, StatusDllNotFound,                                               \
         (PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,                          \
          PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,      \
          ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength),                               \
         (FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize, FileAttributes, ShareAccess,     \
          CreateDisposition, CreateOptions, EaBuffer, EaLength))                                                       \
    CALL(NAMED, Ntdll, NTSTATUS, NTAPI, NtSetInformationFile, StatusDllNotFound,                                       \
         (HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len, FILE_INFORMATION_CLASS FileInformationClass),       \
         (hFile, io, ptr, len, FileInformationClass))                                                                  \
    CALL(NAMED, Ntdll, NTSTATUS, NTAPI, NtQueryVolumeInformationFile, StatusDllNotFound,                               \
         (HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len, FS_INFORMATION_CLASS FsInformationClass),           \
         (hFile, io, ptr, len, FsInformationClass))                                                                    \
    CALL(NAMED, Ntdll, ULONG, NTAPI, RtlNtStatusToDosError, lateLibraries[LibraryNtdll].failure, (NTSTATUS Status),    \
         (Status))                                                                                                     \
    CALL(IMPORTED, Crypt32, HCRYPTMSG, WINAPI, CryptMsgOpenToDecode, NULL,                                             \
         (DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType, HCRYPTPROV_LEGACY hCryptProv,                       \
          PCERT_INFO pRecipientInfo, PCMSG_STREAM_INFO pStreamInfo),                                                   \
         (dwMsgEncodingType, dwFlags, dwMsgType, hCryptProv, pRecipientInfo, pStreamInfo))                             \
    CALL(IMPORTED, Crypt32, BOOL, WINAPI, CryptMsgUpdate, FALSE,                                                       \
         (HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData, BOOL fFinal), (hCryptMsg, pbData, cbData, fFinal))    \
    CALL(IMPORTED, Crypt32, BOOL, WINAPI, CryptMsgGetParam, FALSE,                                                     \
         (HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void *pvData, DWORD *pcbData),                        \
         (hCryptMsg, dwParamType, dwIndex, pvData, pcbData))                                                           \
    CALL(IMPORTED, Crypt32, BOOL, WINAPI, CryptMsgClose, FALSE, (HCRYPTMSG hCryptMsg), (hCryptMsg))                    \
    CALL(IMPORTED, Crypt32, PCCERT_CONTEXT, WINAPI, CertCreateCertificateContext, NULL,                                \
         (DWORD dwCertEncodingType, const BYTE *pbCertEncoded, DWORD cbCertEncoded),                                   \
         (dwCertEncodingType, pbCertEncoded, cbCertEncoded))                                                           \
    CALL(IMPORTED, Crypt32, BOOL, WINAPI, CertFreeCertificateContext, FALSE, (PCCERT_CONTEXT pCertContext),            \
         (pCertContext))

#define LATE_INDEX(how, library, Result, convention, name, failed, parameters, arguments) Late_##name,
enum { LATE_CALLS(LATE_INDEX) LateCallCount };

// The entry points, found when their library is loaded on first use, and the library of each.
#define LATE_ENTRY(how, library, Result, convention, name, failed, parameters, arguments) {#name, NULL},
struct LateFunction {
    const char *name;
    FARPROC address;
};
static LateFunction lateFunctions[LateCallCount] = {LATE_CALLS(LATE_ENTRY)};
#define LATE_LIBRARY(how, library, Result, convention, name, failed, parameters, arguments) Library##library,
static const BYTE lateLibraryOf[LateCallCount] = {LATE_CALLS(LATE_LIBRARY)};

// Loads the library and finds all its entry points, once. FALSE, with the last error set to why,
// when the DLL or any of them is missing.
static BOOL ResolveLibrary(int index)
{
    LateLibrary *library = &lateLibraries[index];
    if (!library->tried) {
        library->tried = TRUE;
        HMODULE module = LoadSystemLibrary(library->name);
        library->failure = 0;
        if (module == NULL)
            library->failure = GetLastError() != 0 ? GetLastError() : ERROR_MOD_NOT_FOUND;
        for (int i = 0; i < LateCallCount && library->failure == 0; i++) {
            if (lateLibraryOf[i] != index)
                continue;
            lateFunctions[i].address = GetProcAddress(module, lateFunctions[i].name);
            if (lateFunctions[i].address == NULL)
                library->failure = ERROR_PROC_NOT_FOUND;
        }
    }
    if (library->failure != 0)
        SetLastError(library->failure);
    return library->failure == 0;
}

// The forwarder of one call: callers reach a NAMED call by its own name, an IMPORTED one through
// its __imp_ pointer.
#define LATE_FORWARDER(definedName, library, Result, convention, name, failed, parameters, arguments)                  \
    Result convention definedName parameters                                                                           \
    {                                                                                                                  \
        if (!ResolveLibrary(Library##library))                                                                         \
            return failed;                                                                                             \
        return ((decltype(&name))(void (*)(void))lateFunctions[Late_##name].address)arguments;                         \
    }
#define LATE_DEFINE_NAMED(library, Result, convention, name, failed, parameters, arguments)                            \
    LATE_FORWARDER(name, library, Result, convention, name, failed, parameters, arguments)
// clang-format off
#define LATE_DEFINE_IMPORTED(library, Result, convention, name, failed, parameters, arguments)                         \
    static LATE_FORWARDER(Late##name, library, Result, convention, name, failed, parameters, arguments)                \
    extern "C" {                                                                                                       \
    decltype(&name) __imp_##name = Late##name;                                                                         \
    }
// clang-format on
#define LATE_DEFINE(how, library, Result, convention, name, failed, parameters, arguments)                             \
    LATE_DEFINE_##how(library, Result, convention, name, failed, parameters, arguments)
LATE_CALLS(LATE_DEFINE)
