// Test-side control of the calls that tests/seam/fault_injection.h routes. Example: let the
// first two LocalAlloc calls succeed, then fail the third with last error 14:
//   FailCall(SeamCall::LocalAlloc, 2, 1, 14);
#pragma once

#include <windows.h>

#include <functional>
#include <string>

// BCrypt and Crypt32 count every call into that DLL, so that a test can fail the nth one of a
// run: FailCall(SeamCall::BCrypt, n - 1, 1, status).
enum class SeamCall {
    LocalAlloc,
    LocalReAlloc,
    VirtualAlloc,
    GlobalAlloc,
    GetModuleFileNameW,
    ReadFile,
    BCrypt,
    Crypt32,
    CreateFileA,
    CreateFileW,
    WriteFile,
    CreateDirectoryW,
    CreateProcessW,
    WaitForSingleObject, // fails with WAIT_FAILED
    ReOpenFile,
    MoveFileExW,
    SetFileInformationByHandle,
    GetFinalPathNameByHandleW,
    MessageBoxA,          // counted only
    SHBrowseForFolderA,   // counted only
    NtCreateFile,         // the armed value is the NTSTATUS returned
    NtSetInformationFile, // the armed value is the NTSTATUS returned
    Count
};

// The first succeedFirst calls go through, the next failCount fail with lastError (for a bcrypt
// call: return it as the status; for ReadFile: succeed but read one byte short when lastError is
// 0; for WriteFile: fail having written nothing; for GetModuleFileNameW with
// ERROR_INSUFFICIENT_BUFFER: answer as for a path that does not fit, cut and with the buffer's
// size as the result), then calls go through again. A release call (closing a provider,
// destroying a hash or key, closing a message, freeing a certificate) that fails still releases.
void FailCall(SeamCall call, unsigned succeedFirst, unsigned failCount, DWORD lastError);

// Calls made since the last ResetSeams.
unsigned SeamCallCount(SeamCall call);

// Runs action once, right before the call of that kind after the first `callsBefore` ones from
// now goes on (or fails as armed): what another process does in that moment.
void BeforeCall(SeamCall call, unsigned callsBefore, std::function<void()> action);

// Bytes that VirtualAlloc calls with MEM_COMMIT alone (commits in reserved space) committed
// since the last ResetSeams.
SIZE_T SeamCommittedBytes();

// From now on every QueryPerformanceCounter call of the seamed code moves a counter of its own
// on by counterStep, so that time passes by calls, not by the machine's load; 0 goes back to
// the real counter.
void StepSeamClock(LONGLONG counterStep);

// No failures armed, counters at 0, nothing counted as live, dialogs shown, the real clock.
void ResetSeams();

// Local-heap blocks and address-space reservations that the seamed code made and has not freed
// since the last ResetSeams.
unsigned LiveLocalBlocks();

// Handles that the seamed code opened with CreateFileA, CreateFileW or ReOpenFile and has not
// closed since the last ResetSeams.
unsigned OpenFileHandles();

// How the seamed code treated the extraction folder and its files since the last ResetSeams
// (Windows only), told apart by the handles used, never by comparing paths. A pin is a handle
// that ReOpenFile made with FILE_FLAG_BACKUP_SEMANTICS to list a folder, without DELETE; a handle
// opened by NtCreateFile with a pin as its root (or reopened from one) lies in the pin.
struct FileRules {
    unsigned namedCallsWhilePinned; // opens (beyond reading attributes), creates, moves, deletes by a
                                    // path while a pin is open
    unsigned changesWhilePinned;    // creates relative to a pin, renames into a pin and deletes of
                                    // handles that lie in one
    unsigned changesUnpinned;       // renames and deletes (a disposition set, MoveFileExW,
                                    // DeleteFileW) of anything else
    unsigned folderRemovals;        // deletes through a folder handle that ReOpenFile made with
                                    // DELETE access from a held one
    unsigned folderRemovalsByPath;  // deletes through a folder handle that CreateFileW opened by a
                                    // path with DELETE access
};
FileRules SeamFileRules();

// From now on every FileAttributeTagInfo query on a pinned folder's handle answers these
// attributes and reparse tag, as a folder that Wine can't make would (Windows only).
void FakeFolderTag(DWORD attributes, DWORD reparseTag);

// The security descriptor, in SDDL (owner and DACL), that the seamed code last passed to
// NtCreateFile to make a folder; empty when it made none since the last ResetSeams (Windows only).
std::wstring MadeFolderSecurity();

// The same for a file that NtCreateFile made with a descriptor (the run's lock file).
std::wstring MadeFileSecurity();

// From now on FileIdInfo is answered with ERROR_INVALID_PARAMETER, as systems before Windows 8
// answer it (Windows only).
void WithoutFileIdInfo();

// From now on every GetFinalPathNameByHandleW call for a drive-letter path (VOLUME_NAME_DOS)
// answers this path, as a system would for a share or a volume without a letter; empty goes back
// to the real answer (Windows only).
void AnswerFinalPath(const std::wstring &path);

// From now on every volume the seamed code asks about lacks the file-system flags in
// clearedFlags and has the device characteristics in addedCharacteristics (FILE_REMOTE_DEVICE,
// 0x10, for a network drive) (Windows only).
void FakeVolume(DWORD clearedFlags, DWORD addedCharacteristics);

// From now on GetSecurityInfo answers every handle with this descriptor (SDDL), as a system that
// stores descriptors would answer for a folder made with it; Wine makes one up instead (Windows
// only).
void AnswerSecurity(const std::wstring &sddl);

// With a nonzero answer, every message box returns it at once and every folder browser is
// cancelled, without showing a window (Windows only).
void AnswerDialogs(int messageBoxAnswer);

// From now on the next `times` folder browsers answer at once with this folder (ANSI), as a user
// who picks it would; after them, or with an empty folder, AnswerDialogs answers (Windows only).
void AnswerBrowser(const std::string &folder, unsigned times = ~0u);

// Resets the seams when constructed and again when destroyed, for one test's scope.
struct SeamScope {
    SeamScope() { ResetSeams(); }
    ~SeamScope() { ResetSeams(); }
};
