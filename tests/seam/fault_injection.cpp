// The routed calls: count each one and fail it when a test armed that.
#include "tests/seam/fault_control.h"

namespace {

struct SeamSlot {
    unsigned calls;
    unsigned succeedFirst;
    unsigned failCount;
    DWORD lastError;
};

SeamSlot slots[static_cast<int>(SeamCall::Count)];
SIZE_T committedBytes;

// Counts the call; true when this one is armed to fail.
bool ShouldFail(SeamCall call, DWORD *lastError)
{
    SeamSlot &slot = slots[static_cast<int>(call)];
    unsigned index = slot.calls++;
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

SIZE_T SeamCommittedBytes()
{
    return committedBytes;
}

void ResetSeams()
{
    for (SeamSlot &slot : slots)
        slot = SeamSlot{};
    committedBytes = 0;
}

HLOCAL SeamLocalAlloc(UINT flags, SIZE_T bytes)
{
    DWORD error;
    if (ShouldFail(SeamCall::LocalAlloc, &error)) {
        SetLastError(error);
        return nullptr;
    }
    return LocalAlloc(flags, bytes);
}

HLOCAL SeamLocalReAlloc(HLOCAL memory, SIZE_T bytes, UINT flags)
{
    DWORD error;
    if (ShouldFail(SeamCall::LocalReAlloc, &error)) {
        SetLastError(error);
        return nullptr;
    }
    return LocalReAlloc(memory, bytes, flags);
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
    return result;
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

DWORD SeamGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size)
{
    DWORD error;
    if (ShouldFail(SeamCall::GetModuleFileNameA, &error)) {
        if (error == ERROR_INSUFFICIENT_BUFFER && size > 0) {
            // As for a path longer than the buffer: cut to size - 1 characters, result size.
            char path[32768];
            GetModuleFileNameA(module, path, sizeof path);
            lstrcpynA(buffer, path, (int)size);
            SetLastError(error);
            return size;
        }
        SetLastError(error);
        return 0;
    }
    return GetModuleFileNameA(module, buffer, size);
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

BOOL SeamWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped)
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
#endif
