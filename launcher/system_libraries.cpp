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

// One entry point of a DLL loaded on first use.
struct LateFunction {
    const char *name;
    FARPROC address;
};

struct LateLibrary {
    LPCWSTR name;
    LateFunction *functions;
    int count;
    BOOL tried;
    DWORD failure; // why loading failed; 0 once every entry point is found
};

// Loads the library and finds all its entry points, once. FALSE when any is missing.
static BOOL ResolveLibrary(LateLibrary *library)
{
    if (!library->tried) {
        library->tried = TRUE;
        HMODULE module = LoadSystemLibrary(library->name);
        library->failure = 0;
        if (module == NULL)
            library->failure = GetLastError() != 0 ? GetLastError() : ERROR_MOD_NOT_FOUND;
        for (int i = 0; i < library->count && library->failure == 0; i++) {
            library->functions[i].address = GetProcAddress(module, library->functions[i].name);
            if (library->functions[i].address == NULL)
                library->failure = ERROR_PROC_NOT_FOUND;
        }
    }
    return library->failure == 0;
}

#define LATE_CALL(functions, index, name) ((decltype(&name))(void (*)(void))functions[index].address)

// bcrypt: the calls keep their names and statuses; a missing DLL makes every call fail.
enum {
    OpenAlgorithmProvider,
    CloseAlgorithmProvider,
    GetProperty,
    CreateHash,
    HashData,
    FinishHash,
    DestroyHash,
    ImportKeyPair,
    VerifySignature,
    DestroyKey,
    BcryptFunctionCount
};

static LateFunction bcryptFunctions[BcryptFunctionCount] = {
    {"BCryptOpenAlgorithmProvider", NULL},
    {"BCryptCloseAlgorithmProvider", NULL},
    {"BCryptGetProperty", NULL},
    {"BCryptCreateHash", NULL},
    {"BCryptHashData", NULL},
    {"BCryptFinishHash", NULL},
    {"BCryptDestroyHash", NULL},
    {"BCryptImportKeyPair", NULL},
    {"BCryptVerifySignature", NULL},
    {"BCryptDestroyKey", NULL},
};

static LateLibrary bcryptLibrary = {L"bcrypt.dll", bcryptFunctions, BcryptFunctionCount, FALSE, 0};

static const NTSTATUS StatusDllNotFound = (NTSTATUS)0xC0000135;

NTSTATUS WINAPI BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *phAlgorithm, LPCWSTR pszAlgId, LPCWSTR pszImplementation,
                                            ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, OpenAlgorithmProvider, BCryptOpenAlgorithmProvider)(phAlgorithm, pszAlgId,
                                                                                          pszImplementation, dwFlags);
}

NTSTATUS WINAPI BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, CloseAlgorithmProvider, BCryptCloseAlgorithmProvider)(hAlgorithm, dwFlags);
}

NTSTATUS WINAPI BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                                  ULONG *pcbResult, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, GetProperty, BCryptGetProperty)(hObject, pszProperty, pbOutput, cbOutput,
                                                                      pcbResult, dwFlags);
}

NTSTATUS WINAPI BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE *phHash, PUCHAR pbHashObject,
                                 ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, CreateHash, BCryptCreateHash)(hAlgorithm, phHash, pbHashObject, cbHashObject,
                                                                    pbSecret, cbSecret, dwFlags);
}

NTSTATUS WINAPI BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, HashData, BCryptHashData)(hHash, pbInput, cbInput, dwFlags);
}

NTSTATUS WINAPI BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, FinishHash, BCryptFinishHash)(hHash, pbOutput, cbOutput, dwFlags);
}

NTSTATUS WINAPI BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, DestroyHash, BCryptDestroyHash)(hHash);
}

NTSTATUS WINAPI BCryptImportKeyPair(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_KEY_HANDLE hImportKey, LPCWSTR pszBlobType,
                                    BCRYPT_KEY_HANDLE *phKey, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, ImportKeyPair, BCryptImportKeyPair)(hAlgorithm, hImportKey, pszBlobType, phKey,
                                                                          pbInput, cbInput, dwFlags);
}

NTSTATUS WINAPI BCryptVerifySignature(BCRYPT_KEY_HANDLE hKey, VOID *pPaddingInfo, PUCHAR pbHash, ULONG cbHash,
                                      PUCHAR pbSignature, ULONG cbSignature, ULONG dwFlags)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, VerifySignature, BCryptVerifySignature)(hKey, pPaddingInfo, pbHash, cbHash,
                                                                              pbSignature, cbSignature, dwFlags);
}

NTSTATUS WINAPI BCryptDestroyKey(BCRYPT_KEY_HANDLE hKey)
{
    if (!ResolveLibrary(&bcryptLibrary))
        return StatusDllNotFound;
    return LATE_CALL(bcryptFunctions, DestroyKey, BCryptDestroyKey)(hKey);
}

// ntdll: mapped into every process and a known DLL; only these calls have no kernel32 form that
// takes a folder handle as the root of a name.
enum { CreateFileNt, SetInformationFile, QueryVolumeInformationFile, StatusToDosError, NtdllFunctionCount };

static LateFunction ntdllFunctions[NtdllFunctionCount] = {
    {"NtCreateFile", NULL},
    {"NtSetInformationFile", NULL},
    {"NtQueryVolumeInformationFile", NULL},
    {"RtlNtStatusToDosError", NULL},
};

static LateLibrary ntdllLibrary = {L"ntdll.dll", ntdllFunctions, NtdllFunctionCount, FALSE, 0};

NTSTATUS NTAPI NtCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                            PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                            ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                            ULONG EaLength)
{
    if (!ResolveLibrary(&ntdllLibrary))
        return StatusDllNotFound;
    return LATE_CALL(ntdllFunctions, CreateFileNt,
                     NtCreateFile)(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, AllocationSize,
                                   FileAttributes, ShareAccess, CreateDisposition, CreateOptions, EaBuffer, EaLength);
}

NTSTATUS NTAPI NtSetInformationFile(HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len,
                                    FILE_INFORMATION_CLASS FileInformationClass)
{
    if (!ResolveLibrary(&ntdllLibrary))
        return StatusDllNotFound;
    return LATE_CALL(ntdllFunctions, SetInformationFile, NtSetInformationFile)(hFile, io, ptr, len,
                                                                               FileInformationClass);
}

NTSTATUS NTAPI NtQueryVolumeInformationFile(HANDLE hFile, PIO_STATUS_BLOCK io, PVOID ptr, ULONG len,
                                            FS_INFORMATION_CLASS FsInformationClass)
{
    if (!ResolveLibrary(&ntdllLibrary))
        return StatusDllNotFound;
    return LATE_CALL(ntdllFunctions, QueryVolumeInformationFile, NtQueryVolumeInformationFile)(hFile, io, ptr, len,
                                                                                               FsInformationClass);
}

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status)
{
    if (!ResolveLibrary(&ntdllLibrary))
        return ntdllLibrary.failure;
    return LATE_CALL(ntdllFunctions, StatusToDosError, RtlNtStatusToDosError)(Status);
}

// crypt32: its header declares the calls as imported, so callers go through the __imp_ pointers
// that an import table would fill; they are defined here and point at functions that load the
// DLL and forward. A missing DLL fails every call with the loader's last error.
enum {
    MsgOpenToDecode,
    MsgUpdate,
    MsgGetParam,
    MsgClose,
    CreateCertificateContext,
    FreeCertificateContext,
    Crypt32FunctionCount
};

static LateFunction crypt32Functions[Crypt32FunctionCount] = {
    {"CryptMsgOpenToDecode", NULL},
    {"CryptMsgUpdate", NULL},
    {"CryptMsgGetParam", NULL},
    {"CryptMsgClose", NULL},
    {"CertCreateCertificateContext", NULL},
    {"CertFreeCertificateContext", NULL},
};

static LateLibrary crypt32Library = {L"crypt32.dll", crypt32Functions, Crypt32FunctionCount, FALSE, 0};

static BOOL ResolveCrypt32(void)
{
    if (ResolveLibrary(&crypt32Library))
        return TRUE;
    SetLastError(crypt32Library.failure);
    return FALSE;
}

static HCRYPTMSG WINAPI LateCryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                                                 HCRYPTPROV_LEGACY hCryptProv, PCERT_INFO pRecipientInfo,
                                                 PCMSG_STREAM_INFO pStreamInfo)
{
    if (!ResolveCrypt32())
        return NULL;
    return LATE_CALL(crypt32Functions, MsgOpenToDecode, CryptMsgOpenToDecode)(dwMsgEncodingType, dwFlags, dwMsgType,
                                                                              hCryptProv, pRecipientInfo, pStreamInfo);
}

static BOOL WINAPI LateCryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData, BOOL fFinal)
{
    if (!ResolveCrypt32())
        return FALSE;
    return LATE_CALL(crypt32Functions, MsgUpdate, CryptMsgUpdate)(hCryptMsg, pbData, cbData, fFinal);
}

static BOOL WINAPI LateCryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void *pvData,
                                        DWORD *pcbData)
{
    if (!ResolveCrypt32())
        return FALSE;
    return LATE_CALL(crypt32Functions, MsgGetParam, CryptMsgGetParam)(hCryptMsg, dwParamType, dwIndex, pvData, pcbData);
}

static BOOL WINAPI LateCryptMsgClose(HCRYPTMSG hCryptMsg)
{
    if (!ResolveCrypt32())
        return FALSE;
    return LATE_CALL(crypt32Functions, MsgClose, CryptMsgClose)(hCryptMsg);
}

static PCCERT_CONTEXT WINAPI LateCertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE *pbCertEncoded,
                                                              DWORD cbCertEncoded)
{
    if (!ResolveCrypt32())
        return NULL;
    return LATE_CALL(crypt32Functions, CreateCertificateContext,
                     CertCreateCertificateContext)(dwCertEncodingType, pbCertEncoded, cbCertEncoded);
}

static BOOL WINAPI LateCertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    if (!ResolveCrypt32())
        return FALSE;
    return LATE_CALL(crypt32Functions, FreeCertificateContext, CertFreeCertificateContext)(pCertContext);
}

extern "C" {
decltype(&CryptMsgOpenToDecode) __imp_CryptMsgOpenToDecode = LateCryptMsgOpenToDecode;
decltype(&CryptMsgUpdate) __imp_CryptMsgUpdate = LateCryptMsgUpdate;
decltype(&CryptMsgGetParam) __imp_CryptMsgGetParam = LateCryptMsgGetParam;
decltype(&CryptMsgClose) __imp_CryptMsgClose = LateCryptMsgClose;
decltype(&CertCreateCertificateContext) __imp_CertCreateCertificateContext = LateCertCreateCertificateContext;
decltype(&CertFreeCertificateContext) __imp_CertFreeCertificateContext = LateCertFreeCertificateContext;
}
