// The routed calls: count each one and fail it when a test armed that.
#include "tests/seam/fault_control.h"

#include <bcrypt.h>
#include <wincrypt.h>

#include <set>

#ifdef _WIN32
#include <shlobj.h>
#include <winternl.h>

#include <aclapi.h>
#include <sddl.h>
#endif

namespace {

struct SeamSlot {
    unsigned calls;
    unsigned succeedFirst;
    unsigned failCount;
    DWORD lastError;
    unsigned hookAt; // the call before which hook runs
    std::function<void()> hook;
};

SeamSlot slots[static_cast<int>(SeamCall::Count)];
SIZE_T committedBytes;
LONGLONG clockStep;    // 0: the real performance counter
LONGLONG clockCounter; // the stepped counter's last value
std::set<HLOCAL> liveBlocks;
std::set<HANDLE> openFiles;
int dialogAnswer;
#ifdef _WIN32
std::set<HANDLE> pins;           // folder handles that pin their folder
std::set<HANDLE> pinnedFiles;    // handles opened relative to a pin, or reopened from one
std::set<HANDLE> folderRemovers; // folder handles reopened from a held one with DELETE access
std::set<HANDLE> pathRemovers;   // folder handles opened by a path with DELETE access
FileRules fileRules;
bool fakeTag;
DWORD fakeAttributes;
DWORD fakeReparseTag;
std::wstring madeFolderSecurity;
std::wstring madeFileSecurity;
bool withoutFileIdInfo;
std::wstring answeredFinalPath;
DWORD clearedVolumeFlags;
DWORD addedDeviceCharacteristics;
std::wstring answeredSecurity;
std::string browserAnswer;
unsigned browserAnswersLeft;
#endif

// Counts the call; true when this one is armed to fail.
bool ShouldFail(SeamCall call, DWORD *lastError)
{
    SeamSlot &slot = slots[static_cast<int>(call)];
    unsigned index = slot.calls++;
    if (slot.hook && index == slot.hookAt) {
        std::function<void()> hook = std::move(slot.hook);
        slot.hook = nullptr;
        hook();
    }
    if (index < slot.succeedFirst || index - slot.succeedFirst >= slot.failCount)
        return false;
    *lastError = slot.lastError;
    return true;
}

} // namespace

void FailCall(SeamCall call, unsigned succeedFirst, unsigned failCount, DWORD lastError)
{
    SeamSlot &slot = slots[static_cast<int>(call)];
    slot.succeedFirst = slot.calls + succeedFirst;
    slot.failCount = failCount;
    slot.lastError = lastError;
}

unsigned SeamCallCount(SeamCall call)
{
    return slots[static_cast<int>(call)].calls;
}

void BeforeCall(SeamCall call, unsigned callsBefore, std::function<void()> action)
{
    SeamSlot &slot = slots[static_cast<int>(call)];
    slot.hookAt = slot.calls + callsBefore;
    slot.hook = std::move(action);
}

SIZE_T SeamCommittedBytes()
{
    return committedBytes;
}

void ResetSeams()
{
    for (SeamSlot &slot : slots)
        slot = SeamSlot{};
    committedBytes = 0;
    clockStep = 0;
    clockCounter = 0;
    liveBlocks.clear();
    openFiles.clear();
    dialogAnswer = 0;
#ifdef _WIN32
    pins.clear();
    pinnedFiles.clear();
    folderRemovers.clear();
    pathRemovers.clear();
    fileRules = FileRules{};
    fakeTag = false;
    madeFolderSecurity.clear();
    madeFileSecurity.clear();
    withoutFileIdInfo = false;
    answeredFinalPath.clear();
    clearedVolumeFlags = 0;
    addedDeviceCharacteristics = 0;
    answeredSecurity.clear();
    browserAnswer.clear();
#endif
}

void StepSeamClock(LONGLONG counterStep)
{
    clockStep = counterStep;
}

unsigned LiveLocalBlocks()
{
    return static_cast<unsigned>(liveBlocks.size());
}

unsigned OpenFileHandles()
{
    return static_cast<unsigned>(openFiles.size());
}

void AnswerDialogs(int messageBoxAnswer)
{
    dialogAnswer = messageBoxAnswer;
}

HLOCAL SeamLocalAlloc(UINT flags, SIZE_T bytes)
{
    DWORD error;
    if (ShouldFail(SeamCall::LocalAlloc, &error)) {
        SetLastError(error);
        return nullptr;
    }
    HLOCAL block = LocalAlloc(flags, bytes);
    if (block != nullptr)
        liveBlocks.insert(block);
    return block;
}

HLOCAL SeamLocalFree(HLOCAL memory)
{
    liveBlocks.erase(memory);
    return LocalFree(memory);
}

HLOCAL SeamLocalReAlloc(HLOCAL memory, SIZE_T bytes, UINT flags)
{
    DWORD error;
    if (ShouldFail(SeamCall::LocalReAlloc, &error)) {
        SetLastError(error);
        return nullptr;
    }
    HLOCAL grown = LocalReAlloc(memory, bytes, flags);
    if (grown != nullptr && liveBlocks.erase(memory) > 0)
        liveBlocks.insert(grown);
    return grown;
}

LPVOID SeamVirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protection)
{
    DWORD error;
    if (ShouldFail(SeamCall::VirtualAlloc, &error)) {
        SetLastError(error);
        return nullptr;
    }
    LPVOID result = VirtualAlloc(address, bytes, type, protection);
    if (result != nullptr && type == MEM_COMMIT)
        committedBytes += bytes;
    // A reservation is a block of its own until it is released, like a local-heap block.
    if (result != nullptr && (type & MEM_RESERVE) != 0)
        liveBlocks.insert(result);
    return result;
}

BOOL SeamVirtualFree(LPVOID address, SIZE_T bytes, DWORD type)
{
    if (type == MEM_RELEASE)
        liveBlocks.erase(address);
    return VirtualFree(address, bytes, type);
}

// Returns from the wrapper with the armed status when this bcrypt call is to fail.
#define BCRYPT_SEAM()                                                                                                  \
    do {                                                                                                               \
        DWORD status;                                                                                                  \
        if (ShouldFail(SeamCall::BCrypt, &status))                                                                     \
            return (NTSTATUS)status;                                                                                   \
    } while (0)

// A release that is to fail still releases, so that a failure sweep leaks nothing, and then
// reports the failure.
#define RELEASE_SEAM(call, release, failure)                                                                           \
    do {                                                                                                               \
        DWORD armed;                                                                                                   \
        if (ShouldFail(call, &armed)) {                                                                                \
            release;                                                                                                   \
            return failure(armed);                                                                                     \
        }                                                                                                              \
    } while (0)

// Returns failure with the armed last error when this crypt32 call is to fail.
#define CRYPT32_SEAM(failure)                                                                                          \
    do {                                                                                                               \
        DWORD error;                                                                                                   \
        if (ShouldFail(SeamCall::Crypt32, &error)) {                                                                   \
            SetLastError(error);                                                                                       \
            return failure;                                                                                            \
        }                                                                                                              \
    } while (0)

NTSTATUS WINAPI SeamBCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *algorithm, LPCWSTR id, LPCWSTR implementation,
                                                ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptOpenAlgorithmProvider(algorithm, id, implementation, flags);
}

NTSTATUS WINAPI SeamBCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE algorithm, ULONG flags)
{
    RELEASE_SEAM(SeamCall::BCrypt, BCryptCloseAlgorithmProvider(algorithm, flags), (NTSTATUS));
    return BCryptCloseAlgorithmProvider(algorithm, flags);
}

NTSTATUS WINAPI SeamBCryptGetProperty(BCRYPT_HANDLE object, LPCWSTR property, PUCHAR output, ULONG outputSize,
                                      ULONG *result, ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptGetProperty(object, property, output, outputSize, result, flags);
}

NTSTATUS WINAPI SeamBCryptCreateHash(BCRYPT_ALG_HANDLE algorithm, BCRYPT_HASH_HANDLE *hash, PUCHAR hashObject,
                                     ULONG hashObjectSize, PUCHAR secret, ULONG secretSize, ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptCreateHash(algorithm, hash, hashObject, hashObjectSize, secret, secretSize, flags);
}

NTSTATUS WINAPI SeamBCryptHashData(BCRYPT_HASH_HANDLE hash, PUCHAR input, ULONG inputSize, ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptHashData(hash, input, inputSize, flags);
}

NTSTATUS WINAPI SeamBCryptFinishHash(BCRYPT_HASH_HANDLE hash, PUCHAR output, ULONG outputSize, ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptFinishHash(hash, output, outputSize, flags);
}

NTSTATUS WINAPI SeamBCryptDestroyHash(BCRYPT_HASH_HANDLE hash)
{
    RELEASE_SEAM(SeamCall::BCrypt, BCryptDestroyHash(hash), (NTSTATUS));
    return BCryptDestroyHash(hash);
}

NTSTATUS WINAPI SeamBCryptImportKeyPair(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE importKey, LPCWSTR blobType,
                                        BCRYPT_KEY_HANDLE *key, PUCHAR input, ULONG inputSize, ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptImportKeyPair(algorithm, importKey, blobType, key, input, inputSize, flags);
}

NTSTATUS WINAPI SeamBCryptVerifySignature(BCRYPT_KEY_HANDLE key, void *paddingInfo, PUCHAR hash, ULONG hashSize,
                                          PUCHAR signature, ULONG signatureSize, ULONG flags)
{
    BCRYPT_SEAM();
    return BCryptVerifySignature(key, paddingInfo, hash, hashSize, signature, signatureSize, flags);
}

NTSTATUS WINAPI SeamBCryptDestroyKey(BCRYPT_KEY_HANDLE key)
{
    RELEASE_SEAM(SeamCall::BCrypt, BCryptDestroyKey(key), (NTSTATUS));
    return BCryptDestroyKey(key);
}

HCRYPTMSG WINAPI SeamCryptMsgOpenToDecode(DWORD encoding, DWORD flags, DWORD type, HCRYPTPROV_LEGACY provider,
                                          PCERT_INFO recipient, PCMSG_STREAM_INFO stream)
{
    CRYPT32_SEAM(nullptr);
    return CryptMsgOpenToDecode(encoding, flags, type, provider, recipient, stream);
}

BOOL WINAPI SeamCryptMsgUpdate(HCRYPTMSG message, const BYTE *data, DWORD size, BOOL final)
{
    CRYPT32_SEAM(FALSE);
    return CryptMsgUpdate(message, data, size, final);
}

BOOL WINAPI SeamCryptMsgGetParam(HCRYPTMSG message, DWORD type, DWORD index, void *data, DWORD *size)
{
    CRYPT32_SEAM(FALSE);
    return CryptMsgGetParam(message, type, index, data, size);
}

BOOL WINAPI SeamCryptMsgClose(HCRYPTMSG message)
{
    DWORD error;
    if (ShouldFail(SeamCall::Crypt32, &error)) {
        CryptMsgClose(message);
        SetLastError(error);
        return FALSE;
    }
    return CryptMsgClose(message);
}

PCCERT_CONTEXT WINAPI SeamCertCreateCertificateContext(DWORD encoding, const BYTE *encoded, DWORD size)
{
    CRYPT32_SEAM(nullptr);
    return CertCreateCertificateContext(encoding, encoded, size);
}

BOOL WINAPI SeamCertFreeCertificateContext(PCCERT_CONTEXT certificate)
{
    DWORD error;
    if (ShouldFail(SeamCall::Crypt32, &error)) {
        CertFreeCertificateContext(certificate);
        SetLastError(error);
        return FALSE;
    }
    return CertFreeCertificateContext(certificate);
}

#ifdef _WIN32
HGLOBAL SeamGlobalAlloc(UINT flags, SIZE_T bytes)
{
    DWORD error;
    if (ShouldFail(SeamCall::GlobalAlloc, &error)) {
        SetLastError(error);
        return nullptr;
    }
    return GlobalAlloc(flags, bytes);
}

DWORD SeamGetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    DWORD error;
    if (ShouldFail(SeamCall::GetModuleFileNameW, &error)) {
        if (error == ERROR_INSUFFICIENT_BUFFER && size > 0) {
            // As for a path longer than the buffer: cut to size - 1 characters, result size.
            WCHAR path[32768];
            GetModuleFileNameW(module, path, 32768);
            lstrcpynW(buffer, path, (int)size);
            SetLastError(error);
            return size;
        }
        SetLastError(error);
        return 0;
    }
    return GetModuleFileNameW(module, buffer, size);
}

BOOL SeamReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped)
{
    DWORD error;
    if (ShouldFail(SeamCall::ReadFile, &error)) {
        if (error == 0) {
            BOOL ok = ReadFile(file, buffer, toRead > 0 ? toRead - 1 : 0, read, overlapped);
            return ok;
        }
        SetLastError(error);
        if (read != nullptr)
            *read = 0;
        return FALSE;
    }
    return ReadFile(file, buffer, toRead, read, overlapped);
}

namespace {

// The owner and DACL a folder or file was made with, as SDDL: Wine stores none to read back.
std::wstring DescriptorText(PSECURITY_DESCRIPTOR descriptor)
{
    LPWSTR sddl = nullptr;
    std::wstring text;
    if (descriptor != nullptr &&
        ConvertSecurityDescriptorToStringSecurityDescriptorW(
            descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
        text = sddl;
        LocalFree(sddl);
    }
    return text;
}

// A call that names a file by its path: while a pin is open, no such call may touch the files.
void NoteNamedCall()
{
    if (!pins.empty())
        fileRules.namedCallsWhilePinned++;
}

} // namespace

FileRules SeamFileRules()
{
    return fileRules;
}

void FakeFolderTag(DWORD attributes, DWORD reparseTag)
{
    fakeTag = true;
    fakeAttributes = attributes;
    fakeReparseTag = reparseTag;
}

HANDLE WINAPI SeamCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                              DWORD flags, HANDLE templateFile)
{
    DWORD error;
    if (ShouldFail(SeamCall::CreateFileW, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // Asking where a path leads (attributes only) changes nothing and is checked against a handle.
    if ((access & ~(FILE_READ_ATTRIBUTES | SYNCHRONIZE)) != 0)
        NoteNamedCall();
    HANDLE file = CreateFileW(path, access, share, security, creation, flags, templateFile);
    if (file != INVALID_HANDLE_VALUE) {
        openFiles.insert(file);
        if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 && (access & DELETE) != 0)
            pathRemovers.insert(file);
    }
    return file;
}

NTSTATUS NTAPI SeamNtCreateFile(PHANDLE file, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes, PIO_STATUS_BLOCK io,
                                PLARGE_INTEGER allocationSize, ULONG fileAttributes, ULONG share, ULONG disposition,
                                ULONG options, PVOID eaBuffer, ULONG eaLength)
{
    DWORD status;
    if (ShouldFail(SeamCall::NtCreateFile, &status))
        return (NTSTATUS)status;
    bool inPin = attributes != nullptr && pins.count(attributes->RootDirectory) > 0;
    if (!inPin)
        NoteNamedCall();
    NTSTATUS result = NtCreateFile(file, access, attributes, io, allocationSize, fileAttributes, share, disposition,
                                   options, eaBuffer, eaLength);
    if (NT_SUCCESS(result)) {
        openFiles.insert(*file);
        if (inPin) {
            pinnedFiles.insert(*file);
            if (disposition != FILE_OPEN)
                fileRules.changesWhilePinned++;
        }
        if (disposition == FILE_CREATE && (options & FILE_DIRECTORY_FILE) != 0)
            madeFolderSecurity = DescriptorText(attributes->SecurityDescriptor);
        else if (io->Information == FILE_CREATED && attributes->SecurityDescriptor != nullptr)
            madeFileSecurity = DescriptorText(attributes->SecurityDescriptor);
    }
    return result;
}

NTSTATUS NTAPI SeamNtSetInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID info, ULONG size,
                                        FILE_INFORMATION_CLASS infoClass)
{
    DWORD status;
    if (ShouldFail(SeamCall::NtSetInformationFile, &status))
        return (NTSTATUS)status;
    if (infoClass == FileRenameInformation) {
        const auto *rename = static_cast<const FILE_RENAME_INFORMATION *>(info);
        bool inPin = pinnedFiles.count(file) > 0 && pins.count(rename->RootDirectory) > 0;
        (inPin ? fileRules.changesWhilePinned : fileRules.changesUnpinned)++;
    }
    return NtSetInformationFile(file, io, info, size, infoClass);
}

HANDLE WINAPI SeamReOpenFile(HANDLE original, DWORD access, DWORD share, DWORD flags)
{
    DWORD error;
    if (ShouldFail(SeamCall::ReOpenFile, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = ReOpenFile(original, access, share, flags);
    if (file != INVALID_HANDLE_VALUE) {
        openFiles.insert(file);
        if (pinnedFiles.count(original) > 0)
            pinnedFiles.insert(file);
        else if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 && (access & DELETE) != 0)
            folderRemovers.insert(file);
        else if ((flags & FILE_FLAG_BACKUP_SEMANTICS) != 0 && (access & FILE_LIST_DIRECTORY) != 0)
            pins.insert(file);
    }
    return file;
}

BOOL WINAPI SeamMoveFileExW(LPCWSTR from, LPCWSTR to, DWORD flags)
{
    DWORD error;
    if (ShouldFail(SeamCall::MoveFileExW, &error)) {
        SetLastError(error);
        return FALSE;
    }
    NoteNamedCall();
    fileRules.changesUnpinned++;
    return MoveFileExW(from, to, flags);
}

BOOL WINAPI SeamDeleteFileW(LPCWSTR path)
{
    NoteNamedCall();
    fileRules.changesUnpinned++;
    return DeleteFileW(path);
}

BOOL WINAPI SeamSetFileInformationByHandle(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    DWORD error;
    if (ShouldFail(SeamCall::SetFileInformationByHandle, &error)) {
        SetLastError(error);
        return FALSE;
    }
    BOOL done = SetFileInformationByHandle(file, infoClass, info, size);
    // The plain disposition, or the one with flags that a system since Windows 10 knows: counted
    // when it was set (the launcher tries the second first).
    if (done && (infoClass == FileDispositionInfo || infoClass == static_cast<FILE_INFO_BY_HANDLE_CLASS>(21))) {
        if (pinnedFiles.count(file) > 0)
            fileRules.changesWhilePinned++;
        else if (folderRemovers.count(file) > 0)
            fileRules.folderRemovals++;
        else if (pathRemovers.count(file) > 0)
            fileRules.folderRemovalsByPath++;
        else
            fileRules.changesUnpinned++;
    }
    return done;
}

BOOL WINAPI SeamGetFileInformationByHandleEx(HANDLE file, FILE_INFO_BY_HANDLE_CLASS infoClass, LPVOID info, DWORD size)
{
    if (withoutFileIdInfo && infoClass == FileIdInfo) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    BOOL answered = GetFileInformationByHandleEx(file, infoClass, info, size);
    if (answered && fakeTag && infoClass == FileAttributeTagInfo && pins.count(file) > 0) {
        auto *tagInfo = static_cast<FILE_ATTRIBUTE_TAG_INFO *>(info);
        tagInfo->FileAttributes = fakeAttributes;
        tagInfo->ReparseTag = fakeReparseTag;
    }
    return answered;
}

DWORD WINAPI SeamGetFinalPathNameByHandleW(HANDLE file, LPWSTR path, DWORD size, DWORD flags)
{
    DWORD error;
    if (ShouldFail(SeamCall::GetFinalPathNameByHandleW, &error)) {
        SetLastError(error);
        return 0;
    }
    if (!answeredFinalPath.empty() &&
        (flags & (VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE)) == VOLUME_NAME_DOS) {
        DWORD units = static_cast<DWORD>(answeredFinalPath.size());
        if (units >= size)
            return units + 1;
        lstrcpyW(path, answeredFinalPath.c_str());
        return units;
    }
    return GetFinalPathNameByHandleW(file, path, size, flags);
}

HANDLE WINAPI SeamCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD creation,
                              DWORD flags, HANDLE templateFile)
{
    DWORD error;
    NoteNamedCall();
    if (ShouldFail(SeamCall::CreateFileA, &error)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE file = CreateFileA(path, access, share, security, creation, flags, templateFile);
    if (file != INVALID_HANDLE_VALUE)
        openFiles.insert(file);
    return file;
}

BOOL WINAPI SeamCloseHandle(HANDLE handle)
{
    openFiles.erase(handle);
    pins.erase(handle);
    pinnedFiles.erase(handle);
    folderRemovers.erase(handle);
    pathRemovers.erase(handle);
    return CloseHandle(handle);
}

BOOL WINAPI SeamWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped)
{
    DWORD error;
    if (ShouldFail(SeamCall::WriteFile, &error)) {
        SetLastError(error);
        if (written != nullptr)
            *written = 0;
        return FALSE;
    }
    return WriteFile(file, buffer, toWrite, written, overlapped);
}

BOOL SeamQueryPerformanceCounter(LARGE_INTEGER *counter)
{
    if (clockStep == 0)
        return QueryPerformanceCounter(counter);
    clockCounter += clockStep;
    counter->QuadPart = clockCounter;
    return TRUE;
}

BOOL WINAPI SeamCreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security)
{
    DWORD error;
    if (ShouldFail(SeamCall::CreateDirectoryW, &error)) {
        SetLastError(error);
        return FALSE;
    }
    return CreateDirectoryW(path, security);
}

BOOL WINAPI SeamCreateProcessW(LPCWSTR application, LPWSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                               LPSECURITY_ATTRIBUTES threadAttributes, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCWSTR directory, LPSTARTUPINFOW startup, LPPROCESS_INFORMATION process)
{
    DWORD error;
    if (ShouldFail(SeamCall::CreateProcessW, &error)) {
        SetLastError(error);
        return FALSE;
    }
    return CreateProcessW(application, commandLine, processAttributes, threadAttributes, inherit, flags, environment,
                          directory, startup, process);
}

DWORD WINAPI SeamWaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    DWORD error;
    if (ShouldFail(SeamCall::WaitForSingleObject, &error)) {
        SetLastError(error);
        return WAIT_FAILED;
    }
    return WaitForSingleObject(object, milliseconds);
}

int WINAPI SeamMessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    slots[static_cast<int>(SeamCall::MessageBoxA)].calls++;
    if (dialogAnswer != 0)
        return dialogAnswer;
    return MessageBoxA(owner, text, caption, type);
}

PIDLIST_ABSOLUTE WINAPI SeamSHBrowseForFolderA(LPBROWSEINFOA browse)
{
    slots[static_cast<int>(SeamCall::SHBrowseForFolderA)].calls++;
    if (!browserAnswer.empty() && browserAnswersLeft > 0) {
        browserAnswersLeft--;
        return ILCreateFromPathA(browserAnswer.c_str());
    }
    if (dialogAnswer != 0)
        return nullptr;
    return SHBrowseForFolderA(browse);
}

void AnswerBrowser(const std::string &folder, unsigned times)
{
    browserAnswer = folder;
    browserAnswersLeft = times;
}

std::wstring MadeFolderSecurity()
{
    return madeFolderSecurity;
}

std::wstring MadeFileSecurity()
{
    return madeFileSecurity;
}

void WithoutFileIdInfo()
{
    withoutFileIdInfo = true;
}

void AnswerFinalPath(const std::wstring &path)
{
    answeredFinalPath = path;
}

void FakeVolume(DWORD clearedFlags, DWORD addedCharacteristics)
{
    clearedVolumeFlags = clearedFlags;
    addedDeviceCharacteristics = addedCharacteristics;
}

void AnswerSecurity(const std::wstring &sddl)
{
    answeredSecurity = sddl;
}

NTSTATUS NTAPI SeamNtQueryVolumeInformationFile(HANDLE file, PIO_STATUS_BLOCK io, PVOID information, ULONG length,
                                                FS_INFORMATION_CLASS informationClass)
{
    NTSTATUS status = NtQueryVolumeInformationFile(file, io, information, length, informationClass);
    if (NT_SUCCESS(status) && informationClass == FileFsDeviceInformation)
        static_cast<FILE_FS_DEVICE_INFORMATION *>(information)->Characteristics |= addedDeviceCharacteristics;
    return status;
}

BOOL WINAPI SeamGetVolumeInformationByHandleW(HANDLE file, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                              LPDWORD componentLength, LPDWORD flags, LPWSTR fileSystem,
                                              DWORD fileSystemSize)
{
    BOOL answered =
        GetVolumeInformationByHandleW(file, name, nameSize, serial, componentLength, flags, fileSystem, fileSystemSize);
    if (answered && flags != nullptr)
        *flags &= ~clearedVolumeFlags;
    return answered;
}

DWORD WINAPI SeamGetSecurityInfo(HANDLE handle, SE_OBJECT_TYPE type, SECURITY_INFORMATION information, PSID *owner,
                                 PSID *group, PACL *dacl, PACL *sacl, PSECURITY_DESCRIPTOR *descriptor)
{
    if (answeredSecurity.empty())
        return GetSecurityInfo(handle, type, information, owner, group, dacl, sacl, descriptor);
    // A self-relative descriptor in one block, as the system hands out, its parts pointing into it.
    PSECURITY_DESCRIPTOR made = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(answeredSecurity.c_str(), SDDL_REVISION_1, &made,
                                                              nullptr))
        return GetLastError();
    BOOL present = FALSE, defaulted = FALSE;
    if (owner != nullptr)
        GetSecurityDescriptorOwner(made, owner, &defaulted);
    if (group != nullptr)
        GetSecurityDescriptorGroup(made, group, &defaulted);
    if (dacl != nullptr && (!GetSecurityDescriptorDacl(made, &present, dacl, &defaulted) || !present))
        *dacl = nullptr;
    if (sacl != nullptr)
        *sacl = nullptr;
    *descriptor = made;
    return ERROR_SUCCESS;
}
#endif
